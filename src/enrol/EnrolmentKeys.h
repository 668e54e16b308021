#pragma once

#include <vector>

class CPKCS11AsymmetricKey;
class CPKCS11Token;

// Private keys of one token that enrolment may use; the token owns the objects.
typedef std::vector<CPKCS11AsymmetricKey*> TKeysVector;

enum TEnrolmentKeyPurpose {
    KeysForRequest, // pairs without a certificate
    KeysForDownload // every pair
};

// The token's private keys that have a public key with the same CKA_ID, in the
// token's key order (for a request only those without a certificate). With an ID
// filter (the CKA_ID of a selected key, which may be empty), only those of them
// with that ID, all of them.
TKeysVector CollectEnrolmentKeys(CPKCS11Token& token, TEnrolmentKeyPurpose purpose,
                                 const std::vector<unsigned char>* pIDFilter);
