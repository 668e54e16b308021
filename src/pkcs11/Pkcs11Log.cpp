#include "Pkcs11Log.h"

Q_LOGGING_CATEGORY(lcPkcs11, "tessaly.pkcs11", QtInfoMsg)
