#pragma once

#include <QThread>

#include <atomic>

#include "PKCS11Token.h"

// Logs a user in on a token with a protected authentication path: the module waits in C_Login
// until the user has acted on the device, so the call runs here while the window waits.
// The object outlives the run: its destructor waits for the thread.
class QLoginThread : public QThread
{
    Q_OBJECT

public:
    QLoginThread(CPKCS11Token* pToken, TUserType eUserType, QObject* parent = nullptr);
    ~QLoginThread() override;

    // False until the login has returned true.
    bool GetResult() const { return m_bResult; }

protected:
    // Nothing leaves it: a failure is the result false and the error recorded by the token.
    void run() override;

private:
    CPKCS11Token* m_pToken;
    TUserType m_eUserType;
    std::atomic<bool> m_bResult;
};
