#ifndef PELLUM_CERT_OIDS_H
#define PELLUM_CERT_OIDS_H

// Object identifiers of the CertExtensions module as dotted text. They are
// plain text constants rather than the compiler's AsnOid values, so users
// compare with strcmp or build an AsnOid from them.

namespace SNACC {
extern const char* id_ce;
extern const char* id_ce_certificatePolicies;
extern const char* anyPolicy;
extern const char* id_pkix;
extern const char* id_qt;
extern const char* id_qt_cps;
extern const char* id_qt_unotice;
}

#endif
