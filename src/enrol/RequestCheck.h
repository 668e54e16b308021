#pragma once

#include <cstddef>

#include <QCoreApplication>
#include <QString>

// Texts of the request check.
struct CRequestCheck {
    Q_DECLARE_TR_FUNCTIONS(CRequestCheck)
};

// Whether bytes are one whole DER PKCS#10 request whose signature verifies against
// the public key it carries. On failure *pReason (when given) says why.
bool VerifyCertificationRequest(const unsigned char* pbRequest, size_t cbRequest, QString* pReason = nullptr);

// Whether a whole DER certificate carries the key of a DER SubjectPublicKeyInfo: the
// same key material (modulus and exponent, or domain parameters and public value),
// however either is encoded. On failure *pReason (when given) says why.
bool CertificateCarriesKey(const unsigned char* pbCert, size_t cbCert, const unsigned char* pbKeyInfo,
                           size_t cbKeyInfo, QString* pReason = nullptr);
