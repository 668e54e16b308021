#ifndef TSY_PKCS11_H
#define TSY_PKCS11_H

// The PKCS#11 access layer in one include.
#include "TSYException.h"
#include "FieldList.h"
#include "PKCS11Base.h"
#include "PKCS11Context.h"
#include "PKCS11Slot.h"
#include "PKCS11Token.h"
#include "SlotEventThread.h"
#include "pkcs11provider.h"
#include <sorvit/AutoArray.h>
#include "PKCS11Object.h"
#include "PKCS11Certificate.h"
#include "PKCS11AsymmetricKey.h"

#endif
