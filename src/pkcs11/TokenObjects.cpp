// CPKCS11Token: enumeration of the token's objects, digest, key-pair generation
// and random data.

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include <sorvit/AutoArray.h>
#include "P11Calls.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Certificate.h"
#include "PKCS11Token.h"

namespace {

bool IDLess(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b)
{
    // Byte-wise, a prefix first: the order of the IDs' hex texts.
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
}

} // namespace

void CPKCS11Token::TAttributeValuesDeleter::operator()(tsy::CAttributeValues* p) const
{
    delete p;
}

void CPKCS11Token::FreeObjects()
{
    for (auto& entry : m_mapCertificates)
        delete entry.second;
    for (auto& entry : m_mapKeys)
        delete entry.second;
    m_mapCertificates.clear();
    m_mapKeys.clear();
    m_certificates.clear();
    m_publicKeys.clear();
    m_privateKeys.clear();
    m_mapIssuerNames.clear();
    m_listingProblems.clear();
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

void CPKCS11Token::ListObjects(CK_OBJECT_CLASS nClass, TObjectList& list)
{
    TListingProblem problem = {nClass, CKR_OK, nullptr, 0, CKR_OK};
    CK_ATTRIBUTE templ = {CKA_CLASS, &nClass, sizeof nClass};
    std::vector<CK_OBJECT_HANDLE> handles;
    // A search that fails part way still gives the objects found before.
    const char* pszFailedCall = nullptr;
    CK_RV rvSearch = tsy::FindAllObjects(m_pFunctionList, m_hSession, &templ, 1, handles, 0, &pszFailedCall);
    // A failing C_FindObjectsFinal comes after every object was given.
    if (rvSearch != CKR_OK && pszFailedCall && strcmp(pszFailedCall, "C_FindObjectsFinal") != 0) {
        problem.rvSearch = rvSearch;
        problem.pszSearchCall = pszFailedCall;
    }
    size_t nRequests = 0;
    const tsy::TAttributeRequest* pRequests =
        nClass == CKO_CERTIFICATE ? CPKCS11Certificate::ReadRequests(&nRequests)
                                  : CPKCS11AsymmetricKey::ReadRequests(nClass == CKO_PUBLIC_KEY, &nRequests);
    tsy::TBytes scratch, id;
    bool bRefused = false;
    list.reserve(handles.size());
    for (CK_OBJECT_HANDLE h : handles) {
        // Everything the object needs, CKA_ID included, in one call; a module that
        // refuses that is asked for the ID alone (for the rest of the pass, too), and
        // the object reads the rest.
        TListedObject listed;
        listed.hObject = h;
        listed.pRead.reset(new tsy::CAttributeValues);
        if (!bRefused &&
            tsy::ReadAttributesOnce(m_pFunctionList, m_hSession, h, pRequests, nRequests, scratch, *listed.pRead)) {
            if (listed.pRead->Has(CKA_ID)) {
                const unsigned char* pID = listed.pRead->Data(CKA_ID);
                listed.id.assign(pID, pID + listed.pRead->Size(CKA_ID));
                list.push_back(std::move(listed));
                continue;
            }
        } else {
            bRefused = true;
            listed.pRead.reset();
        }
        // An ID longer than the one call's buffer, or one that call did not give: its
        // length first, then the ID.
        CK_RV rvKnown = CKR_OK;
        tsy::TAttributeResult r = {tsy::ATTR_SIZE_FAILED, CKR_OK};
        if (listed.pRead && listed.pRead->KnownFailure(CKA_ID, &rvKnown))
            r.rv = rvKnown;
        else
            r = tsy::ReadAttributeValue(m_pFunctionList, m_hSession, h, CKA_ID, id);
        if (!r.ok()) {
            // Only this object is left out; the read says so.
            if (problem.nUnreadable++ == 0)
                problem.rvUnreadable = r.rv;
            continue;
        }
        listed.id = id;
        list.push_back(std::move(listed));
    }
    // Objects of one ID stay in the order the module gave them, each listed.
    std::stable_sort(list.begin(), list.end(),
                     [](const TListedObject& a, const TListedObject& b) { return IDLess(a.id, b.id); });
    if (problem.rvSearch != CKR_OK || problem.nUnreadable)
        m_listingProblems.push_back(problem);
}

bool CPKCS11Token::ReadObjects()
{
    // A new read replaces the old one: handles and indexes of an earlier session or
    // login mean nothing now.
    FreeObjects();
    if (!m_hSession)
        return false;
    m_hObjectsSession = m_hSession;
    m_nObjectsGeneration = m_nSessionGeneration;
    ListObjects(CKO_CERTIFICATE, m_certificates);
    ListObjects(CKO_PUBLIC_KEY, m_publicKeys);
    if (IsLoggedIn())
        ListObjects(CKO_PRIVATE_KEY, m_privateKeys);
    return !m_certificates.empty() || !m_publicKeys.empty() || !m_privateKeys.empty();
}

int CPKCS11Token::ListPosition(const TObjectList& list, const std::vector<unsigned char>& id)
{
    // Of several objects with the ID, the first: every certificate of a key pair finds that pair.
    auto it = std::lower_bound(list.begin(), list.end(), id,
                               [](const TListedObject& a, const std::vector<unsigned char>& b) { return IDLess(a.id, b); });
    return it != list.end() && it->id == id ? int(it - list.begin()) : -1;
}

CK_OBJECT_HANDLE CPKCS11Token::CurrentListedHandle(CK_OBJECT_CLASS nClass, const TListedObject& listed,
                                                   bool* bAsListed)
{
    *bAsListed = m_hSession && m_hSession == m_hObjectsSession && m_nSessionGeneration == m_nObjectsGeneration;
    if (*bAsListed || (m_hSession && m_hSession == m_hObjectsSession && nClass != CKO_PRIVATE_KEY))
        return listed.hObject;
    // Private-key handles change at logout and login, and every handle may change
    // with the session: check it, and look the object up again when it is stale.
    // A certificate's value, when the listing read it, tells it from others of its ID.
    CK_ATTRIBUTE value = {CKA_VALUE, nullptr, 0};
    const bool bByValue = nClass == CKO_CERTIFICATE && listed.pRead && listed.pRead->Has(CKA_VALUE);
    if (bByValue) {
        value.pValue = const_cast<unsigned char*>(listed.pRead->Data(CKA_VALUE));
        value.ulValueLen = CK_ULONG(listed.pRead->Size(CKA_VALUE));
    }
    CK_OBJECT_HANDLE h = tsy::ResolveObject(m_pFunctionList, m_hSession, nClass, listed.id, listed.hObject,
                                            bByValue ? &value : nullptr);
    if (!h)
        SetError("The object is not available in the token's current session", CKR_OBJECT_HANDLE_INVALID,
                 TSY_KIND_PKCS11);
    return h;
}

CPKCS11Certificate* CPKCS11Token::GetCertificate(unsigned long nIndex)
{
    if (nIndex >= m_certificates.size())
        return nullptr;
    auto cached = m_mapCertificates.find(int(nIndex));
    if (cached != m_mapCertificates.end())
        return cached->second;

    TListedObject& listed = m_certificates[nIndex];
    int nPublic = ListPosition(m_publicKeys, listed.id);
    int nPrivate = ListPosition(m_privateKeys, listed.id);
    if (nPrivate != -1)
        nPrivate += int(m_publicKeys.size());
    bool bAsListed = false;
    CK_OBJECT_HANDLE h = CurrentListedHandle(CKO_CERTIFICATE, listed, &bAsListed);
    if (!h)
        return nullptr;
    // What the listing read serves one object; a later one reads afresh.
    auto pRead = std::move(listed.pRead);
    CPKCS11Certificate* pCertificate = new CPKCS11Certificate(h, m_hSession, nPrivate, nPublic, m_pFunctionList,
                                                              this, GetErrorSink(), bAsListed ? pRead.get() : nullptr);
    m_mapCertificates[int(nIndex)] = pCertificate;
    return pCertificate;
}

CPKCS11AsymmetricKey* CPKCS11Token::GetAsymmetricKey(unsigned long nIndex)
{
    if (nIndex >= GetAsymmetricKeyCount())
        return nullptr;
    auto cached = m_mapKeys.find(int(nIndex));
    if (cached != m_mapKeys.end())
        return cached->second;

    const bool bPublic = nIndex < m_publicKeys.size();
    TListedObject& listed = bPublic ? m_publicKeys[nIndex] : m_privateKeys[nIndex - m_publicKeys.size()];
    int nPair = ListPosition(bPublic ? m_privateKeys : m_publicKeys, listed.id);
    if (nPair != -1 && bPublic)
        nPair += int(m_publicKeys.size());
    bool bHasCertificate = ListPosition(m_certificates, listed.id) != -1;
    bool bAsListed = false;
    CK_OBJECT_HANDLE h = CurrentListedHandle(bPublic ? CKO_PUBLIC_KEY : CKO_PRIVATE_KEY, listed, &bAsListed);
    if (!h)
        return nullptr;
    auto pRead = std::move(listed.pRead);
    CPKCS11AsymmetricKey* pKey = new CPKCS11AsymmetricKey(bPublic ? KEY_CLASS_PUBLIC : KEY_CLASS_PRIVATE, h,
                                                          m_hSession, nPair, bHasCertificate, m_pFunctionList,
                                                          this, GetErrorSink(), bAsListed ? pRead.get() : nullptr);
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
