// Fuzz entry for what a PKCS#11 module answers: the built-in module (FuzzModule.h)
// takes its answers from the input, and the layer reads the tokens as the window does:
// context, slots, token information, the object passes, every object's fields with
// certificate decoding and key pairing; then, on the first slot's token, login, the
// re-read, the key test's sign and verify, and logout.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <QtGlobal>

#include <sorvit/AutoArray.h>

#include "FieldList.h"
#include "FuzzModule.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Certificate.h"
#include "PKCS11Context.h"
#include "PKCS11Slot.h"
#include "PKCS11Token.h"
#include "TSYException.h"

namespace {

// The information pane's lines of an object, each read as the pane reads it.
void Describe(CPKCS11Base* pObject)
{
    CFieldList fields;
    pObject->PopulateFields(&fields);
    for (int i = 0; i < fields.GetCount(); ++i) {
        const QString* pName = fields.GetName(static_cast<unsigned long>(i));
        const QString* pValue = fields.GetValue(static_cast<unsigned long>(i));
        if (pName && pValue)
            (void)pValue->toUtf8();
    }
}

// The key test of the window: sign a fixed text with the private key, verify with the public one.
void TestKeyPair(CPKCS11AsymmetricKey* pPrivate, CPKCS11AsymmetricKey* pPublic)
{
    if (!pPrivate || !pPublic)
        return;
    static const char kData[] = "01234567890123456789";
    std::vector<unsigned char> data(kData, kData + sizeof kData - 1);
    TByteArrayAutoPtr signature;
    if (!pPrivate->Sign(data.data(), DWORD(data.size()), signature))
        return;
    pPublic->Verify(data.data(), DWORD(data.size()), signature.get(), DWORD(signature.size()));
}

CPKCS11AsymmetricKey* KeyAt(CPKCS11Token* pToken, int nIndex)
{
    return nIndex < 0 ? nullptr : pToken->GetAsymmetricKey(static_cast<unsigned long>(nIndex));
}

// The token view: every certificate with its keys, then the keys not shown yet with their pairs.
void ReadView(CPKCS11Token* pToken, bool bTest)
{
    try {
        if (!pToken->ReadObjects())
            return;
        const unsigned long nCerts = pToken->GetCertificateCount();
        for (unsigned long i = 0; i < nCerts; ++i) {
            CPKCS11Certificate* pCert = pToken->GetCertificate(i);
            if (!pCert)
                continue;
            Describe(pCert);
            CPKCS11AsymmetricKey* pPublic = KeyAt(pToken, pCert->GetPublicKeyIndex());
            CPKCS11AsymmetricKey* pPrivate = KeyAt(pToken, pCert->GetPrivateKeyIndex());
            for (CPKCS11AsymmetricKey* pKey : {pPublic, pPrivate})
                if (pKey)
                    Describe(pKey);
            if (bTest)
                TestKeyPair(pPrivate, pPublic);
        }
        const unsigned long nKeys = pToken->GetAsymmetricKeyCount();
        for (unsigned long j = 0; j < nKeys; ++j) {
            CPKCS11AsymmetricKey* pKey = pToken->GetAsymmetricKey(j);
            if (!pKey)
                continue;
            Describe(pKey);
            CPKCS11AsymmetricKey* pPair = KeyAt(pToken, pKey->GetPairIndex());
            if (pPair)
                Describe(pPair);
            if (bTest && (pKey->GetKeyFlags() & KEY_CLASS_PUBLIC))
                TestKeyPair(pPair, pKey);
        }
    } catch (const CTSYException&) {
        // An object whose attributes cannot be read ends the view, as in the window.
    }
}

// The slot's row as the window fills it; the first token read is then used as the
// selected one: login, the re-read, the key test, logout.
void ReadToken(CPKCS11Slot* pSlot, bool bSelected)
{
    Describe(pSlot);
    if (!pSlot->IsTokenPresent() || !pSlot->IsTokenRecognized())
        return;
    for (unsigned long i = 0; i < pSlot->GetMechanismCount(); ++i)
        pSlot->GetMechanism(i);
    CK_ULONG nMin = 0, nMax = 0;
    pSlot->GetMechanismInfo(CKM_RSA_PKCS_KEY_PAIR_GEN, &nMin, &nMax);

    CPKCS11Token* pToken = pSlot->GetToken();
    Describe(pToken);
    if (!pToken->OpenSession(false))
        return;
    ReadView(pToken, false);
    if (bSelected && pToken->Login("1234", NormalUser)) {
        ReadView(pToken, true);
        pToken->Logout();
        ReadView(pToken, false);
    }
    pToken->ReadTokenInfo();
    pToken->CloseSession();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The layer's debug lines would cost more than the reading itself.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzmodule::Start(data, size);
    CTSYException sink;
    try {
        CPKCS11Context context(fuzzmodule::kModuleName, "Fuzz module", &sink);
        const CK_ULONG nSlots = context.GetSlotCount();
        for (CK_ULONG i = 0; i < nSlots; ++i) {
            if (CPKCS11Slot* pSlot = context.GetSlot(i))
                ReadToken(pSlot, i == 0);
        }
        context.RefreshSlotList();
    } catch (const CTSYException&) {
        // A module the context refuses: reported to the user as such.
    }
    // Every context is gone: a module left initialised is a context that lost count.
    if (fuzzmodule::IsInitialized())
        std::abort();
    return 0;
}
