#pragma once

#include <QString>

#include <sorvit/AutoArray.h>
#include <varnock/Varnock.h>

#include "EnrolmentKeys.h"

class CPKCS11Token;
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
    // Whether the last road changed the token's contents (a key pair was generated,
    // also when the form was cancelled afterwards or the upload failed).
    bool IsTokenChanged() const { return m_bTokenChanged; }

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
    void RunRequestRoad();
    void Report(const QString& text, const char* pszLogPrefix, const char* pszDetail, bool bCritical);

    TKeysVector& m_keys;
    CPKCS11Token& m_token;
    IEnrolmentHost* m_pHost;
    QString m_qsSchemaFile;
    QString m_qsResourceFile;
    QString m_qsTrustedCertsFile;
    QString m_qsServiceURL;
    bool m_bTokenChanged;
};
