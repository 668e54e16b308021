// Signing, verification and public-key encoding of CPKCS11AsymmetricKey.

#include <cassert>
#include <cstring>
#include <memory>
#include <string>

#include <CertModule.h>
#include <sorvit/ber.h>

#include "P11Calls.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Token.h"

namespace {

// DER of obj into the holder; false with the runtime's text in err.
bool EncodeDer(const SNACC::AsnType& obj, TByteArrayAutoPtr& out, std::string& err)
{
    SNACC::AsnBuf buf;
    uint64_t len = ExtractAnyBuf(&buf, &obj, &err);
    if (len == 0) {
        if (err.empty())
            err = "Unable to encode the ASN.1 value";
        return false;
    }
    unsigned char* p = new unsigned char[len];
    try {
        buf.GetUSeg(p, long(len));
    } catch (...) {
        delete[] p;
        throw;
    }
    out.reset(p, size_t(len));
    return true;
}

// A non-negative INTEGER from an unsigned big-endian magnitude, in minimal DER
// form (leading zero bytes dropped, one put back when the top bit is set).
void SetUnsigned(SNACC::AsnInt& i, const unsigned char* p, size_t len)
{
    while (len > 0 && *p == 0) {
        ++p;
        --len;
    }
    std::string content;
    if (len == 0 || (p[0] & 0x80))
        content.push_back('\0');
    content.append(reinterpret_cast<const char*>(p), len);
    // The runtime frees its buffer twice when given one byte this way (an RSA
    // exponent of 3 that a token generated): such a value goes in as a number.
    if (content.size() == 1)
        i.Set(static_cast<AsnIntType>(static_cast<unsigned char>(content[0])));
    else
        i.Set(reinterpret_cast<const unsigned char*>(content.data()), content.size(), false);
}

// The magnitude of a decoded INTEGER (leading zero bytes dropped).
tsy::TBytes Magnitude(const SNACC::AsnInt& i)
{
    const unsigned char* p = i.c_str();
    size_t len = p ? size_t(i.length()) : 0;
    while (len > 0 && *p == 0) {
        ++p;
        --len;
    }
    return tsy::TBytes(p, p + len);
}

// Dotted OID text: at least two arcs of decimal digits.
bool IsDottedOid(const char* text)
{
    int arcs = 0;
    bool digit = false;
    for (const char* c = text; ; ++c) {
        if (*c >= '0' && *c <= '9') {
            digit = true;
        } else if (*c == '.' || *c == 0) {
            if (!digit)
                return false;
            ++arcs;
            digit = false;
            if (*c == 0)
                break;
        } else {
            return false;
        }
    }
    return arcs >= 2;
}

bool EncodeDigestInfo(const unsigned char* pbHash, DWORD cbHash, const char* pszHashAlgID, TByteArrayAutoPtr& out,
                      std::string& err)
{
    if (!IsDottedOid(pszHashAlgID)) {
        err = std::string("Invalid hash algorithm identifier: ") + pszHashAlgID;
        return false;
    }
    try {
        SNACC::DigestInfo info;
        info.digestAlgorithm.algorithm = SNACC::AsnOid(pszHashAlgID);
        info.digest.Set(reinterpret_cast<const char*>(pbHash), cbHash);
        return EncodeDer(info, out, err);
    } catch (const SNACC::SnaccException& e) {
        err = e.what();
        return false;
    }
}

} // namespace

CK_MECHANISM_TYPE CPKCS11AsymmetricKey::ChooseMechanism() const
{
    if (m_nKeyFlags & KEY_TYPE_RSA)
        return CKM_RSA_PKCS;
    if (m_nKeyFlags & KEY_TYPE_DSA)
        return CKM_DSA;
    return 0;
}

bool CPKCS11AsymmetricKey::ConfirmKeyType(CK_OBJECT_HANDLE hKey, CK_MECHANISM_TYPE mechanism)
{
    CK_KEY_TYPE keyType = CK_UNAVAILABLE_INFORMATION;
    CK_RV rv = tsy::ReadFixedAttribute(m_pFunctionList, m_hSession, hKey, CKA_KEY_TYPE, &keyType, sizeof keyType);
    if (rv != CKR_OK) {
        SetError("GetAttributeValue failed", rv, TSY_KIND_PKCS11);
        return false;
    }
    CK_KEY_TYPE expected = mechanism == CKM_DSA ? CKK_DSA : CKK_RSA;
    if (keyType != expected) {
        SetError(mechanism == CKM_DSA ? "CKM_DSA can be used only with a DSA key"
                                      : "CKM_RSA_PKCS can be used only with an RSA key",
                 0, TSY_KIND_PLAIN);
        return false;
    }
    return true;
}

bool CPKCS11AsymmetricKey::Sign(unsigned char* pbData, DWORD cbData, TByteArrayAutoPtr& signature)
{
    if (!pbData)
        return false;
    CK_MECHANISM_TYPE mechanismType = ChooseMechanism();
    if (!mechanismType) {
        // The module would refuse such a key the same way.
        SetError("The program can sign only with RSA and DSA keys", CKR_KEY_TYPE_INCONSISTENT, TSY_KIND_PLAIN);
        return false;
    }
    if (!(m_nKeyFlags & KEY_CLASS_PRIVATE)) {
        SetError("Use private key instead", 0, TSY_KIND_PLAIN);
        return false;
    }
    CK_OBJECT_HANDLE hKey = CurrentHandleOrReport();
    if (!hKey || !ConfirmKeyType(hKey, mechanismType))
        return false;

    CK_MECHANISM mechanism = {mechanismType, nullptr, 0};
    CK_RV rv = m_pFunctionList->C_SignInit(m_hSession, &mechanism, hKey);
    if (rv != CKR_OK) {
        SetError("C_SignInit failed", rv, TSY_KIND_PKCS11);
        return false;
    }
    CK_FUNCTION_LIST_PTR fl = m_pFunctionList;
    CK_SESSION_HANDLE s = m_hSession;
    rv = tsy::CallSized([&](unsigned char* p, CK_ULONG* len) { return fl->C_Sign(s, pbData, cbData, p, len); },
                        signature);
    if (rv != CKR_OK) {
        SetError("C_Sign failed", rv, TSY_KIND_PKCS11);
        return false;
    }
    return true;
}

int CPKCS11AsymmetricKey::Verify(unsigned char* pbData, DWORD cbData, unsigned char* pbSignature, DWORD cbSignature)
{
    if (!pbData || !pbSignature)
        return -1;
    CK_MECHANISM_TYPE mechanismType = ChooseMechanism();
    if (!mechanismType) {
        SetError("The program can verify only with RSA and DSA keys", CKR_KEY_TYPE_INCONSISTENT, TSY_KIND_PLAIN);
        return -1;
    }
    if (!(m_nKeyFlags & KEY_CLASS_PUBLIC)) {
        SetError("Use public key instead", 0, TSY_KIND_PLAIN);
        return -1;
    }
    CK_OBJECT_HANDLE hKey = CurrentHandleOrReport();
    if (!hKey || !ConfirmKeyType(hKey, mechanismType))
        return -1;

    CK_MECHANISM mechanism = {mechanismType, nullptr, 0};
    CK_RV rv = m_pFunctionList->C_VerifyInit(m_hSession, &mechanism, hKey);
    if (rv != CKR_OK) {
        SetError("C_VerifyInit failed", rv, TSY_KIND_PKCS11);
        return -1;
    }
    // C_Verify always ends the operation.
    rv = m_pFunctionList->C_Verify(m_hSession, pbData, cbData, pbSignature, cbSignature);
    if (rv == CKR_OK)
        return 0;
    if (rv == CKR_SIGNATURE_INVALID)
        return 1;
    SetError("C_Verify failed", rv, TSY_KIND_PKCS11);
    return -1;
}

bool CPKCS11AsymmetricKey::SignHash(unsigned char* pbHash, DWORD cbHash, const char* pszHashAlgID,
                                    TByteArrayAutoPtr& signature)
{
    assert(pbHash);
    assert(cbHash);
    assert(pszHashAlgID);
    std::string err;
    if (m_nKeyFlags & KEY_TYPE_RSA) {
        TByteArrayAutoPtr digestInfo;
        if (!EncodeDigestInfo(pbHash, cbHash, pszHashAlgID, digestInfo, err)) {
            SetError(err.c_str(), 0, TSY_KIND_PLAIN);
            return false;
        }
        return Sign(digestInfo.get(), DWORD(digestInfo.size()), signature);
    }

    TByteArrayAutoPtr raw;
    if (!Sign(pbHash, cbHash, raw))
        return false;
    // r and s are the two halves of the raw signature, each as long as the subprime
    // (20 bytes for 160-bit q, 32 for 256-bit q).
    if (raw.size() < 2 || raw.size() % 2 != 0) {
        SetError("The token returned a DSA signature of unexpected length", 0, TSY_KIND_PLAIN);
        return false;
    }
    size_t half = raw.size() / 2;
    try {
        SNACC::Dss_Sig_Value value;
        SetUnsigned(value.r, raw.get(), half);
        SetUnsigned(value.s, raw.get() + half, half);
        if (!EncodeDer(value, signature, err)) {
            SetError(err.c_str(), 0, TSY_KIND_PLAIN);
            return false;
        }
    } catch (const SNACC::SnaccException& e) {
        SetError(e.what(), 0, TSY_KIND_PLAIN);
        return false;
    }
    return true;
}

int CPKCS11AsymmetricKey::VerifyHash(unsigned char* pbHash, DWORD cbHash, const char* pszHashAlgID,
                                     unsigned char* pbSignature, DWORD cbSignature)
{
    assert(pbHash);
    assert(cbHash);
    assert(pszHashAlgID);
    assert(pbSignature);
    assert(cbSignature);
    std::string err;
    if (m_nKeyFlags & KEY_TYPE_RSA) {
        TByteArrayAutoPtr digestInfo;
        if (!EncodeDigestInfo(pbHash, cbHash, pszHashAlgID, digestInfo, err)) {
            SetError(err.c_str(), 0, TSY_KIND_PLAIN);
            return -1;
        }
        return Verify(digestInfo.get(), DWORD(digestInfo.size()), pbSignature, cbSignature);
    }
    // Refusals of Verify come first, in its order.
    if (!(m_nKeyFlags & KEY_TYPE_DSA) || !(m_nKeyFlags & KEY_CLASS_PUBLIC))
        return Verify(pbHash, cbHash, pbSignature, cbSignature);

    SNACC::Dss_Sig_Value value;
    _CPBLOB blob = {pbSignature, cbSignature};
    if (!BlobToType(&blob, &value, &err)) {
        SetError(err.c_str(), 0, TSY_KIND_PLAIN);
        return -1;
    }
    tsy::TBytes r = Magnitude(value.r), s = Magnitude(value.s);

    // Each half of the raw form is as long as the key's subprime.
    CK_OBJECT_HANDLE hKey = CurrentHandleOrReport();
    if (!hKey)
        return -1;
    tsy::TBytes q;
    tsy::TAttributeResult res = tsy::ReadAttributeValue(m_pFunctionList, m_hSession, hKey, CKA_SUBPRIME, q);
    if (!res.ok()) {
        SetError(res.step == tsy::ATTR_SIZE_FAILED ? "GetAttributeValue failed to determine size"
                                                   : "GetAttributeValue failed to get value",
                 res.rv, TSY_KIND_PKCS11);
        return -1;
    }
    tsy::TBytes qMagnitude = q;
    size_t lead = 0;
    while (lead < qMagnitude.size() && qMagnitude[lead] == 0)
        ++lead;
    size_t half = qMagnitude.size() - lead;
    if (half == 0) {
        SetError("The DSA key has no subprime", 0, TSY_KIND_PLAIN);
        return -1;
    }
    // r and s are below q, so a longer one cannot belong to a valid signature.
    if (r.size() > half || s.size() > half)
        return 1;
    tsy::TBytes rawSignature(2 * half, 0);
    if (!r.empty())
        memcpy(rawSignature.data() + half - r.size(), r.data(), r.size());
    if (!s.empty())
        memcpy(rawSignature.data() + 2 * half - s.size(), s.data(), s.size());
    return Verify(pbHash, cbHash, rawSignature.data(), DWORD(rawSignature.size()));
}

bool CPKCS11AsymmetricKey::GetEncodedPublicKey(TByteArrayAutoPtr& encodedKey, SNACC::AsnAny* pasn1Params)
{
    if (!(m_nKeyFlags & KEY_CLASS_PUBLIC))
        return false;
    if (!(m_nKeyFlags & (KEY_TYPE_RSA | KEY_TYPE_DSA))) {
        // An empty encoding would go out as a malformed request: refuse instead.
        SetError("The program can encode only RSA and DSA public keys", 0, TSY_KIND_PLAIN);
        return false;
    }
    if (!(m_nKeyFlags & KEY_TYPE_RSA))
        assert(pasn1Params);

    CK_OBJECT_HANDLE hKey = CurrentHandleOrReport();
    if (!hKey)
        return false;
    static const CK_ATTRIBUTE_TYPE rsaTypes[] = {CKA_MODULUS, CKA_PUBLIC_EXPONENT};
    static const CK_ATTRIBUTE_TYPE dsaTypes[] = {CKA_PRIME, CKA_SUBPRIME, CKA_BASE, CKA_VALUE};
    bool bRSA = (m_nKeyFlags & KEY_TYPE_RSA) != 0;
    std::vector<tsy::TBytes> values;
    tsy::TAttributeResult res = tsy::ReadAttributeValues(m_pFunctionList, m_hSession, hKey, bRSA ? rsaTypes : dsaTypes,
                                                         bRSA ? 2 : 4, values);
    if (!res.ok()) {
        SetError(res.step == tsy::ATTR_SIZE_FAILED ? "GetAttributeValue failed to determine size"
                                                   : "GetAttributeValue failed to get value",
                 res.rv, TSY_KIND_PKCS11);
        return false;
    }
    std::string err;
    try {
        if (bRSA) {
            SNACC::RSAPublicKey key;
            SetUnsigned(key.modulus, values[0].data(), values[0].size());
            SetUnsigned(key.publicExponent, values[1].data(), values[1].size());
            if (!EncodeDer(key, encodedKey, err)) {
                SetError(err.c_str(), 0, TSY_KIND_PLAIN);
                return false;
            }
            return true;
        }
        SNACC::AsnInt y;
        SetUnsigned(y, values[3].data(), values[3].size());
        std::unique_ptr<SNACC::Dss_Parms> parms(new SNACC::Dss_Parms);
        SetUnsigned(parms->p, values[0].data(), values[0].size());
        SetUnsigned(parms->q, values[1].data(), values[1].size());
        SetUnsigned(parms->g, values[2].data(), values[2].size());
        if (!EncodeDer(y, encodedKey, err)) {
            SetError(err.c_str(), 0, TSY_KIND_PLAIN);
            return false;
        }
        // The ANY owns its value from here on.
        delete pasn1Params->value;
        pasn1Params->value = parms.release();
        return true;
    } catch (const SNACC::SnaccException& e) {
        SetError(e.what(), 0, TSY_KIND_PLAIN);
        return false;
    }
}
