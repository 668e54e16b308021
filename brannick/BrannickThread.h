#ifndef BRANNICK_THREAD_H
#define BRANNICK_THREAD_H

#include <QThread>

#include <pkcs11.h>

#include "Secret.h"

class CPKCS11Token;

// The worker that makes brannick's one initialisation call, so that the main thread can give
// up waiting for a token that does not answer.
class CBrannickThread : public QThread
{
public:
    // The token, a non-empty SO PIN and a non-empty label; the texts are copied.
    CBrannickThread(CPKCS11Token* pToken, const char* pszSOPIN, const char* pszLabel);
    ~CBrannickThread() override;

    // Read only after a wait that saw the worker finish.
    bool GetResult() const { return m_bResult; }
    // The module's answer to a failed initialisation (0 when the call never reached it).
    CK_RV GetErrorCode() const { return m_nErrorCode; }

protected:
    void run() override;

private:
    void Initialize();

    CPKCS11Token* m_pToken;
    tsy::CSecretString m_sSOPIN;
    std::string m_sLabel;
    bool m_bResult;
    CK_RV m_nErrorCode;
};

#endif
