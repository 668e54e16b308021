#include "PKCS11Certificate.h"

#include <QObject>
#include <QString>

#include <cstring>
#include <memory>
#include <vector>

#include <pellum/pellum.h>

#include "FieldList.h"
#include "PKCS11Token.h"

namespace {

QString FormatTime(time_t t)
{
    struct tm parts;
    memset(&parts, 0, sizeof parts);
    char text[128] = {0};
    if (gmtime_r(&t, &parts))
        strftime(text, sizeof text, "%d/%m/%Y %H:%M GMT", &parts);
    return QString::fromLatin1(text);
}

// A text the decoder gives of whatever length: call(nullptr, &len) for its size, then into a
// buffer of that size. The size, not the first NUL, ends it: a name's value may hold a NUL.
template <class TCall>
bool LengthFirstText(TCall call, std::string& text)
{
    uint32_t len = 0;
    if (!call(nullptr, &len) || len == 0)
        return false;
    std::vector<char> buffer(len);
    if (!call(buffer.data(), &len) || len == 0 || len > buffer.size())
        return false;
    text.assign(buffer.data(), len - 1);
    return true;
}

// The subject's (flags 0) or issuer's simple name; empty when there is none.
void SimpleName(const CL_CERTIFICATE* pRecord, int nFlags, std::string& name)
{
    if (!LengthFirstText([&](char* p, uint32_t* pLen) { return CL_CertGetSimpleNameString(pRecord, nFlags, p, pLen); },
                         name))
        name.clear();
}

} // namespace

CPKCS11Certificate::CPKCS11Certificate(CK_OBJECT_HANDLE hObject, CK_SESSION_HANDLE hSession, int nPrivateKeyIndex,
                                       int nPublicKeyIndex, CK_FUNCTION_LIST_PTR pFunctionList,
                                       CPKCS11Token* pToken, CTSYException* pErrorSink,
                                       const tsy::CAttributeValues* pRead)
    : CPKCS11Object(hObject, hSession, pFunctionList, pToken, pErrorSink),
      m_pCertificate(nullptr),
      m_tValidFrom(0),
      m_tValidTo(0),
      m_nPrivateKeyIndex(nPrivateKeyIndex),
      m_nPublicKeyIndex(nPublicKeyIndex)
{
    m_eObjectType = CryptokiCertificate;
    m_nClass = CKO_CERTIFICATE;
    // Without the listing's read, ReadAttributes takes the same three attributes in one call.
    const unsigned int nMask = OBJECT_ATTRIBUTE_ID | OBJECT_ATTRIBUTE_VALUE | OBJECT_ATTRIBUTE_LABEL;
    if (!(pRead ? ReadAttributes(nMask, pRead) : ReadAttributes(nMask)))
        ThrowSinkError();
    Decode();
}

const tsy::TAttributeRequest* CPKCS11Certificate::ReadRequests(size_t* pCount)
{
    *pCount = 3;
    return BasicRequests();
}

CPKCS11Certificate::~CPKCS11Certificate()
{
    CL_FreeCertificate(m_pCertificate);
}

void CPKCS11Certificate::Decode()
{
    const _CPBLOB* value = GetValue();
    CL_CERTIFICATE* record = nullptr;
    if (!value || !CL_DecodeCertificate(value, &record) || !record) {
        std::string message = std::string("Unable to decode certificate:\n") + CL_GetLastError();
        SetError(message.c_str(), 0, TSY_KIND_PLAIN);
        return;
    }
    m_pCertificate = record;
    if (record->SerialNumber.cbData)
        m_sSerialNumber =
            ByteToStdString(record->SerialNumber.pbData, int(record->SerialNumber.cbData)).c_str();

    // The subject's name text gives the organisation, and the common name when the
    // text starts with it (the simple name then is its first line).
    std::string nameText;
    const bool bText = LengthFirstText(
        [&](char* p, uint32_t* pLen) { return CL_CertNameToStr(&record->Subject, p, pLen, '\n', '\n'); }, nameText);
    if (bText)
        m_sOrganization = OrganizationFromNameText(nameText);
    if (bText && nameText.compare(0, 3, "CN=") == 0) {
        const size_t end = nameText.find('\n');
        m_sSubject = nameText.substr(3, end == std::string::npos ? std::string::npos : end - 3);
    } else {
        SimpleName(record, 0, m_sSubject);
    }
    // Certificates on one token mostly share their issuers.
    CPKCS11Token* pToken = GetToken();
    std::string issuerDer(reinterpret_cast<const char*>(record->Issuer.pbData), record->Issuer.cbData);
    const std::string* known = pToken ? pToken->FindIssuerName(issuerDer) : nullptr;
    if (known) {
        m_sIssuer = *known;
    } else if (record->Issuer.cbData == record->Subject.cbData && bText && nameText.compare(0, 3, "CN=") == 0 &&
               memcmp(record->Issuer.pbData, record->Subject.pbData, record->Issuer.cbData) == 0) {
        m_sIssuer = m_sSubject;  // self-signed
    } else {
        SimpleName(record, CL_NAME_ISSUER_FLAG, m_sIssuer);
    }
    if (pToken && !known)
        pToken->RememberIssuerName(issuerDer, m_sIssuer);
    m_tValidFrom = record->tNotBefore;
    m_tValidTo = record->tNotAfter;
}

std::string CPKCS11Certificate::KeyAlgorithmName(const CL_CERTIFICATE& record)
{
    static const struct {
        const char* oid;
        const char* name;
    } algorithms[] = {
        {"1.2.840.113549.1.1.1", "RSA"}, {"1.2.840.10040.4.1", "DSA"},     {"1.3.101.112", "Ed25519"},
        {"1.3.101.113", "Ed448"},        {"1.2.840.113549.1.1.10", "RSA-PSS"},
    };
    static const struct {
        const char* oid;
        const char* name;
    } curves[] = {
        {"1.2.840.10045.3.1.7", "P-256"},
        {"1.3.132.0.34", "P-384"},
        {"1.3.132.0.35", "P-521"},
    };
    if (record.sKeyAlgorithm == "1.2.840.10045.2.1") {
        for (const auto& c : curves)
            if (record.sKeyCurve == c.oid)
                return std::string("EC ") + c.name;
        return record.sKeyCurve.empty() ? std::string("EC") : "EC " + record.sKeyCurve;
    }
    for (const auto& a : algorithms)
        if (record.sKeyAlgorithm == a.oid)
            return a.name;
    return record.sKeyAlgorithm;
}

bool CPKCS11Certificate::HasRsaOrDsaKey(const CL_CERTIFICATE& record)
{
    return record.pRSAKey || record.pDSAKey;
}

std::string CPKCS11Certificate::OrganizationFromNameText(const std::string& sNameText)
{
    // Only a line that starts with "O=" names the organisation: "CN=Foo O=Bar" or
    // "OU=..." must not match.
    for (size_t line = 0; line < sNameText.size();) {
        const size_t end = sNameText.find('\n', line);
        if (sNameText.compare(line, 2, "O=") == 0)
            return sNameText.substr(line + 2, end == std::string::npos ? std::string::npos : end - line - 2);
        if (end == std::string::npos)
            break;
        line = end + 1;
    }
    return std::string();
}

void CPKCS11Certificate::PopulateFields(CFieldList* pFields)
{
    if (!pFields)
        return;
    if (!IsDecoded()) {
        (*pFields)[QObject::tr("The certificate can not be decoded.")] = QString();
        return;
    }
    (*pFields)[QObject::tr("Serial number")] = QString::fromLatin1(m_sSerialNumber.c_str());
    (*pFields)[QObject::tr("Subject")] = CertificateNameText(m_sSubject);
    if (!m_sOrganization.empty())
        (*pFields)[QObject::tr("Organization")] = CertificateNameText(m_sOrganization);
    (*pFields)[QObject::tr("Issuer")] = CertificateNameText(m_sIssuer);
    (*pFields)[QObject::tr("Valid from")] = FormatTime(m_tValidFrom);
    (*pFields)[QObject::tr("Valid to")] = FormatTime(m_tValidTo);
    // RSA and DSA certificates show as they always did; any other key is named.
    if (!HasRsaOrDsaKey(*m_pCertificate))
        (*pFields)[QObject::tr("Public key")] = QString::fromStdString(KeyAlgorithmName(*m_pCertificate));
}
