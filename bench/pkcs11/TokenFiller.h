// Fills a SoftHSM2 token with RSA key pairs and their certificates through
// PKCS#11 directly (C_CreateObject), which is far quicker than one
// softhsm2-util or pkcs11-tool process per object.
#pragma once

#include <pkcs11.h>

#include <string>

namespace bench {

struct FillResult {
    bool ok = false;
    std::string error;
    unsigned long objects = 0; // objects created
};

// Opens the token in slotId, logs in with the user PIN and creates `pairs`
// RSA key pairs (public and private key objects) and one self-signed
// certificate for each, all sharing a CKA_ID per pair.
FillResult FillToken(CK_FUNCTION_LIST_PTR fl, CK_SLOT_ID slotId, const std::string& userPin, unsigned pairs,
                     unsigned modulusBits = 1024);

// Loads the module, fills the token labelled `label` as FillToken does, finalises and
// unloads the module again.
FillResult FillTokenWithLabel(const std::string& module, const std::string& label, const std::string& userPin,
                              unsigned pairs);

} // namespace bench
