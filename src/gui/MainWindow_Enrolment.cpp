// Certificate enrolment: request and download.
#include "MainWindow.h"

#include <cassert>
#include <vector>

#include "CertReqWrapper.h"
#include "EnrolmentKeys.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Token.h"

void MainWindow::on_actionRequestCertificate_triggered()
{
    // One operation from the login to the answer of the service: slot events wait until
    // it has ended, whatever dialog or box is open.
    RunOperation(tr("Unable to request a certificate."), [this] {
        assert(m_pSelectedItem);
        CPKCS11Token* pToken = nullptr;
        // A selected key narrows the list to its pair; its CKA_ID is kept, as the login
        // below reads the token's objects anew.
        bool bFilter = false;
        std::vector<unsigned char> idFilter;
        switch (m_pSelectedItem->GetObjectType()) {
        case CryptokiToken:
            pToken = static_cast<CPKCS11Token*>(m_pSelectedItem);
            break;
        case CryptokiAsymmetricKey: {
            CPKCS11AsymmetricKey* pKey = static_cast<CPKCS11AsymmetricKey*>(m_pSelectedItem);
            pToken = pKey->GetToken();
            idFilter = pKey->GetIDBytes();
            bFilter = true;
            break;
        }
        default:
            return;
        }
        if (!pToken)
            return;
        if (!pToken->IsLoggedIn()) {
            if (!Login(pToken, NormalUser))
                return;
            RefreshTokenRow(pToken);
        }

        TKeysVector keys = CollectEnrolmentKeys(*pToken, KeysForRequest, bFilter ? &idFilter : nullptr);
        CCertReqWrapper driver(this, keys, *pToken);
        driver.GenerateAndSendRequest();
        // A new key pair shows, also when the request was not sent.
        if (driver.IsTokenChanged())
            RefreshTokenRow(pToken);
    });
}

void MainWindow::on_actionDownloadCertificate_triggered() {}
