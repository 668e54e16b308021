// The enrolment driver's download road.
#include "CertReqWrapper.h"

#include <cassert>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <QMessageBox>

#include <pellum/pellum.h>
#include <sorvit/oids.h>

#include "BackgroundCall.h"
#include "DownloadCertDialog.h"
#include "EnrolmentError.h"
#include "IEnrolmentHost.h"
#include "KeyIdentifier.h"
#include "OverrideCursor.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Token.h"
#include "RequestCheck.h"

namespace {

QString LabelOf(const CPKCS11AsymmetricKey& key)
{
    const char* pszLabel = key.GetLabel();
    return QString::fromUtf8(pszLabel ? pszLabel : "");
}

// Whether libpellum, which the installation decodes with, reads the bytes.
bool PellumDecodes(const TByteArrayAutoPtr& cert)
{
    if (!cert.size() || cert.size() > UINT32_MAX)
        return false;
    _CPBLOB blob = {cert.get(), uint32_t(cert.size())};
    CL_CERTIFICATE* pRecord = nullptr;
    const bool bDecoded = CL_DecodeCertificate(&blob, &pRecord) && pRecord;
    CL_FreeCertificate(pRecord);
    return bDecoded;
}

// The box tells this call's fault; the client's whole text, with the earlier faults
// of the process, goes to the log only.
QString ThisFault(IEnrolmentHost* pHost, const CVarnockError& e)
{
    if (e.ThisFault() != e.what())
        pHost->LogError(QObject::tr("The request service client's faults so far:") + QLatin1Char('\n') +
                            QString::fromUtf8(e.what()),
                        false);
    return QString::fromUtf8(e.ThisFault().c_str()).trimmed();
}

} // namespace

bool CCertReqWrapper::DigestSubjPubKeyInfo(CPKCS11AsymmetricKey* pPublicKey, TByteArrayAutoPtr& digest)
{
    return DigestSubjPubKeyInfo(pPublicKey, digest, nullptr);
}

bool CCertReqWrapper::DigestSubjPubKeyInfo(CPKCS11AsymmetricKey* pPublicKey, TByteArrayAutoPtr& digest,
                                           TByteArrayAutoPtr* pSpki)
{
    assert(pPublicKey);
    TByteArrayAutoPtr spki;
    if (!EncodeSubjectPublicKeyInfo(*pPublicKey, spki))
        return false;
    TByteArrayAutoPtr result;
    if (!m_token.Digest(CKM_SHA_1, spki.get(), uint32_t(spki.size()), result) || !result.size())
        return false;
    digest = std::move(result);
    if (pSpki)
        *pSpki = std::move(spki);
    return true;
}

void CCertReqWrapper::DownloadAndInstallCertificates()
{
    m_bTokenChanged = false;
    // The road reports what goes wrong itself; this is the last stop for what it
    // could not foresee, so that nothing reaches the caller.
    try {
        RunDownloadRoad();
    } catch (const std::exception& e) {
        m_pHost->ShowError(QObject::tr("Downloading certificates failed.") + QLatin1Char('\n') +
                               QString::fromUtf8(e.what()),
                           true, true);
    } catch (...) {
        m_pHost->ShowError(QObject::tr("Downloading certificates failed."), true, true);
    }
}

QString CCertReqWrapper::ReportKeyFailure(const QString& qsLabel, const QString& text, const QString& detail)
{
    QString message = QObject::tr("The certificate of the key pair \"%1\" was not installed.").arg(qsLabel) +
                      QLatin1Char('\n') + text;
    if (!detail.isEmpty())
        message += QLatin1Char('\n') + detail;
    m_pHost->ShowError(message, true, true);
    return text;
}

void CCertReqWrapper::RunDownloadRoad()
{
    DownloadCertDialog dialog(m_pHost->HostWidget());
    std::vector<TDownloadRow> rows;
    TDownloadEnd end;
    {
        COverrideCursor wait(Qt::WaitCursor);
        // Modal from the start: exec on a dialog already shown would leave it modeless,
        // and the window behind it usable while the summary is read.
        dialog.setWindowModality(Qt::ApplicationModal);
        dialog.show();
        dialog.SetActionText(DownloadCertDialog::tr("Checking certificate request(s) status, please wait ..."));
        end = DownloadRows(rows, &dialog);
    }
    if (end == DownloadNoKeys) {
        COverrideCursor arrow(Qt::ArrowCursor);
        QMessageBox::information(m_pHost->HostWidget(), QObject::tr("Download Certificates"),
                                 QObject::tr("The smart card holds no RSA or DSA key pair to download a "
                                             "certificate for."),
                                 QMessageBox::Ok);
        return;
    }
    if (end == DownloadStopped)
        return;
    dialog.SetActionText(QObject::tr("The results are summarized below:"));
    dialog.exec();
}

CCertReqWrapper::TDownloadEnd CCertReqWrapper::DownloadRows(std::vector<TDownloadRow>& rows,
                                                            DownloadCertDialog* pProgress)
{
    m_bTokenChanged = false;
    // The identifier of every RSA or DSA pair; another kind of key has no request of
    // this service and does not stop the others.
    std::map<std::string, TDownloadKey> keys; // by identifier, in the order of the rows
    std::vector<std::string> ids;
    std::vector<TDownloadRow> failedKeys;
    for (CPKCS11AsymmetricKey* pPrivateKey : m_keys) {
        assert(pPrivateKey);
        const QString label = LabelOf(*pPrivateKey);
        try {
            const int nPair = pPrivateKey->GetPairIndex();
            CPKCS11AsymmetricKey* pPublicKey = nPair < 0 ? nullptr : m_token.GetAsymmetricKey(nPair);
            const unsigned long type = RsaOrDsaKeyType(*pPrivateKey);
            if (!pPublicKey || (type != KEY_TYPE_RSA && type != KEY_TYPE_DSA) ||
                RsaOrDsaKeyType(*pPublicKey) != type) {
                m_pHost->LogError(
                    QObject::tr("The key pair \"%1\" is not an RSA or DSA pair; its certificate is not looked for.")
                        .arg(label),
                    false);
                continue;
            }
            TDownloadKey key{label, pPrivateKey, TByteArrayAutoPtr()};
            TByteArrayAutoPtr digest;
            if (!DigestSubjPubKeyInfo(pPublicKey, digest, &key.spki)) {
                failedKeys.push_back(
                    {DownloadCertDialog::StatusUnknown, label,
                     ReportKeyFailure(label, QObject::tr("The identifier of the key pair cannot be computed on the "
                                                         "token."))});
                continue;
            }
            const std::string id = KeyIdentifierText(digest.get(), digest.size());
            ids.push_back(id);
            keys[id] = std::move(key); // of two pairs with one identifier, the later
        } catch (const std::exception& e) {
            failedKeys.push_back({DownloadCertDialog::StatusUnknown, label,
                                  ReportKeyFailure(label, QObject::tr("The key pair cannot be read."),
                                                   QString::fromUtf8(e.what()))});
        }
    }
    if (ids.empty() && failedKeys.empty()) {
        if (pProgress)
            pProgress->hide();
        return DownloadNoKeys;
    }

    // The service's answer, by identifier as the driver wrote it; the service's own
    // text is kept for the nonce it is asked for.
    std::map<std::string, std::pair<std::string, CVarnockSingleton::TRequestStatus>> reported;
    // States outside the four, by the service's text of the identifier.
    std::map<std::string, long> unknownStates;
    if (!ids.empty()) {
        std::map<std::string, CVarnockSingleton::TRequestStatus> states;
        QString failure, detail;
        try {
            ConfigureClient(m_qsTrustedCertsFile, m_qsServiceURL);
            tessaly::RunInBackground(
                [&] { CVarnockSingleton::instance().retrieveRequestStatusInfo(ids, states, &unknownStates); });
        } catch (const CEnrolmentError& e) {
            failure = e.Text();
        } catch (const CVarnockError& e) {
            failure = e.Kind() == CVarnockError::ekTransport
                          ? QObject::tr("The connection to the server failed.")
                          : QObject::tr("The request service did not tell the state of the requests.");
            detail = ThisFault(m_pHost, e);
        } catch (const std::runtime_error& e) {
            failure = QObject::tr("The connection to the server failed.");
            detail = QString::fromUtf8(e.what());
        }
        if (!failure.isEmpty()) {
            // Nothing was done for any key: the box says it all.
            if (pProgress)
                pProgress->hide();
            m_pHost->ShowError(detail.isEmpty() ? failure : failure + QLatin1Char('\n') + detail, true, true);
            return DownloadStopped;
        }
        for (const auto& entry : states) {
            const QString text = QString::fromStdString(entry.first);
            const std::string id = NormalizedKeyIdentifier(entry.first);
            if (!keys.count(id)) {
                m_pHost->LogError(
                    QObject::tr("The request service told the state of a key it was not asked about: \"%1\".")
                        .arg(text),
                    false);
                continue;
            }
            if (!reported.emplace(id, entry).second)
                m_pHost->LogError(
                    QObject::tr("The request service told the state of the key \"%1\" twice; the first is used.")
                        .arg(text),
                    false);
        }
    }

    auto add = [&rows, pProgress](const TDownloadRow& row) {
        rows.push_back(row);
        if (pProgress)
            pProgress->AddStatusItem(row.nStatus, row.qsLabel, row.qsMessage);
    };
    for (auto& entry : keys) {
        TDownloadKey& key = entry.second;
        const auto it = reported.find(entry.first);
        // A key the answer leaves out has no request the service knows of.
        const int nState = it == reported.end() ? CVarnockSingleton::rsUnknown : int(it->second.second);
        switch (nState) {
        case CVarnockSingleton::rsApproved:
            add({DownloadCertDialog::StatusApproved, key.qsLabel, DownloadCertificate(it->second.first, key)});
            break;
        case CVarnockSingleton::rsPending:
            add({DownloadCertDialog::StatusPending, key.qsLabel, QObject::tr("The request is pending.")});
            break;
        case CVarnockSingleton::rsDeleted:
            add({DownloadCertDialog::StatusRejected, key.qsLabel, QObject::tr("The request is rejected.")});
            break;
        default: {
            // A state this program does not know is never taken as approved, nor as unknown.
            const auto number = it == reported.end() ? unknownStates.end() : unknownStates.find(it->second.first);
            if (number == unknownStates.end()) {
                add({DownloadCertDialog::StatusUnknown, key.qsLabel,
                     QObject::tr("There are no requests for this key-set.")});
                break;
            }
            m_pHost->LogError(QObject::tr("The request service answered for the key \"%1\" with the state %2, "
                                          "which this program does not know.")
                                  .arg(QString::fromStdString(it->second.first))
                                  .arg(number->second),
                              false);
            add({DownloadCertDialog::StatusUnknown, key.qsLabel,
                 QObject::tr("The request service answered with a state that this program does not know: %1.")
                     .arg(number->second)});
            break;
        }
        }
    }
    for (const TDownloadRow& row : failedKeys)
        add(row);
    return DownloadDone;
}

QString CCertReqWrapper::DownloadCertificate(const std::string& sServiceKeyId, TDownloadKey& key)
{
    CPKCS11AsymmetricKey& privateKey = *key.pPrivateKey;
    const QString& label = key.qsLabel;
    try {
        CVarnockSingleton& client = CVarnockSingleton::instance();
        TByteArrayAutoPtr serverNonce;
        try {
            tessaly::RunInBackground([&] { client.downloadNonce(sServiceKeyId.c_str(), serverNonce); });
        } catch (const CVarnockError& e) {
            const QString detail = ThisFault(m_pHost, e);
            if (e.Kind() == CVarnockError::ekNoResult)
                return ReportKeyFailure(label, QObject::tr("The service sent an empty nonce."), detail);
            if (e.Kind() == CVarnockError::ekFault)
                return ReportKeyFailure(label, QObject::tr("The service refused to give a nonce for the key."),
                                        detail);
            return ReportKeyFailure(label, QObject::tr("The connection to the server failed."), detail);
        } catch (const std::runtime_error& e) {
            return ReportKeyFailure(label, QObject::tr("The connection to the server failed."),
                                    QString::fromUtf8(e.what()));
        }
        if (!serverNonce.size())
            return ReportKeyFailure(label, QObject::tr("The service sent an empty nonce."));
        if (serverNonce.size() > kMaxServerNonceSize)
            return ReportKeyFailure(label, QObject::tr("The service sent a nonce of %1 bytes, more than %2; it "
                                                       "was not signed.")
                                               .arg(qulonglong(serverNonce.size()))
                                               .arg(qulonglong(kMaxServerNonceSize)));

        // The proof: the key's signature over SHA-1 of the server's nonce followed by
        // random bytes of our own.
        TByteArrayAutoPtr clientNonce;
        if (!m_token.GenerateRandom(kClientNonceSize, clientNonce) || clientNonce.size() != kClientNonceSize)
            return ReportKeyFailure(label, QObject::tr("Unable to generate random data."));
        const size_t cbJoined = serverNonce.size() + clientNonce.size();
        TByteArrayAutoPtr joined(new unsigned char[cbJoined], cbJoined);
        std::memcpy(joined.get(), serverNonce.get(), serverNonce.size());
        std::memcpy(joined.get() + serverNonce.size(), clientNonce.get(), clientNonce.size());
        TByteArrayAutoPtr digest;
        if (!m_token.Digest(CKM_SHA_1, joined.get(), uint32_t(joined.size()), digest) || !digest.size())
            return ReportKeyFailure(label, QObject::tr("Unable to digest data."));
        TByteArrayAutoPtr signature;
        if (!privateKey.SignHash(digest.get(), DWORD(digest.size()), id_OIWSEC_sha1, signature) || !signature.size())
            return ReportKeyFailure(label, QObject::tr("Unable to sign data."));
        const char* pszAlgorithm =
            RsaOrDsaKeyType(privateKey) == KEY_TYPE_RSA ? id_RSA_sha1rsa : id_X957_dsaWithSHA1;

        TByteArrayAutoPtr cert;
        try {
            tessaly::RunInBackground(
                [&] { client.downloadCertificate(serverNonce, clientNonce, signature, pszAlgorithm, cert); });
        } catch (const CVarnockError& e) {
            const QString detail = ThisFault(m_pHost, e);
            if (e.Kind() == CVarnockError::ekNoResult)
                return ReportKeyFailure(label, QObject::tr("The remote server returned an empty file."), detail);
            if (e.Kind() == CVarnockError::ekFault)
                return ReportKeyFailure(label, QObject::tr("The service refused the proof of possession."), detail);
            return ReportKeyFailure(label, QObject::tr("The connection to the server failed."), detail);
        } catch (const std::runtime_error& e) {
            return ReportKeyFailure(label, QObject::tr("The connection to the server failed."),
                                    QString::fromUtf8(e.what()));
        }
        if (!cert.size())
            return ReportKeyFailure(label, QObject::tr("The remote server returned an empty file."));

        // Only a certificate of this very key goes on the token: the installation
        // would put one for another pair of the token beside that pair.
        if (!PellumDecodes(cert))
            return ReportKeyFailure(label, QObject::tr("The service sent data that is not a certificate."));
        QString reason;
        if (!CertificateCarriesKey(cert.get(), cert.size(), key.spki.get(), key.spki.size(), &reason))
            return ReportKeyFailure(label, QObject::tr("The service sent a certificate that is not for this key pair."),
                                    reason);
        if (!m_pHost->InstallCertificate(m_token, cert.get(), uint32_t(cert.size())))
            return QObject::tr("The request is approved, but the certificate was not installed.");
        m_bTokenChanged = true;
        return QObject::tr("The request is approved and the certificate was installed.");
    } catch (const std::exception& e) {
        return ReportKeyFailure(label, QObject::tr("Downloading the certificate failed."), QString::fromUtf8(e.what()));
    }
}
