// Key identifiers: the SHA-1 of a key pair's DER SubjectPublicKeyInfo, by which the
// request service files requests.
#include "KeyIdentifier.h"

#include <cctype>

#include <CertModule.h>
#include <sorvit/ber.h>
#include <sorvit/blob.h>
#include <sorvit/oids.h>

#include "PKCS11AsymmetricKey.h"

unsigned long RsaOrDsaKeyType(const CPKCS11AsymmetricKey& key)
{
    return key.GetKeyFlags() & (KEY_TYPE_RSA | KEY_TYPE_DSA);
}

bool FillSubjectPublicKeyInfo(CPKCS11AsymmetricKey& publicKey, SNACC::SubjectPublicKeyInfo& info)
{
    const unsigned long type = RsaOrDsaKeyType(publicKey);
    if (type != KEY_TYPE_RSA && type != KEY_TYPE_DSA)
        return false;
    SNACC::AsnAny* pParameters = nullptr;
    if (type == KEY_TYPE_RSA) {
        info.algorithm.algorithm = SNACC::AsnOid(id_RSA_rsa);
    } else {
        info.algorithm.algorithm = SNACC::AsnOid(id_X957_dsa);
        info.algorithm.parameters = pParameters = new SNACC::AsnAny;
    }
    TByteArrayAutoPtr keyBytes;
    if (!publicKey.GetEncodedPublicKey(keyBytes, pParameters))
        return false;
    info.subjectPublicKey.Set(keyBytes.get(), keyBytes.size() * 8);
    return true;
}

bool EncodeSubjectPublicKeyInfo(CPKCS11AsymmetricKey& publicKey, TByteArrayAutoPtr& spki)
{
    SNACC::SubjectPublicKeyInfo info;
    if (!FillSubjectPublicKeyInfo(publicKey, info))
        return false;
    SNACC::AsnBuf buf;
    std::string err;
    const uint64_t len = ExtractAnyBuf(&buf, &info, &err);
    if (len == 0)
        return false;
    TByteArrayAutoPtr out(new unsigned char[len], size_t(len));
    buf.GetUSeg(out.get(), long(len));
    spki = std::move(out);
    return true;
}

std::string KeyIdentifierText(const unsigned char* pbDigest, size_t cbDigest)
{
    if (!cbDigest)
        return std::string();
    // The conversion leaves a NUL inside the string's length.
    std::string text = ByteToStdString(pbDigest, int(cbDigest));
    text.resize(2 * cbDigest);
    return text;
}

std::string NormalizedKeyIdentifier(const std::string& text)
{
    if (text.size() != 40)
        return std::string();
    std::string out = text;
    for (char& c : out) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return std::string();
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}
