// Token, key and certificate tests: sign a fixed text and verify the signature.
#include "MainWindow.h"

#include <cstring>

#include <sorvit/AutoArray.h>

#include "MessageBoxes.h"
#include "OverrideCursor.h"
#include "Pkcs11Errors.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Certificate.h"
#include "PKCS11Token.h"

namespace {

const char kKeyTestData[] = "01234567890123456789";
const char kTokenTestData[] = "The message to be signed.";

// The pair the token test generates lives for one test: destroyed on every road.
struct TTemporaryKeyPair {
    CPKCS11AsymmetricKey* pPublic = nullptr;
    CPKCS11AsymmetricKey* pPrivate = nullptr;
    ~TTemporaryKeyPair()
    {
        for (CPKCS11AsymmetricKey* pKey : {pPublic, pPrivate}) {
            if (!pKey)
                continue;
            pKey->Destroy();
            delete pKey;
        }
    }
};

CPKCS11AsymmetricKey* KeyAt(CPKCS11Token* pToken, int nIndex)
{
    return nIndex < 0 ? nullptr : pToken->GetAsymmetricKey(static_cast<unsigned long>(nIndex));
}

// The outcome of signing data with pPrivate and verifying it with pPublic: 0 valid, 1 invalid,
// -1 verification error, -2 signing failed. Failures leave their error in the sink.
int SignAndVerify(CPKCS11AsymmetricKey* pPrivate, CPKCS11AsymmetricKey* pPublic, const char* pszData)
{
    COverrideCursor wait(Qt::WaitCursor);
    std::vector<unsigned char> data(pszData, pszData + strlen(pszData));
    TByteArrayAutoPtr signature;
    if (!pPrivate->Sign(data.data(), DWORD(data.size()), signature))
        return -2;
    return pPublic->Verify(data.data(), DWORD(data.size()), signature.get(), DWORD(signature.size()));
}

} // namespace

void MainWindow::on_actionTestKey_triggered()
{
    RunOperation(tr("Unable to test the key pair."), [&] {
        CPKCS11AsymmetricKey* pKey = SelectedKey();
        if (!pKey)
            return;
        CPKCS11Token* pToken = pKey->GetToken();
        const TObjectIdentity identity = IdentityOf(pKey);
        if (!pToken->GetLoggedInUser() && pToken->HasLogin()) {
            if (!Login(pToken, NormalUser))
                return;
            // The re-read frees the key taken above: it is found again by its identity.
            RefreshTokenRow(pToken);
            pKey = static_cast<CPKCS11AsymmetricKey*>(FindObject(pToken, identity));
            if (!pKey) {
                tessaly::CriticalBox(this, identity.nClass == CKO_PUBLIC_KEY
                                               ? tr("Could not find public key on token!")
                                               : tr("Could not find private key on token!"));
                return;
            }
        }
        CPKCS11AsymmetricKey* pPublic = pKey;
        CPKCS11AsymmetricKey* pPrivate = KeyAt(pToken, pKey->GetPairIndex());
        if (!(pKey->GetKeyFlags() & KEY_CLASS_PUBLIC))
            std::swap(pPublic, pPrivate);
        TestKeyPair(pPrivate, pPublic, tr("This key pair works fine!"),
                    tr("The signature produced with this key pair is invalid!"));
    });
}

void MainWindow::on_actionTestCertificate_triggered()
{
    RunOperation(tr("Unable to test the certificate."), [&] {
        CPKCS11Certificate* pCertificate = SelectedCertificate();
        if (!pCertificate)
            return;
        CPKCS11Token* pToken = pCertificate->GetToken();
        const TObjectIdentity identity = IdentityOf(pCertificate);
        if (!pToken->HasLogin()) {
            // Nobody logs in to this token: what is not in view now is not on it.
            if (pCertificate->GetPrivateKeyIndex() == -1) {
                tessaly::InformationBox(this, tr("The certificate has no private key on the token."));
                return;
            }
        } else if (!pToken->GetLoggedInUser()) {
            if (!Login(pToken, NormalUser))
                return;
            RefreshTokenRow(pToken);
            pCertificate = static_cast<CPKCS11Certificate*>(FindObject(pToken, identity));
            if (!pCertificate) {
                tessaly::CriticalBox(this, tr("Could not find certificate on token!"));
                return;
            }
        }
        CPKCS11AsymmetricKey* pPrivate = KeyAt(pToken, pCertificate->GetPrivateKeyIndex());
        CPKCS11AsymmetricKey* pPublic = KeyAt(pToken, pCertificate->GetPublicKeyIndex());
        TestKeyPair(pPrivate, pPublic, tr("This certificate works fine!"),
                    tr("The signature produced with this certificate is invalid!"));
    });
}

void MainWindow::TestKeyPair(CPKCS11AsymmetricKey* pPrivate, CPKCS11AsymmetricKey* pPublic, const QString& validText,
                             const QString& invalidText)
{
    if (!pPrivate) {
        tessaly::CriticalBox(this, tr("Could not find private key on token!"));
        return;
    }
    if (!pPublic) {
        tessaly::CriticalBox(this, tr("Could not find public key on token!"));
        return;
    }
    switch (SignAndVerify(pPrivate, pPublic, kKeyTestData)) {
    case 0:
        tessaly::InformationBox(this, validText);
        break;
    case 1:
        tessaly::InformationBox(this, invalidText);
        break;
    case -1:
        ShowError(tr("The signature verification failed."), true, true);
        break;
    default:
        if (!(pPrivate->GetKeyFlags() & (KEY_TYPE_RSA | KEY_TYPE_DSA))) {
            // The layer refused the key before the module saw it: the precise reason is the box's.
            m_lastError.Reset();
            m_lastError.SetMessage("The program can sign only with RSA and DSA keys");
            ShowError(tr("Unable to sign with the private key.") + QLatin1Char('\n') +
                          tr("The program can sign only with RSA and DSA keys."),
                      false, true);
            break;
        }
        ShowError(tr("Unable to sign with the private key."), false, true);
        break;
    }
}

void MainWindow::on_actionTestToken_triggered()
{
    RunOperation(tr("Unable to test the smart-card."), [&] {
        CPKCS11Token* pToken = SelectedTokenOnly();
        if (!pToken)
            return;
        bool bLoggedIn = false;
        if (!pToken->GetLoggedInUser() && pToken->HasLogin()) {
            if (!Login(pToken, NormalUser))
                return;
            bLoggedIn = true;
        }
        {
            TTemporaryKeyPair keys;
            unsigned char id = 0x7B;
            bool bGenerated = false;
            {
                COverrideCursor wait(Qt::WaitCursor);
                // Session objects: gone with the session even if destroying them fails.
                bGenerated =
                    pToken->GenerateRSAKeyPair(1024, false, &id, 1, "Test Key", &keys.pPublic, &keys.pPrivate);
            }
            if (!bGenerated) {
                // The module's own answer says why (a module that keeps no session keys, say).
                QString text = tr("Unable to generate RSA keypair.");
                const QString answer = DescribeModuleAnswer(m_lastError.GetCode());
                if (!answer.isEmpty())
                    text += QLatin1Char('\n') + answer;
                // What tpm2-pkcs11 answers for session key pairs.
                if (m_lastError.GetCode() == CKR_ATTRIBUTE_VALUE_INVALID)
                    text += QLatin1Char('\n') +
                            tr("The module does not accept temporary key pairs, which the token test generates.");
                ShowError(text, false, true);
            } else {
                switch (SignAndVerify(keys.pPrivate, keys.pPublic, kTokenTestData)) {
                case 0:
                    tessaly::InformationBox(this, tr("This smart-card works fine!"));
                    break;
                case 1:
                    tessaly::InformationBox(this, tr("The smart-card is able to generate keys,\nbut the signature "
                                                     "produced with this key is invalid!"));
                    break;
                case -1:
                    ShowError(tr("The signature verification failed."), false, true);
                    break;
                default:
                    ShowError(tr("Unable to sign with the private key."), false, true);
                    break;
                }
            }
        }
        // The rows follow the login this test made.
        if (bLoggedIn)
            RefreshTokenRow(pToken);
    });
}
