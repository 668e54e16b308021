// The enrolment driver's request road.
#include "CertReqWrapper.h"

#include <cassert>
#include <memory>
#include <string>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QRegularExpression>
#include <QUrl>

#include <logging/Logger.h>

#include "AutoSplash.h"
#include "BackgroundCall.h"
#include "CertRequestDialog.h"
#include "DataFolder.h"
#include "EnrolmentConfig.h"
#include "EnrolmentError.h"
#include "IEnrolmentHost.h"
#include "OverrideCursor.h"
#include "RequestCheck.h"
#include "Settings.h"

namespace {

const char* const kRoad = " in CCertReqWrapper::GenerateAndSendRequest:\n";

QWidget* BoxParent(IEnrolmentHost* pHost)
{
    QWidget* active = QApplication::activeWindow();
    return active ? active : pHost->HostWidget();
}

void Log(const std::string& text)
{
    Logging::ILogger& logger = Logging::ILogger::instance();
    logger.severity(Logging::SeverityCritical);
    logger << text.c_str();
    logger.flush();
}

} // namespace

TEnrolmentPlaces TEnrolmentPlaces::FromEnvironment()
{
    TEnrolmentPlaces places;
    places.qsDataFolder = tessaly::DataFolder();
    places.qsLanguageCode = CSettings::Instance().GetTranslationManager().GetLanguageCode();
    places.qsServiceURL = CSettings::Instance().GetRequestServiceURL();
    if (places.qsServiceURL.isEmpty())
        places.qsServiceURL = QStringLiteral(TESSALY_REQUEST_SERVICE_URL);
    return places;
}

CCertReqWrapper::CCertReqWrapper(IEnrolmentHost* pHost, TKeysVector& keys, CPKCS11Token& token)
    : CCertReqWrapper(pHost, keys, token, TEnrolmentPlaces::FromEnvironment())
{
}

CCertReqWrapper::CCertReqWrapper(IEnrolmentHost* pHost, TKeysVector& keys, CPKCS11Token& token,
                                 const TEnrolmentPlaces& places)
    : m_keys(keys), m_token(token), m_pHost(pHost), m_qsServiceURL(places.qsServiceURL), m_bTokenChanged(false)
{
    assert(pHost);
    const QString folder = places.qsDataFolder;
    // The code names a file: anything but a plain language code reads as English.
    QString language = places.qsLanguageCode;
    if (!QRegularExpression(QStringLiteral("^[a-z]{2,3}$")).match(language).hasMatch())
        language = QStringLiteral("en");
    m_qsSchemaFile = QDir::toNativeSeparators(QStringLiteral("%1/Schema.xml").arg(folder));
    m_qsResourceFile = QDir::toNativeSeparators(QStringLiteral("%1/SchemaResources.%2.xml").arg(folder, language));
    m_qsTrustedCertsFile = QDir::toNativeSeparators(QStringLiteral("%1/chain.pem").arg(folder));
    if (language != QLatin1String("en") && !QFileInfo::exists(m_qsResourceFile)) {
        const QString english = QDir::toNativeSeparators(QStringLiteral("%1/SchemaResources.en.xml").arg(folder));
        Logging::ILogger& logger = Logging::ILogger::instance();
        logger.severity(Logging::SeverityInfo);
        logger << QStringLiteral("Certificate policy texts %1 not found; using %2")
                      .arg(m_qsResourceFile, english)
                      .toStdWString();
        logger.flush();
        m_qsResourceFile = english;
    }
}

void CCertReqWrapper::Report(const QString& text, const char* pszLogPrefix, const char* pszDetail, bool bCritical)
{
    // The entry is critical: it asks the user for an error report, once the box has said what
    // happened.
    {
        COverrideCursor arrow(Qt::ArrowCursor);
        if (bCritical)
            QMessageBox::critical(BoxParent(m_pHost), QObject::tr("Error"), text, QMessageBox::Ok);
        else
            QMessageBox::warning(BoxParent(m_pHost), QObject::tr("Error"), text, QMessageBox::Ok);
    }
    Log(std::string(pszLogPrefix) + kRoad + (pszDetail ? pszDetail : ""));
}

void CCertReqWrapper::GenerateAndSendRequest()
{
    m_bTokenChanged = false;
    try {
        RunRequestRoad();
    } catch (const CEnrolmentError& e) {
        Report(QObject::tr("The certificate request was not sent.") + QLatin1Char('\n') + e.Text(), "CEnrolmentError",
               e.what(), false);
    } catch (const CVarnockError& e) {
        // The box tells this call's fault; the log has the client's whole text.
        const QString fault = QString::fromUtf8(e.ThisFault().c_str()).trimmed();
        QString text;
        switch (e.Kind()) {
        case CVarnockError::ekFault:
            text = QObject::tr("The request service refused the certificate request.");
            break;
        case CVarnockError::ekNoResult:
        case CVarnockError::ekBadAnswer:
            // The service was reached and may have filed the request.
            text = QObject::tr("The request service answered with a state that this program does not know; the "
                               "request may have been filed.");
            break;
        case CVarnockError::ekTransport:
            text = QObject::tr("The connection to the server failed");
            break;
        }
        Report(text + QLatin1Char('\n') + fault, "std::runtime_error", e.what(), true);
    } catch (const std::runtime_error& e) {
        Report(QObject::tr("The connection to the server failed") + QLatin1Char('\n') + QString::fromUtf8(e.what()),
               "std::runtime_error", e.what(), true);
    } catch (const std::exception& e) {
        Report(QString::fromUtf8(e.what()), "std::exception", e.what(), false);
    } catch (...) {
        Report(QObject::tr("The certificate request failed for an unknown reason."), "unknown exception", nullptr,
               false);
    }
}

void CCertReqWrapper::RunRequestRoad()
{
    TByteArrayAutoPtr request;
    std::string policyId;
    {
        std::unique_ptr<CertRequestDialog> dialog;
        try {
            dialog.reset(new CertRequestDialog(m_qsSchemaFile, m_qsResourceFile, m_keys, m_token, *m_pHost,
                                               m_pHost->HostWidget()));
        } catch (const std::exception& e) {
            Report(QObject::tr("The certificate request form cannot be opened.") + QLatin1Char('\n') +
                       QString::fromUtf8(e.what()),
                   "CertRequestDialog", e.what(), true);
            return;
        }
        // The service's address and trust file are checked before the form is shown:
        // refused after it, the request would leave the key pair made for it on the token.
        ConfigureClient(m_qsTrustedCertsFile, m_qsServiceURL);
        const int result = dialog->exec();
        // A generated pair is on the token whether or not the request goes out.
        m_bTokenChanged = dialog->IsNewKeyGenerated();
        if (result != QDialog::Accepted)
            return;
        assert(dialog->GetRequest().size());
        request = std::move(dialog->GetRequest());
        policyId = dialog->GetPolicyId();
    }

    CVarnockSingleton::TUploadStatus status;
    {
        CAutoSplash splash(QStringLiteral(":/bitmaps/Progress"), QApplication::activeWindow(), true);
        splash.ShowMessage(QObject::tr("Sending certificate request..."), Qt::AlignBottom, Qt::black);
        status = UploadRequest(request, policyId.c_str(), m_qsTrustedCertsFile, m_qsServiceURL);
    }
    QString answer;
    switch (status) {
    case CVarnockSingleton::usAccepted:
        answer = QObject::tr("The certificate request was accepted.");
        break;
    case CVarnockSingleton::usMalformed:
        answer = QObject::tr("The certificate request is malformed.");
        break;
    case CVarnockSingleton::usRejected:
        answer = QObject::tr("The certificate request was rejected.");
        break;
    }
    if (answer.isEmpty())
        return;
    COverrideCursor arrow(Qt::ArrowCursor);
    QMessageBox::information(BoxParent(m_pHost), QObject::tr("Certificate Request"), answer, QMessageBox::Ok);
}

CVarnockSingleton::TUploadStatus CCertReqWrapper::UploadRequest(const TByteArrayAutoPtr& request,
                                                                const char* pszPolicyId,
                                                                const QString& qsTrustedCertsFile,
                                                                const QString& qsServiceURL)
{
    assert(pszPolicyId && *pszPolicyId);
    // A request signed by another key than the one it names (keys paired by a shared
    // or empty CKA_ID) never leaves the program.
    QString reason;
    if (!VerifyCertificationRequest(request.get(), request.size(), &reason))
        throw CEnrolmentError(QObject::tr("The signed request does not verify against its own public key.") +
                              QLatin1Char('\n') + reason);
    ConfigureClient(qsTrustedCertsFile, qsServiceURL);
    // Only the exchange leaves the GUI thread; the window paints while it waits.
    return tessaly::CallInBackground(
        [&] { return CVarnockSingleton::instance().uploadCertRequest(request.get(), request.size(), pszPolicyId); });
}

void CCertReqWrapper::ConfigureClient(const QString& qsTrustedCertsFile, const QString& qsServiceURL)
{
    // Without https requests and proofs would go out in clear text, without a host nowhere.
    const QUrl url(qsServiceURL, QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QLatin1String("https") || url.host().isEmpty())
        throw CEnrolmentError(
            QObject::tr("The address of the request service is not an https address: %1").arg(qsServiceURL));
    const QFileInfo trust(qsTrustedCertsFile);
    if (!trust.isFile() || !trust.isReadable())
        throw CEnrolmentError(QObject::tr("The trusted certificates file cannot be read: %1")
                                  .arg(QDir::toNativeSeparators(qsTrustedCertsFile)));

    const QByteArray trustName = QFile::encodeName(qsTrustedCertsFile);
    const QByteArray endpoint = url.toEncoded();
    CVarnockSingleton::instance().trustedCerts(trustName.constData()).endpointURL(endpoint.constData());
}
