// CPKCS11Token: enumeration of the token's objects, digest, key-pair generation
// and random data.

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include <sorvit/AutoArray.h>
#include <sorvit/blob.h>
#include "P11Calls.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Certificate.h"
#include "PKCS11Token.h"

namespace {

const char kPublicPrefix[] = "PB_";
const char kPrivatePrefix[] = "PR_";

tsy::TBytes HexToBytes(const std::string& hex)
{
    tsy::TBytes out;
    out.reserve(hex.size() / 2);
    auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'A' + 10; };
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
    return out;
}

// Map keys: the hex text without the NUL that libsorvit's writer keeps inside the length.
std::string BytesToHex(const unsigned char* p, size_t len)
{
    std::string out = ByteToStdString(p, static_cast<int>(len));
    if (!out.empty())
        out.pop_back();
    return out;
}

} // namespace

void CPKCS11Token::FreeObjects()
{
    for (auto& entry : m_mapCertificates)
        delete entry.second;
    for (auto& entry : m_mapKeys)
        delete entry.second;
    m_mapCertificates.clear();
    m_mapKeys.clear();
    m_vecCertificateEntries.clear();
    m_vecKeyEntries.clear();
    m_mapCertificateIDs.clear();
    m_mapKeyIDs.clear();
    m_mapIssuerNames.clear();
    m_hObjectsSession = 0;
}

const std::string* CPKCS11Token::FindIssuerName(const std::string& sIssuerDer) const
{
    auto it = m_mapIssuerNames.find(sIssuerDer);
    return it == m_mapIssuerNames.end() ? nullptr : &it->second;
}

void CPKCS11Token::RememberIssuerName(const std::string& sIssuerDer, const std::string& sName)
{
    m_mapIssuerNames[sIssuerDer] = sName;
}

bool CPKCS11Token::ReadObjects()
{
    // A new read replaces the old one: handles and indexes of an earlier session or
    // login mean nothing now.
    FreeObjects();
    if (!m_hSession)
        return false;
    m_hObjectsSession = m_hSession;

    const CK_OBJECT_CLASS classes[] = {CKO_CERTIFICATE, CKO_PUBLIC_KEY, CKO_PRIVATE_KEY};
    for (CK_OBJECT_CLASS objectClass : classes) {
        if (objectClass == CKO_PRIVATE_KEY && !IsLoggedIn())
            break;
        CK_ATTRIBUTE templ = {CKA_CLASS, &objectClass, sizeof objectClass};
        std::vector<CK_OBJECT_HANDLE> handles;
        // A failing search drops the pass (or its remaining objects) silently.
        tsy::FindAllObjects(m_pFunctionList, m_hSession, &templ, 1, handles);
        for (CK_OBJECT_HANDLE h : handles) {
            unsigned char id[1024];
            CK_ATTRIBUTE attr = {CKA_ID, id, sizeof id};
            if (m_pFunctionList->C_GetAttributeValue(m_hSession, h, &attr, 1) != CKR_OK ||
                attr.ulValueLen > sizeof id)
                continue;
            std::string key = BytesToHex(id, attr.ulValueLen);
            if (objectClass == CKO_CERTIFICATE) {
                m_mapCertificateIDs[key] = {h, -1};
            } else {
                key.insert(0, objectClass == CKO_PUBLIC_KEY ? kPublicPrefix : kPrivatePrefix);
                // Of several objects with one class and ID the one found last stays listed.
                m_mapKeyIDs[key] = {h, -1};
            }
        }
    }
    for (auto& entry : m_mapCertificateIDs) {
        entry.second.nIndex = int(m_vecCertificateEntries.size());
        m_vecCertificateEntries.push_back(&entry);
    }
    for (auto& entry : m_mapKeyIDs) {
        entry.second.nIndex = int(m_vecKeyEntries.size());
        m_vecKeyEntries.push_back(&entry);
    }
    return !m_mapCertificateIDs.empty() || !m_mapKeyIDs.empty();
}

int CPKCS11Token::ListIndex(const TObjectIDMap& map, const std::string& sKey) const
{
    auto it = map.find(sKey);
    return it == map.end() ? -1 : it->second.nIndex;
}

CK_OBJECT_HANDLE CPKCS11Token::CurrentListedHandle(CK_OBJECT_CLASS nClass, const std::string& sIDHex,
                                                   CK_OBJECT_HANDLE hListed)
{
    if (m_hSession && m_hSession == m_hObjectsSession && nClass != CKO_PRIVATE_KEY)
        return hListed;
    // Private-key handles change at logout and login, and every handle may change
    // with the session: check it, and look the object up again when it is stale.
    CK_OBJECT_HANDLE h = tsy::ResolveObject(m_pFunctionList, m_hSession, nClass, HexToBytes(sIDHex), hListed);
    if (!h)
        SetError("The object is not available in the token's current session", CKR_OBJECT_HANDLE_INVALID,
                 TSY_KIND_PKCS11);
    return h;
}

CPKCS11Certificate* CPKCS11Token::GetCertificate(unsigned long nIndex)
{
    if (nIndex >= m_vecCertificateEntries.size())
        return nullptr;
    auto cached = m_mapCertificates.find(int(nIndex));
    if (cached != m_mapCertificates.end())
        return cached->second;

    const TObjectIDMap::value_type& entry = *m_vecCertificateEntries[nIndex];
    int nPublic = ListIndex(m_mapKeyIDs, kPublicPrefix + entry.first);
    int nPrivate = ListIndex(m_mapKeyIDs, kPrivatePrefix + entry.first);
    CK_OBJECT_HANDLE h = CurrentListedHandle(CKO_CERTIFICATE, entry.first, entry.second.hObject);
    if (!h)
        return nullptr;
    CPKCS11Certificate* pCertificate =
        new CPKCS11Certificate(h, m_hSession, nPrivate, nPublic, m_pFunctionList, this, GetErrorSink());
    m_mapCertificates[int(nIndex)] = pCertificate;
    return pCertificate;
}

CPKCS11AsymmetricKey* CPKCS11Token::GetAsymmetricKey(unsigned long nIndex)
{
    if (nIndex >= m_vecKeyEntries.size())
        return nullptr;
    auto cached = m_mapKeys.find(int(nIndex));
    if (cached != m_mapKeys.end())
        return cached->second;

    const TObjectIDMap::value_type& entry = *m_vecKeyEntries[nIndex];
    bool bPublic = entry.first.compare(0, 3, kPublicPrefix) == 0;
    std::string sIDHex = entry.first.substr(3);
    int nPair = ListIndex(m_mapKeyIDs, (bPublic ? kPrivatePrefix : kPublicPrefix) + sIDHex);
    bool bHasCertificate = m_mapCertificateIDs.count(sIDHex) != 0;
    CK_OBJECT_HANDLE h =
        CurrentListedHandle(bPublic ? CKO_PUBLIC_KEY : CKO_PRIVATE_KEY, sIDHex, entry.second.hObject);
    if (!h)
        return nullptr;
    CPKCS11AsymmetricKey* pKey = new CPKCS11AsymmetricKey(bPublic ? KEY_CLASS_PUBLIC : KEY_CLASS_PRIVATE, h,
                                                          m_hSession, nPair, bHasCertificate, m_pFunctionList,
                                                          this, GetErrorSink());
    m_mapKeys[int(nIndex)] = pKey;
    return pKey;
}

void CPKCS11Token::FreeCertificate(int nIndex)
{
    auto it = m_mapCertificates.find(nIndex);
    if (it == m_mapCertificates.end())
        return;
    delete it->second;
    m_mapCertificates.erase(it);
}

void CPKCS11Token::FreeCertificate(CPKCS11Certificate* pCertificate)
{
    if (!pCertificate)
        return;
    for (auto it = m_mapCertificates.begin(); it != m_mapCertificates.end(); ++it)
        if (it->second == pCertificate) {
            delete it->second;
            m_mapCertificates.erase(it);
            return;
        }
}

void CPKCS11Token::FreeAsymmetricKey(int nIndex)
{
    auto it = m_mapKeys.find(nIndex);
    if (it == m_mapKeys.end())
        return;
    delete it->second;
    m_mapKeys.erase(it);
}

void CPKCS11Token::FreeAsymmetricKey(CPKCS11AsymmetricKey* pKey)
{
    if (!pKey)
        return;
    for (auto it = m_mapKeys.begin(); it != m_mapKeys.end(); ++it)
        if (it->second == pKey) {
            delete it->second;
            m_mapKeys.erase(it);
            return;
        }
}

bool CPKCS11Token::Digest(CK_MECHANISM_TYPE nMechanism, unsigned char* pbData, uint32_t cbData,
                          TByteArrayAutoPtr& digest)
{
    CK_MECHANISM mechanism = {nMechanism, nullptr, 0};
    CK_RV rv = m_pFunctionList->C_DigestInit(m_hSession, &mechanism);
    if (rv != CKR_OK) {
        SetError("C_DigestInit failed", rv, TSY_KIND_PKCS11);
        return false;
    }
    CK_FUNCTION_LIST_PTR fl = m_pFunctionList;
    CK_SESSION_HANDLE s = m_hSession;
    rv = tsy::CallSized([&](unsigned char* p, CK_ULONG* len) { return fl->C_Digest(s, pbData, cbData, p, len); },
                        digest);
    if (rv != CKR_OK) {
        SetError("C_Digest failed", rv, TSY_KIND_PKCS11);
        return false;
    }
    return true;
}

bool CPKCS11Token::GenerateRSAKeyPair(unsigned int nModulusBits, bool bOnToken, unsigned char* pbID, uint32_t cbID,
                                      const char* pszLabel, CPKCS11AsymmetricKey** ppPublicKey,
                                      CPKCS11AsymmetricKey** ppPrivateKey)
{
    CK_BBOOL bTrue = CK_TRUE;
    CK_BBOOL bToken = bOnToken ? CK_TRUE : CK_FALSE;
    CK_ULONG nBits = nModulusBits;
    CK_BYTE exponent[] = {0x03};
    CK_ULONG nLabel = pszLabel ? CK_ULONG(strlen(pszLabel)) : 0;
    CK_ATTRIBUTE publicTemplate[] = {
        {CKA_TOKEN, &bToken, sizeof bToken},
        {CKA_ID, pbID, cbID},
        {CKA_ENCRYPT, &bTrue, sizeof bTrue},
        {CKA_VERIFY, &bTrue, sizeof bTrue},
        {CKA_WRAP, &bTrue, sizeof bTrue},
        {CKA_MODULUS_BITS, &nBits, sizeof nBits},
        {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent},
        {CKA_LABEL, const_cast<char*>(pszLabel), nLabel},
    };
    CK_ATTRIBUTE privateTemplate[] = {
        {CKA_TOKEN, &bToken, sizeof bToken},
        {CKA_PRIVATE, &bTrue, sizeof bTrue},
        {CKA_ID, pbID, cbID},
        {CKA_SENSITIVE, &bTrue, sizeof bTrue},
        {CKA_DECRYPT, &bTrue, sizeof bTrue},
        {CKA_SIGN, &bTrue, sizeof bTrue},
        {CKA_UNWRAP, &bTrue, sizeof bTrue},
        {CKA_LABEL, const_cast<char*>(pszLabel), nLabel},
    };
    // Without a label CKA_LABEL is left out of both templates.
    CK_ULONG nPublic = nLabel ? 8 : 7;
    CK_ULONG nPrivate = nLabel ? 8 : 7;
    CK_MECHANISM mechanism = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE hPublic = 0, hPrivate = 0;
    CK_RV rv = m_pFunctionList->C_GenerateKeyPair(m_hSession, &mechanism, publicTemplate, nPublic, privateTemplate,
                                                  nPrivate, &hPublic, &hPrivate);
    if (rv != CKR_OK) {
        SetError("Unable to generate RSA keypair", rv, TSY_KIND_PKCS11);
        return false;
    }
    // Both objects are built before either is handed out, so a failure on the
    // second leaves nothing behind; nor does the pair stay on the token.
    std::unique_ptr<CPKCS11AsymmetricKey> pPublic, pPrivate;
    try {
        if (ppPublicKey)
            pPublic.reset(new CPKCS11AsymmetricKey(KEY_CLASS_PUBLIC | KEY_TYPE_RSA, hPublic, m_hSession, -1, false,
                                                   m_pFunctionList, this, GetErrorSink()));
        if (ppPrivateKey)
            pPrivate.reset(new CPKCS11AsymmetricKey(KEY_CLASS_PRIVATE | KEY_TYPE_RSA, hPrivate, m_hSession, -1,
                                                    false, m_pFunctionList, this, GetErrorSink()));
    } catch (...) {
        m_pFunctionList->C_DestroyObject(m_hSession, hPublic);
        m_pFunctionList->C_DestroyObject(m_hSession, hPrivate);
        throw;
    }
    if (ppPublicKey)
        *ppPublicKey = pPublic.release();
    if (ppPrivateKey)
        *ppPrivateKey = pPrivate.release();
    return true;
}

bool CPKCS11Token::GenerateRandom(unsigned long nSize, TByteArrayAutoPtr& random)
{
    unsigned char* p = new unsigned char[nSize];
    random.reset(p, nSize);
    if (nSize == 0)
        return true;
    if (m_hSession && m_pFunctionList->C_GenerateRandom(m_hSession, p, nSize) == CKR_OK)
        return true;
    // The token has no generator (or no session): the system's generator instead.
    size_t done = 0;
    while (done < nSize) {
        ssize_t got = getrandom(p + done, nSize - done, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            SetError("Unable to obtain random data", 0, TSY_KIND_PLAIN);
            return false;
        }
        done += size_t(got);
    }
    return true;
}
