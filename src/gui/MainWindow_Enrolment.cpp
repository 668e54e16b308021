// Certificate enrolment: request and download.
#include "MainWindow.h"

#include <cassert>
#include <vector>

#include "CertReqWrapper.h"
#include "EnrolmentKeys.h"
#include "MessageBoxes.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Token.h"

namespace {

// The token an enrolment action works on, and the CKA_ID of a selected key that
// narrows its key list to that pair. Taken before a login, whose re-read of the
// token frees the selected key object.
struct TEnrolmentTarget {
    CPKCS11Token* pToken = nullptr;
    bool bFilter = false;
    std::vector<unsigned char> idFilter;
};

TEnrolmentTarget TargetOf(CPKCS11Base* pSelected)
{
    assert(pSelected);
    TEnrolmentTarget target;
    switch (pSelected->GetObjectType()) {
    case CryptokiToken:
        target.pToken = static_cast<CPKCS11Token*>(pSelected);
        break;
    case CryptokiAsymmetricKey: {
        CPKCS11AsymmetricKey* pKey = static_cast<CPKCS11AsymmetricKey*>(pSelected);
        target.pToken = pKey->GetToken();
        target.idFilter = pKey->GetIDBytes();
        target.bFilter = true;
        break;
    }
    default:
        break;
    }
    return target;
}

} // namespace

bool MainWindow::PrepareEnrolment(CPKCS11Token*& pToken, TKeysVector& keys, bool bForDownload)
{
    const TEnrolmentTarget target = TargetOf(m_pSelectedItem);
    pToken = target.pToken;
    if (!pToken)
        return false;
    if (!pToken->IsLoggedIn()) {
        if (!Login(pToken, NormalUser))
            return false;
        RefreshTokenRow(pToken);
    }
    keys = CollectEnrolmentKeys(*pToken, bForDownload ? KeysForDownload : KeysForRequest,
                                target.bFilter ? &target.idFilter : nullptr);
    return true;
}

void MainWindow::on_actionRequestCertificate_triggered()
{
    // One operation from the login to the answer of the service: slot events wait until
    // it has ended, whatever dialog or box is open.
    RunOperation(tr("Unable to request a certificate."), [this] {
        CPKCS11Token* pToken = nullptr;
        TKeysVector keys;
        if (!PrepareEnrolment(pToken, keys, false))
            return;
        CCertReqWrapper driver(this, keys, *pToken);
        driver.GenerateAndSendRequest();
        // A new key pair shows, also when the request was not sent.
        if (driver.IsTokenChanged())
            RefreshTokenRow(pToken);
    });
}

void MainWindow::on_actionDownloadCertificate_triggered()
{
    // One operation from the login to the summary: the replace question, the boxes and
    // the summary run the event loop, and a slot event must not free the keys meanwhile.
    RunOperation(tr("Unable to download certificates."), [this] {
        CPKCS11Token* pToken = nullptr;
        TKeysVector keys;
        if (!PrepareEnrolment(pToken, keys, true))
            return;
        if (keys.empty()) {
            tessaly::InformationBox(this, tr("The smart card does not contain keys."));
            return;
        }
        CCertReqWrapper driver(this, keys, *pToken);
        driver.DownloadAndInstallCertificates();
        // An installed certificate shows, also when a later key failed.
        if (driver.IsTokenChanged())
            RefreshTokenRow(pToken);
    });
}
