#include "CertOids.h"

namespace SNACC {
const char* id_ce = "2.5.29";
const char* id_ce_certificatePolicies = "2.5.29.32";
const char* anyPolicy = "2.5.29.32.0";
const char* id_pkix = "1.3.6.1.5.5.7";
const char* id_qt = "1.3.6.1.5.5.7.2";
const char* id_qt_cps = "1.3.6.1.5.5.7.2.1";
const char* id_qt_unotice = "1.3.6.1.5.5.7.2.2";
}
