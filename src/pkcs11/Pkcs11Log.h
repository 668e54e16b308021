#pragma once

#include <QLoggingCategory>

// Debug lines of the PKCS#11 layer. Off unless asked for, e.g. with
// QT_LOGGING_RULES="tessaly.pkcs11.debug=true"; warnings stay on.
Q_DECLARE_LOGGING_CATEGORY(lcPkcs11)
