#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <QString>

#include <sorvit/AutoArray.h>
#include <varnock/Varnock.h>

#include "EnrolmentKeys.h"

class CPKCS11AsymmetricKey;
class CPKCS11Token;
class DownloadCertDialog;
class IEnrolmentHost;

// Where enrolment finds its files and its service.
struct TEnrolmentPlaces {
    QString qsDataFolder;   // Schema.xml, SchemaResources.<language>.xml, chain.pem
    QString qsLanguageCode; // ISO 639-1 code of the user interface's language
    QString qsServiceURL;   // the request service's https address

    // The data folder (tessaly::DataFolder), the language of the settings' translation
    // manager, and the service address of the settings file or else the build's.
    static TEnrolmentPlaces FromEnvironment();
};

// The enrolment driver: carries one enrolment action of the window through the
// request form, the token and the certificate request service. It reports every
// failure itself (message box and log entry) and throws nothing to its caller.
class CCertReqWrapper
{
public:
    CCertReqWrapper(IEnrolmentHost* pHost, TKeysVector& keys, CPKCS11Token& token);
    CCertReqWrapper(IEnrolmentHost* pHost, TKeysVector& keys, CPKCS11Token& token, const TEnrolmentPlaces& places);
    CCertReqWrapper(const CCertReqWrapper&) = delete;
    CCertReqWrapper& operator=(const CCertReqWrapper&) = delete;

    // The request road: the request form, then the upload of the signed request
    // under the chosen policy, then the service's answer.
    void GenerateAndSendRequest();
    // The download road: the state of the request of every listed RSA or DSA pair;
    // for each approved one a proof of possession signed on the token, the download,
    // the check that the certificate carries that very key, and the installation
    // through the host. A failure is that key's alone: it is reported and gets its
    // row, and the next key goes on. The summary lists every key asked about.
    void DownloadAndInstallCertificates();
    // Whether the last road changed the token's contents (a key pair was generated,
    // also when the form was cancelled afterwards or the upload failed; a certificate
    // was installed, also when a later key failed).
    bool IsTokenChanged() const { return m_bTokenChanged; }

    // The download road without its summary, for callers that show none: the rows the
    // summary would list, in its order; pProgress, when given, shows each as it is made.
    // Failures are reported as on the whole road.
    struct TDownloadRow {
        int nStatus; // a DownloadCertDialog::TStatus
        QString qsLabel;
        QString qsMessage;
    };
    enum TDownloadEnd {
        DownloadDone,    // every key has its row
        DownloadNoKeys,  // no RSA or DSA pair to ask about; nothing was sent
        DownloadStopped  // the service could not be asked; reported, no rows
    };
    TDownloadEnd DownloadRows(std::vector<TDownloadRow>& rows, DownloadCertDialog* pProgress = nullptr);

    // The key identifier's digest: SHA-1, on the driver's token, of the public key's
    // complete DER SubjectPublicKeyInfo. False when the token did not give the key's
    // values or the digest (the layer has recorded why).
    bool DigestSubjPubKeyInfo(CPKCS11AsymmetricKey* pPublicKey, TByteArrayAutoPtr& digest);

    // The client's share of a proof of possession, and the largest server nonce the
    // driver signs: the service's bytes are never signed unbounded.
    static constexpr unsigned long kClientNonceSize = 20;
    static constexpr size_t kMaxServerNonceSize = 1024;

    const QString& SchemaFile() const { return m_qsSchemaFile; }
    const QString& ResourceFile() const { return m_qsResourceFile; }
    const QString& TrustedCertsFile() const { return m_qsTrustedCertsFile; }
    const QString& ServiceURL() const { return m_qsServiceURL; }

    // The upload step on its own: the request must verify against the public key it
    // carries, the address must be https and the trust file readable before anything
    // is sent. Throws CEnrolmentError for those, std::runtime_error when the
    // exchange with the service fails.
    static CVarnockSingleton::TUploadStatus UploadRequest(const TByteArrayAutoPtr& request, const char* pszPolicyId,
                                                          const QString& qsTrustedCertsFile,
                                                          const QString& qsServiceURL);

private:
    // A key of the download road: its row label, its private key and its public key's
    // DER SubjectPublicKeyInfo, which a downloaded certificate must carry.
    struct TDownloadKey {
        QString qsLabel;
        CPKCS11AsymmetricKey* pPrivateKey;
        TByteArrayAutoPtr spki;
    };

    void RunRequestRoad();
    void Report(const QString& text, const char* pszLogPrefix, const char* pszDetail, bool bCritical);
    // Points the client at the service after checking the address (https, a host) and
    // the trust file (readable); CEnrolmentError for either.
    static void ConfigureClient(const QString& qsTrustedCertsFile, const QString& qsServiceURL);

    void RunDownloadRoad();
    bool DigestSubjPubKeyInfo(CPKCS11AsymmetricKey* pPublicKey, TByteArrayAutoPtr& digest, TByteArrayAutoPtr* pSpki);
    // The road of one approved key; the row's message. Failures are reported here.
    QString DownloadCertificate(const std::string& sServiceKeyId, TDownloadKey& key);
    // A key's failure: one log entry and a box, through the host (which adds what the
    // failed token call recorded). Returns text, for the key's row.
    QString ReportKeyFailure(const QString& qsLabel, const QString& text, const QString& detail = QString());

    TKeysVector& m_keys;
    CPKCS11Token& m_token;
    IEnrolmentHost* m_pHost;
    QString m_qsSchemaFile;
    QString m_qsResourceFile;
    QString m_qsTrustedCertsFile;
    QString m_qsServiceURL;
    bool m_bTokenChanged;
};
