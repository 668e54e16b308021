#include "FuzzToken.h"

#include <cstdlib>

#include "FuzzModule.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Context.h"
#include "PKCS11Slot.h"
#include "PKCS11Token.h"
#include "TSYException.h"

namespace fuzzmodule {

namespace {

TSoundToken Open()
{
    Start(nullptr, 0);
    static CTSYException* pSink = new CTSYException;
    // Never destroyed: the token outlives every case.
    CPKCS11Context* pContext = new CPKCS11Context(kModuleName, "Fuzz module", pSink);
    CPKCS11Slot* pSlot = pContext->GetSlot(0);
    CPKCS11Token* pToken = pSlot ? pSlot->GetToken() : nullptr;
    if (!pToken || !pToken->OpenSession(false) || !pToken->Login("1234", NormalUser) || !pToken->ReadObjects())
        std::abort();
    TSoundToken token{pToken, nullptr, nullptr};
    for (unsigned long i = 0; i < pToken->GetAsymmetricKeyCount(); ++i) {
        CPKCS11AsymmetricKey* pKey = pToken->GetAsymmetricKey(i);
        if (pKey && (pKey->GetKeyFlags() & KEY_CLASS_PUBLIC))
            token.pPublicKey = pKey;
        else if (pKey)
            token.pPrivateKey = pKey;
    }
    if (!token.pPublicKey || !token.pPrivateKey)
        std::abort();
    return token;
}

} // namespace

const TSoundToken& SoundToken()
{
    static const TSoundToken token = Open();
    return token;
}

} // namespace fuzzmodule
