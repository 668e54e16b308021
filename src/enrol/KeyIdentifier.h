#pragma once

#include <cstddef>
#include <string>

#include <sorvit/AutoArray.h>

class CPKCS11AsymmetricKey;

// The complete DER SubjectPublicKeyInfo of a public key object, encoded as a
// certificate request carries it: rsaEncryption with NULL parameters, or id-dsa with
// the key's Dss-Parms. False when the key is neither RSA nor DSA, or the token did
// not give its values (the layer has recorded why).
bool EncodeSubjectPublicKeyInfo(CPKCS11AsymmetricKey& publicKey, TByteArrayAutoPtr& spki);

// The key identifier text of a digest: upper-case hex, two characters a byte, no NUL.
std::string KeyIdentifierText(const unsigned char* pbDigest, size_t cbDigest);

// A key identifier as the service wrote it, in the form the driver compares: the
// text upper-cased when it is exactly 40 hex characters, else empty.
std::string NormalizedKeyIdentifier(const std::string& text);
