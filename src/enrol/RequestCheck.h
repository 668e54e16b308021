#pragma once

#include <cstddef>

#include <QString>

// Whether bytes are one whole DER PKCS#10 request whose signature verifies against
// the public key it carries. On failure *pReason (when given) says why.
bool VerifyCertificationRequest(const unsigned char* pbRequest, size_t cbRequest, QString* pReason = nullptr);
