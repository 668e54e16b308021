#pragma once

// Helpers for the tests of the token operations: typing into the PIN dialogs as a user would
// (any script), answering file dialogs, collecting the debug output, and checking a token's
// PINs from outside the process with pkcs11-tool.

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTest>
#include <QTreeWidget>

#include <algorithm>
#include <mutex>
#include <string>

#include "Fixture.h"
#include "ModalDriver.h"
#include "token/DialogSupport.h"

// Every expected dialog was answered, and no other modal widget showed up (RejectUnexpected).
inline bool AllAnswered(const fixture::ModalDriver& driver)
{
    return driver.Finished() && driver.Unexpected().isEmpty();
}

inline QString Problems(const fixture::ModalDriver& driver)
{
    return (driver.Failures() + driver.Unexpected()).join(QStringLiteral("; "));
}

// Every debug, warning and critical line while it lives (other threads' too).
class CDebugCapture
{
public:
    CDebugCapture() { s_previous = qInstallMessageHandler(&CDebugCapture::Handler); }
    ~CDebugCapture() { qInstallMessageHandler(s_previous); }
    static QStringList Lines()
    {
        std::lock_guard<std::mutex> lock(Mutex());
        return Store();
    }
    static void Clear()
    {
        std::lock_guard<std::mutex> lock(Mutex());
        Store().clear();
    }

private:
    static void Handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        {
            std::lock_guard<std::mutex> lock(Mutex());
            Store() << message;
        }
        if (s_previous)
            s_previous(type, context, message);
    }
    static QStringList& Store()
    {
        static QStringList lines;
        return lines;
    }
    static std::mutex& Mutex()
    {
        static std::mutex m;
        return m;
    }
    static inline QtMessageHandler s_previous = nullptr;
};

// Types pin into the login dialog and clicks OK.
inline void AnswerLogin(QWidget* dialog, const QString& pin)
{
    TypeText(Field(dialog, "edtPassword"), pin);
    OkButton(dialog)->click();
}

inline void ChooseIndex(QWidget* dialog, const char* combo, int index)
{
    if (QComboBox* box = dialog->findChild<QComboBox*>(QLatin1String(combo)))
        box->setCurrentIndex(index);
}

// Picks path in a file dialog and accepts it (no question about replacing a file).
inline void AnswerFileDialog(QWidget* dialog, const QString& path)
{
    QFileDialog* fileDialog = qobject_cast<QFileDialog*>(dialog);
    if (!fileDialog) {
        if (QDialog* other = qobject_cast<QDialog*>(dialog))
            other->reject();
        return;
    }
    fixture::ModalDriver::ChooseFile(fileDialog, path);
    static_cast<QDialog*>(fileDialog)->done(QDialog::Accepted);
}

// The text of a message box, with its buttons clicked: "Yes", "No" or "OK".
inline QString AnswerBox(QWidget* dialog, QMessageBox::StandardButton button = QMessageBox::Ok)
{
    QMessageBox* box = qobject_cast<QMessageBox*>(dialog);
    if (!box)
        return QStringLiteral("(no box: %1)").arg(QLatin1String(dialog->metaObject()->className()));
    const QString text = box->text();
    if (QAbstractButton* b = box->button(button))
        b->click();
    else
        box->reject();
    return text;
}

// Whether pkcs11-tool in another process logs in to the SoftHSM2 token with this PIN
// (soOfficer: as security officer).
inline bool PinOpensToken(const std::string& tokenLabel, const std::string& pin, bool securityOfficer = false)
{
    const std::string command = "pkcs11-tool --module " + fixture::Quote(fixture::SoftHsm::ModulePath()) +
                                " --token-label " + fixture::Quote(tokenLabel) + " --login" +
                                (securityOfficer ? " --login-type so --so-pin " : " --pin ") + fixture::Quote(pin) +
                                " --session-rw --list-objects";  // the security officer needs a read-write session
    std::string output;
    return fixture::Run(command, &output) == 0;
}

#include <cstring>
#include <vector>

#include "TestModuleControl.h"
#include "TestTokenInfo.h"

// Token information of a test-module token with the given flags added, PIN lengths 4 to 8.
inline CK_TOKEN_INFO TestTokenInfo(const char* label, CK_FLAGS extraFlags)
{
    return testmodule::TokenInfo(label, "0002",
                                 CKF_TOKEN_INITIALIZED | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | extraFlags);
}

// A key object (RSA unless said otherwise) on a test-module token; private keys are seen only by
// the logged-in user.
inline void AddTestKey(testmodule::Control& tm, CK_SLOT_ID slot, CK_OBJECT_CLASS cls, unsigned char id,
                       const char* label, CK_KEY_TYPE type = CKK_RSA)
{
    CK_BBOOL yes = CK_TRUE;
    CK_BBOOL isPrivate = cls == CKO_PRIVATE_KEY ? CK_TRUE : CK_FALSE;
    CK_ATTRIBUTE a[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_KEY_TYPE, &type, sizeof type},
                        {CKA_ID, &id, 1},
                        {CKA_LABEL, (void*)label, (CK_ULONG)strlen(label)},
                        {CKA_PRIVATE, &isPrivate, sizeof isPrivate},
                        {cls == CKO_PRIVATE_KEY ? CKA_SIGN : CKA_VERIFY, &yes, sizeof yes}};
    tm.add_object(slot, a, sizeof a / sizeof a[0]);
}

// An X.509 certificate object with the DER value on a test-module token.
inline CK_OBJECT_HANDLE AddTestCertificate(testmodule::Control& tm, CK_SLOT_ID slot, const std::vector<unsigned char>& der,
                                           unsigned char id, const char* label)
{
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE type = CKC_X_509;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE a[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_CERTIFICATE_TYPE, &type, sizeof type},
                        {CKA_TOKEN, &yes, sizeof yes},
                        {CKA_ID, &id, 1},
                        {CKA_LABEL, (void*)label, (CK_ULONG)strlen(label)},
                        {CKA_VALUE, (void*)der.data(), (CK_ULONG)der.size()}};
    return tm.add_object(slot, a, sizeof a / sizeof a[0]);
}

// A public RSA key object of class, type, ID and label alone (no key values).
inline CK_OBJECT_HANDLE AddBarePublicKey(testmodule::Control& tm, CK_SLOT_ID slot, unsigned char id, const char* label)
{
    CK_OBJECT_CLASS cls = CKO_PUBLIC_KEY;
    CK_KEY_TYPE type = CKK_RSA;
    CK_ATTRIBUTE a[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_KEY_TYPE, &type, sizeof type},
                        {CKA_ID, &id, 1},
                        {CKA_LABEL, (void*)label, (CK_ULONG)strlen(label)}};
    return tm.add_object(slot, a, sizeof a / sizeof a[0]);
}

#include "PKCS11Token.h"
#include "WindowSupport.h"

// A fresh home for the current test function whose settings list SoftHSM2 and the test module;
// the module's slot 1 "Reader One" holds its default token (SO PIN 87654321, this user PIN).
inline QString SoftHsmAndTestModuleHome(std::unique_ptr<testmodule::Control>& tm, const char* softHsm,
                                        const char* module, const char* userPin)
{
    const QString home = FreshHome(QString::fromLatin1(QTest::currentTestFunction()));
    tm.reset(new testmodule::Control);
    tm->add_slot(1, "Reader One", "Tessaly");
    tm->insert_token(1, nullptr, "87654321", userPin, 0);
    WriteSoftHsmAndModuleSettings(home, softHsm, module, testmodule::ModulePath(), false);
    return home;
}

// An RSA private key and its bare public key with this ID, labelled "Vanishing"; the public
// key's handle.
inline CK_OBJECT_HANDLE AddVanishingPair(testmodule::Control& tm, CK_SLOT_ID slot, unsigned char id)
{
    AddTestKey(tm, slot, CKO_PRIVATE_KEY, id, "Vanishing");
    return AddBarePublicKey(tm, slot, id, "Vanishing");
}

// Runs the action; the object goes from the token (through the token's own session) while the
// login dialog is up, then the PIN is typed. The text of the message box after it, or what
// went wrong with the dialogs.
inline QString RunWhileObjectGoes(MainWindow& window, const char* action, CPKCS11Token* token,
                                  CK_OBJECT_HANDLE handle, const char* pin)
{
    QString text;
    fixture::ModalDriver driver;
    driver.RejectUnexpected();
    driver.Expect([token, handle, pin](QWidget* w) {
        token->GetFunctionList()->C_DestroyObject(token->GetSession(), handle);
        AnswerLogin(w, QString::fromLatin1(pin));
    }, "LoginDialog");
    driver.Expect([&](QWidget* w) { text = AnswerBox(w); }, "QMessageBox");
    Action(window, action)->trigger();
    return AllAnswered(driver) ? text : QStringLiteral("dialogs: ") + Problems(driver);
}

#include <pellum/pellum.h>

// The public key of a certificate as a test-module key object (its modulus and exponent, so
// that certificate installation finds it), and a private key with the same ID. False when the
// certificate does not decode as RSA.
inline bool AddTestKeyPairFor(testmodule::Control& tm, CK_SLOT_ID slot, const std::vector<unsigned char>& certDer,
                              unsigned char id, const char* label)
{
    _CPBLOB blob = {const_cast<unsigned char*>(certDer.data()), uint32_t(certDer.size())};
    CL_CERTIFICATE* record = nullptr;
    if (!CL_DecodeCertificate(&blob, &record) || !record || !record->pRSAKey) {
        CL_FreeCertificate(record);
        return false;
    }
    CK_OBJECT_CLASS cls = CKO_PUBLIC_KEY;
    CK_KEY_TYPE type = CKK_RSA;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE pub[] = {{CKA_CLASS, &cls, sizeof cls},
                          {CKA_KEY_TYPE, &type, sizeof type},
                          {CKA_ID, &id, 1},
                          {CKA_LABEL, (void*)label, (CK_ULONG)strlen(label)},
                          {CKA_VERIFY, &yes, sizeof yes},
                          {CKA_MODULUS, record->pRSAKey->Modulus.pbData, record->pRSAKey->Modulus.cbData},
                          {CKA_PUBLIC_EXPONENT, record->pRSAKey->PublicExponent.pbData,
                           record->pRSAKey->PublicExponent.cbData}};
    tm.add_object(slot, pub, sizeof pub / sizeof pub[0]);
    CL_FreeCertificate(record);
    AddTestKey(tm, slot, CKO_PRIVATE_KEY, id, label);
    return true;
}

// The values of the test-module token's certificate objects, read through the window's own
// token (its session sees what the module holds now).
inline std::vector<std::vector<unsigned char>> CertificateValues(CK_FUNCTION_LIST_PTR fl, CK_SESSION_HANDLE session)
{
    std::vector<std::vector<unsigned char>> out;
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_ATTRIBUTE t = {CKA_CLASS, &cls, sizeof cls};
    CK_OBJECT_HANDLE found[64];
    CK_ULONG n = 0;
    if (fl->C_FindObjectsInit(session, &t, 1) != CKR_OK)
        return out;
    fl->C_FindObjects(session, found, 64, &n);
    fl->C_FindObjectsFinal(session);
    for (CK_ULONG i = 0; i < n; ++i) {
        std::vector<unsigned char> value(8192);
        CK_ATTRIBUTE a = {CKA_VALUE, value.data(), CK_ULONG(value.size())};
        if (fl->C_GetAttributeValue(session, found[i], &a, 1) == CKR_OK) {
            value.resize(a.ulValueLen);
            out.push_back(value);
        }
    }
    return out;
}

// How many certificate objects a program finds that looks for this certificate as browsers and
// mail programs do: by its subject, issuer and serial number (their DER, as OpenSSL reads them).
inline int CertificatesFoundByIssuerAndSerial(CK_FUNCTION_LIST_PTR fl, CK_SESSION_HANDLE session,
                                              const std::vector<unsigned char>& certificate)
{
    fixture::CertificateFields own = fixture::ReadCertificateFields(certificate);
    if (own.serial.empty())
        return -1;
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_SUBJECT, own.subject.data(), CK_ULONG(own.subject.size())},
                        {CKA_ISSUER, own.issuer.data(), CK_ULONG(own.issuer.size())},
                        {CKA_SERIAL_NUMBER, own.serial.data(), CK_ULONG(own.serial.size())}};
    CK_OBJECT_HANDLE found[8];
    CK_ULONG n = 0;
    if (fl->C_FindObjectsInit(session, t, 4) != CKR_OK)
        return -1;
    fl->C_FindObjects(session, found, 8, &n);
    fl->C_FindObjectsFinal(session);
    return int(n);
}
