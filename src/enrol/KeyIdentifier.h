#pragma once

#include <cstddef>
#include <string>

#include <sorvit/AutoArray.h>

class CPKCS11AsymmetricKey;
namespace SNACC {
class SubjectPublicKeyInfo;
}

// The RSA or DSA type bit of a key object (KEY_TYPE_RSA or KEY_TYPE_DSA); any other
// value is neither.
unsigned long RsaOrDsaKeyType(const CPKCS11AsymmetricKey& key);

// A public key object as a certificate request carries it: rsaEncryption with NULL
// parameters, or id-dsa with the key's Dss-Parms. The key identifier is the digest of
// this very encoding, so the request and the identifier are built by the same code.
// False when the key is neither RSA nor DSA, or the token did not give its values
// (the layer has recorded why).
bool FillSubjectPublicKeyInfo(CPKCS11AsymmetricKey& publicKey, SNACC::SubjectPublicKeyInfo& info);

// The complete DER SubjectPublicKeyInfo of a public key object (FillSubjectPublicKeyInfo
// encoded); false as there.
bool EncodeSubjectPublicKeyInfo(CPKCS11AsymmetricKey& publicKey, TByteArrayAutoPtr& spki);

// The key identifier text of a digest: upper-case hex, two characters a byte, no NUL.
std::string KeyIdentifierText(const unsigned char* pbDigest, size_t cbDigest);

// A key identifier as the service wrote it, in the form the driver compares: the
// text upper-cased when it is exactly 40 hex characters, else empty.
std::string NormalizedKeyIdentifier(const std::string& text);
