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
