// The explanation table of PKCS#11 return values, the composed report of a failed operation,
// and the error-report wizard.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTranslator>
#include <QtTest>

#include <set>
#include <vector>

#include <pkcs11.h>

#include "ErrorReportWizard.h"
#include "ModalDriver.h"
#include "Pkcs11Errors.h"

namespace {

struct TExpected {
    unsigned long long code;
    const char* name;
    const char* box;  // null: the box gets no line
    const char* log;  // null: the log gets nothing after the sink message
};

// What the user and the log are to get for each code; written out here on purpose, apart from the
// program's table.
const TExpected g_expected[] = {
    {0x1, "CKR_CANCEL", nullptr, "CKR_CANCEL"},
    {0x2, "CKR_HOST_MEMORY", "The computer has insufficient memory to perform the requested function.", "CKR_HOST_MEMORY"},
    {0x3, "CKR_SLOT_ID_INVALID", nullptr, "The specified slot ID is not valid."},
    {0x5, "CKR_GENERAL_ERROR", "Some unrecoverable error has occurred.", "CKR_GENERAL_ERROR"},
    {0x6, "CKR_FUNCTION_FAILED", "The requested operation could not be performed.", "CKR_FUNCTION_FAILED"},
    {0x7, "CKR_ARGUMENTS_BAD", nullptr, "The arguments supplied to the Cryptoki function were in some way not appropriate."},
    {0x10, "CKR_ATTRIBUTE_READ_ONLY", "The module does not let this attribute be set or changed.", "CKR_ATTRIBUTE_READ_ONLY"},
    {0x11, "CKR_ATTRIBUTE_SENSITIVE", "The module does not reveal the value of this attribute.", "CKR_ATTRIBUTE_SENSITIVE"},
    {0x12, "CKR_ATTRIBUTE_TYPE_INVALID", "The module does not know one of the attributes given to it.", "CKR_ATTRIBUTE_TYPE_INVALID"},
    {0x13, "CKR_ATTRIBUTE_VALUE_INVALID", "The module does not accept the value of one of the attributes given to it.", "CKR_ATTRIBUTE_VALUE_INVALID"},
    {0x30, "CKR_DEVICE_ERROR", "Some problem has occurred with the smart-card and/or slot", "CKR_DEVICE_ERROR"},
    {0x31, "CKR_DEVICE_MEMORY", "The smart-card does not have sufficient memory to perform the requested operation.", "CKR_DEVICE_MEMORY"},
    {0x32, "CKR_DEVICE_REMOVED", "The active smart-card was removed from its reader.", nullptr},
    {0x42, "CKR_AEAD_DECRYPT_FAILED", "The token found that the encrypted data was altered or does not belong to the key.", "CKR_AEAD_DECRYPT_FAILED"},
    {0x54, "CKR_FUNCTION_NOT_SUPPORTED", "The requested operation is not supported by this token.", "CKR_FUNCTION_NOT_SUPPORTED"},
    {0x63, "CKR_KEY_TYPE_INCONSISTENT", "The key cannot be used with the requested mechanism.", "CKR_KEY_TYPE_INCONSISTENT"},
    {0x68, "CKR_KEY_FUNCTION_NOT_PERMITTED", "The key is not allowed to perform the requested operation.", "CKR_KEY_FUNCTION_NOT_PERMITTED"},
    {0x70, "CKR_MECHANISM_INVALID", "The requested mechanism is not supported by this token.", "CKR_MECHANISM_INVALID"},
    {0x82, "CKR_OBJECT_HANDLE_INVALID", nullptr, "The specified object handle is not valid."},
    {0x90, "CKR_OPERATION_ACTIVE", "There is already an active operation.", "CKR_OPERATION_ACTIVE"},
    {0x91, "CKR_OPERATION_NOT_INITIALIZED", nullptr, "There is no active operation of an appropriate type in the specified session."},
    {0xA0, "CKR_PIN_INCORRECT", "The specified PIN is incorrect.", "CKR_PIN_INCORRECT"},
    {0xA1, "CKR_PIN_INVALID", "The specified PIN has invalid characters in it.", "CKR_PIN_INVALID"},
    {0xA3, "CKR_PIN_EXPIRED", "The specified PIN has expired.", "CKR_PIN_EXPIRED"},
    {0xA4, "CKR_PIN_LOCKED", "The specified PIN is blocked, and cannot be used.", "CKR_PIN_LOCKED"},
    {0xB0, "CKR_SESSION_CLOSED", "The session was closed during the execution of the function.", "CKR_SESSION_CLOSED"},
    {0xB1, "CKR_SESSION_COUNT", nullptr, "The smart-card has too many sessions already open"},
    {0xB3, "CKR_SESSION_HANDLE_INVALID", nullptr, "The specified session handle was invalid at the time that the function was invoked."},
    {0xB4, "CKR_SESSION_PARALLEL_NOT_SUPPORTED", nullptr, "The specified smart-card does not support parallel sessions."},
    {0xB5, "CKR_SESSION_READ_ONLY", "The specified session was unable to accomplish the desired action because it is a read-only session.", "CKR_SESSION_READ_ONLY"},
    {0xB6, "CKR_SESSION_EXISTS", "A session with the smart-card is already open.", "CKR_SESSION_EXISTS"},
    {0xB7, "CKR_SESSION_READ_ONLY_EXISTS", "A read-only session already exists, and so the administrative user cannot be logged in.", "CKR_SESSION_READ_ONLY_EXISTS"},
    {0xB8, "CKR_SESSION_READ_WRITE_SO_EXISTS", "A read/write SO session already exists, and so a read-only session cannot be opened.", "CKR_SESSION_READ_WRITE_SO_EXISTS"},
    {0xD0, "CKR_TEMPLATE_INCOMPLETE", "The module needs attributes that were not given to it.", "CKR_TEMPLATE_INCOMPLETE"},
    {0xD1, "CKR_TEMPLATE_INCONSISTENT", "The module does not accept this combination of attributes.", "CKR_TEMPLATE_INCONSISTENT"},
    {0xE0, "CKR_TOKEN_NOT_PRESENT", "A smart-card is not present in the reader.", "CKR_TOKEN_NOT_PRESENT"},
    {0xE1, "CKR_TOKEN_NOT_RECOGNIZED", "The smart-card in the slot is not recognised.", "CKR_TOKEN_NOT_RECOGNIZED"},
    {0xE2, "CKR_TOKEN_WRITE_PROTECTED", "The requested operation could not be performed because the smart-card is write-protected.", "CKR_TOKEN_WRITE_PROTECTED"},
    {0x100, "CKR_USER_ALREADY_LOGGED_IN", "The specified user is already logged in.", "CKR_USER_ALREADY_LOGGED_IN"},
    {0x101, "CKR_USER_NOT_LOGGED_IN", "The desired operation cannot be performed because an appropriate user is not logged in.", "CKR_USER_NOT_LOGGED_IN"},
    {0x102, "CKR_USER_PIN_NOT_INITIALIZED", "The normal user's PIN has not yet been initialized.", "CKR_USER_PIN_NOT_INITIALIZED"},
    {0x103, "CKR_USER_TYPE_INVALID", nullptr, "An invalid value was specified as a CK_USER_TYPE."},
    {0x104, "CKR_USER_ANOTHER_ALREADY_LOGGED_IN", "Another user is already logged in.", "CKR_USER_ANOTHER_ALREADY_LOGGED_IN"},
    {0x105, "CKR_USER_TOO_MANY_TYPES", "Too many users are simultaneously logged into the token.", "CKR_USER_TOO_MANY_TYPES"},
    {0x150, "CKR_BUFFER_TOO_SMALL", "The module's answer is longer than the space given for it.", "CKR_BUFFER_TOO_SMALL"},
    {0x190, "CKR_CRYPTOKI_NOT_INITIALIZED", nullptr, "The Cryptoki library has not yet been initialized"},
    {0x191, "CKR_CRYPTOKI_ALREADY_INITIALIZED", nullptr, "CKR_CRYPTOKI_ALREADY_INITIALIZED"},
    {0x201, "CKR_TOKEN_RESOURCE_EXCEEDED", "The token does not have the resources to perform the requested operation.", "CKR_TOKEN_RESOURCE_EXCEEDED"},
    {0x202, "CKR_OPERATION_CANCEL_FAILED", "The token could not cancel the operation.", "CKR_OPERATION_CANCEL_FAILED"},
    {0x203, "CKR_KEY_EXHAUSTED", "The key has reached the number of uses the token allows for it.", "CKR_KEY_EXHAUSTED"},
    {0x204, "CKR_PENDING", "The token has not finished the operation yet.", "CKR_PENDING"},
    {0x205, "CKR_SESSION_ASYNC_NOT_SUPPORTED", "The token does not support asynchronous operations.", "CKR_SESSION_ASYNC_NOT_SUPPORTED"},
    {0x206, "CKR_SEED_RANDOM_REQUIRED", "The token's random number generator must be seeded first.", "CKR_SEED_RANDOM_REQUIRED"},
    {0x207, "CKR_OPERATION_NOT_VALIDATED", "The token's security policy does not allow this operation.", "CKR_OPERATION_NOT_VALIDATED"},
    {0x208, "CKR_TOKEN_NOT_INITIALIZED", "The token is not initialized.", "CKR_TOKEN_NOT_INITIALIZED"},
    {0x209, "CKR_PARAMETER_SET_NOT_SUPPORTED", "The token does not support this parameter set.", "CKR_PARAMETER_SET_NOT_SUPPORTED"},
    {0x80001001, "TSY_CERT_DECODE_FAILED", "The selected file is not a valid digital certificate.", "TSY_CERT_DECODE_FAILED"},
    {0x80001002, "TSY_KEYSET_NOT_EXISTS", "The selected certificate doesn't have corresponding keys on this card.", "TSY_KEYSET_NOT_EXISTS"},
    {0x80001004, "TSY_CERT_ALREADY_EXISTS", "A certificate for this key-pair already exists on the card.", "TSY_CERT_ALREADY_EXISTS"},
    {0x80001008, "TSY_MODULE_NEEDS_ARGUMENTS", "This module needs initialisation arguments of its own, which no general program passes; it cannot be used here.", "TSY_MODULE_NEEDS_ARGUMENTS"},
    {0x8000100A, "TSY_KEY_TYPE_NOT_SUPPORTED", "The certificate's key is neither an RSA nor a DSA key: the program works only with RSA and DSA keys.", "TSY_KEY_TYPE_NOT_SUPPORTED"},
};

QString Text(const char* s)
{
    return s ? QString::fromLatin1(s) : QString();
}

// Every return value the PKCS#11 header defines, with its value as the compiler sees it.
struct TReturnValue {
    unsigned long long code;
    const char* name;
};
const TReturnValue g_headerCodes[] = {
#define PKCS11_RETURN_VALUE(name) {name, #name},
#include "ReturnValues.inc"
#undef PKCS11_RETURN_VALUE
};

// Return values that only newer headers define (p11-kit 0.25 has CKR_OPERATION_CANCEL_FAILED,
// 0.24 not; 0.26 has the rest): a module may answer them whatever header the program was built
// with.
const TReturnValue g_newerCodes[] = {
    {0x42, "CKR_AEAD_DECRYPT_FAILED"},
    {0x201, "CKR_TOKEN_RESOURCE_EXCEEDED"},
    {0x202, "CKR_OPERATION_CANCEL_FAILED"},
    {0x203, "CKR_KEY_EXHAUSTED"},
    {0x204, "CKR_PENDING"},
    {0x205, "CKR_SESSION_ASYNC_NOT_SUPPORTED"},
    {0x206, "CKR_SEED_RANDOM_REQUIRED"},
    {0x207, "CKR_OPERATION_NOT_VALIDATED"},
    {0x208, "CKR_TOKEN_NOT_INITIALIZED"},
    {0x209, "CKR_PARAMETER_SET_NOT_SUPPORTED"},
};

// The header's return values (CKR_OK aside) and the newer ones it lacks.
std::vector<TReturnValue> ReturnValues()
{
    std::vector<TReturnValue> values;
    std::set<unsigned long long> seen;
    for (const TReturnValue& v : g_headerCodes)
        if (v.code != CKR_OK && seen.insert(v.code).second)
            values.push_back(v);
    for (const TReturnValue& v : g_newerCodes)
        if (seen.insert(v.code).second)
            values.push_back(v);
    return values;
}

bool IsOwnCode(unsigned long long code)
{
    return code >= 0x80001000ULL && code <= 0x80001FFFULL;
}

} // namespace

class TestErrors : public QObject
{
    Q_OBJECT

private slots:
    void codeTable_data();
    void codeTable();
    void tableHoldsNothingElse();
    void everyReturnValueIsNamed_data();
    void everyReturnValueIsNamed();
    void composedReport_data();
    void composedReport();

    void emailRule_data();
    void emailRule();
    void sendRefusesBadAddressAndStaysOpen();
    void sendAcceptsAddressAndReturnsFields();
    void cancelOnEitherPage();
    void detailsGrowOnce();
    void bulgarianTexts();
};

void TestErrors::codeTable_data()
{
    QTest::addColumn<qulonglong>("code");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("log");
    for (const TExpected& row : g_expected)
        QTest::newRow(row.name) << qulonglong(row.code) << Text(row.name) << Text(row.box) << Text(row.log);
    // Codes without a row add nothing anywhere.
    QTest::newRow("no error") << qulonglong(0) << QString() << QString() << QString();
    QTest::newRow("unassigned code") << qulonglong(0x4) << QString() << QString() << QString();
    QTest::newRow("unassigned own code") << qulonglong(0x80001003) << QString() << QString() << QString();
    // Compared as 64-bit values: a code that only agrees in its low 32 bits is another code.
    QTest::newRow("high bits") << qulonglong(0x1000000A0ULL) << QString() << QString() << QString();
}

void TestErrors::codeTable()
{
    QFETCH(qulonglong, code);
    QFETCH(QString, name);
    QFETCH(QString, box);
    QFETCH(QString, log);

    QCOMPARE(Text(GetPkcs11ErrorName(code)), name);
    QCOMPARE(GetPkcs11ErrorExplanation(code), box);
    QCOMPARE(GetPkcs11ErrorLogText(code), log);

    // The report of an operation that failed with this code, sink message "M", module "mod.so".
    const QString module = QStringLiteral("mod.so");
    const TErrorReport report = ComposeErrorReport(QStringLiteral("Op failed."), false, "M", code, &module);
    QCOMPARE(report.boxText, box.isEmpty() ? QStringLiteral("Op failed.") : QStringLiteral("Op failed.\n") + box);
    QCOMPARE(report.logText, QStringLiteral("Op failed.\nM ") + log + QStringLiteral("\nPKCS#11 Module: mod.so"));
}

// The table holds the header's return values (CKR_OK aside), the newer ones, and the layer's
// own codes of the list above, in ascending order, and nothing else.
void TestErrors::tableHoldsNothingElse()
{
    std::set<unsigned long long> wanted;
    for (const TReturnValue& v : ReturnValues())
        wanted.insert(v.code);
    for (const TExpected& row : g_expected)
        if (IsOwnCode(row.code))
            wanted.insert(row.code);
    std::size_t count = 0;
    const TPkcs11ErrorInfo* table = GetPkcs11ErrorTable(&count);
    std::set<unsigned long long> present;
    for (std::size_t i = 0; i < count; ++i) {
        present.insert(table[i].code);
        QVERIFY2(wanted.count(table[i].code), table[i].name);
        if (i > 0)
            QVERIFY2(table[i - 1].code < table[i].code, "the table must be in ascending code order");
    }
    QCOMPARE(present, wanted);
}

void TestErrors::everyReturnValueIsNamed_data()
{
    QTest::addColumn<qulonglong>("code");
    QTest::addColumn<QString>("name");
    for (const TReturnValue& v : ReturnValues())
        QTest::newRow(v.name) << qulonglong(v.code) << QString::fromLatin1(v.name);
}

// Every answer a module can give is told by its name, in the log and in the window, in both
// languages; an explanation, where there is one, is translated.
void TestErrors::everyReturnValueIsNamed()
{
    QFETCH(qulonglong, code);
    QFETCH(QString, name);
    QCOMPARE(Text(GetPkcs11ErrorName(code)), name);
    // Without a line in the box, the log says what the code is.
    QVERIFY2(!GetPkcs11ErrorLogText(code).isEmpty() || !GetPkcs11ErrorExplanation(code).isEmpty(), qPrintable(name));
    QCOMPARE(DescribeModuleAnswer(code), QStringLiteral("The module answered ") + name + QLatin1Char('.'));

    const QString english = GetPkcs11ErrorExplanation(code);
    QTranslator bulgarian;
    QVERIFY(bulgarian.load(QStringLiteral(BULGARIAN_QM)));
    QVERIFY(QCoreApplication::installTranslator(&bulgarian));
    const QString answer = DescribeModuleAnswer(code);
    const QString explanation = GetPkcs11ErrorExplanation(code);
    QCoreApplication::removeTranslator(&bulgarian);
    QVERIFY2(answer.contains(name) && !answer.startsWith(QStringLiteral("The module")), qPrintable(answer));
    QCOMPARE(explanation.isEmpty(), english.isEmpty());
    QVERIFY2(english.isEmpty() || explanation != english, qPrintable(explanation));
}

void TestErrors::composedReport_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("critical");
    QTest::addColumn<QByteArray>("sinkMessage");
    QTest::addColumn<qulonglong>("code");
    QTest::addColumn<bool>("hasProvider");
    QTest::addColumn<QString>("module");
    QTest::addColumn<unsigned>("severity");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("log");

    QTest::newRow("failed login") << "Unable to login." << false << QByteArray("C_Login failed") << qulonglong(0xA0)
        << true << "/usr/lib/softhsm/libsofthsm2.so" << 16u
        << "Unable to login.\nThe specified PIN is incorrect."
        << "Unable to login.\nC_Login failed CKR_PIN_INCORRECT\nPKCS#11 Module: /usr/lib/softhsm/libsofthsm2.so";
    QTest::newRow("critical") << "Unable to read." << true << QByteArray("C_GetAttributeValue failed")
        << qulonglong(0xB3) << true << "m.so" << 32u << "Unable to read."
        << "Unable to read.\nC_GetAttributeValue failed The specified session handle was invalid at the time that the function was invoked.\nPKCS#11 Module: m.so";
    QTest::newRow("card removed") << "Unable to sign." << false << QByteArray("C_Sign failed") << qulonglong(0x32)
        << true << "m.so" << 16u << "Unable to sign.\nThe active smart-card was removed from its reader."
        << "Unable to sign.\nC_Sign failed \nPKCS#11 Module: m.so";
    QTest::newRow("no current provider") << "Unable to open." << false << QByteArray("C_OpenSession failed")
        << qulonglong(0xE0) << false << "" << 16u << "Unable to open.\nA smart-card is not present in the reader."
        << "Unable to open.\nC_OpenSession failed CKR_TOKEN_NOT_PRESENT";
    QTest::newRow("no sink message: no blank") << "Unable to import." << false << QByteArray() << qulonglong(0x80001001)
        << false << "" << 16u << "Unable to import.\nThe selected file is not a valid digital certificate."
        << "Unable to import.\nTSY_CERT_DECODE_FAILED";
    QTest::newRow("empty sink") << "Something failed." << false << QByteArray() << qulonglong(0) << true << "m.so"
        << 16u << "Something failed." << "Something failed.\n\nPKCS#11 Module: m.so";
    QTest::newRow("provider without module name") << "X" << false << QByteArray("M") << qulonglong(0x4) << true << ""
        << 16u << "X" << "X\nM \nPKCS#11 Module: ";
    QTest::newRow("Latin-1 sink message") << "X" << false << QByteArray("caf\xe9") << qulonglong(0) << false << ""
        << 16u << "X" << QString::fromUtf8("X\ncaf\xc3\xa9 ");
}

void TestErrors::composedReport()
{
    QFETCH(QString, text);
    QFETCH(bool, critical);
    QFETCH(QByteArray, sinkMessage);
    QFETCH(qulonglong, code);
    QFETCH(bool, hasProvider);
    QFETCH(QString, module);
    QFETCH(unsigned, severity);
    QFETCH(QString, box);
    QFETCH(QString, log);

    const TErrorReport report = ComposeErrorReport(text, critical, sinkMessage.isNull() ? nullptr : sinkMessage.constData(),
                                                   code, hasProvider ? &module : nullptr);
    QCOMPARE(unsigned(report.severity), severity);
    QCOMPARE(report.boxText, box);
    QCOMPARE(report.logText, log);
}

namespace {

QLineEdit* Email(ErrorReportWizard& w)
{
    return w.findChild<QLineEdit*>("edtEmail");
}

// Types text as a user would, so the validator can refuse characters.
QString TypeEmail(ErrorReportWizard& w, const QString& text)
{
    QLineEdit* edit = Email(w);
    edit->clear();
    QTest::keyClicks(edit, text);
    return edit->text();
}

} // namespace

void TestErrors::emailRule_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");  // what the field holds: the validator drops refused keys
    QTest::addColumn<bool>("acceptable");

    QTest::newRow("plain") << "user@example.com" << "user@example.com" << true;
    QTest::newRow("upper case") << "USER@EXAMPLE.COM" << "USER@EXAMPLE.COM" << true;
    QTest::newRow("mixed case") << "Ivan.Petrov@Veskora.Bg" << "Ivan.Petrov@Veskora.Bg" << true;
    QTest::newRow("symbols in local part") << "a.b_c%d+e-f@x.org" << "a.b_c%d+e-f@x.org" << true;
    QTest::newRow("subdomains") << "x@mail.dept.example.info" << "x@mail.dept.example.info" << true;
    QTest::newRow("two-letter top level") << "x@y.bg" << "x@y.bg" << true;
    QTest::newRow("empty") << "" << "" << false;
    QTest::newRow("no at") << "user.example.com" << "user.example.com" << false;
    QTest::newRow("no top level") << "user@example" << "user@example" << false;
    QTest::newRow("one-letter top level") << "user@example.c" << "user@example.c" << false;
    // Top-level names of any length a name may have, and internationalised ones.
    QTest::newRow("five-letter top level") << "user@example.email" << "user@example.email" << true;
    QTest::newRow("six-letter top level") << "ivan@veskora.online" << "ivan@veskora.online" << true;
    QTest::newRow("long top level") << "a@b.international" << "a@b.international" << true;
    QTest::newRow("internationalised top level") << "a@b.xn--p1ai" << "a@b.xn--p1ai" << true;
    QTest::newRow("63-letter top level") << "a@b." + QString(63, 'q') << "a@b." + QString(63, 'q') << true;
    QTest::newRow("64-letter top level") << "a@b." + QString(64, 'q') << "a@b." + QString(64, 'q') << false;
    QTest::newRow("hyphen in top level") << "a@b.co-m" << "a@b.co-m" << false;
    QTest::newRow("second at") << "a@b@c.com" << "a@bc.com" << true;
    QTest::newRow("empty local part") << "@example.com" << "example.com" << false;
    QTest::newRow("digit in top level") << "user@example.c0m" << "user@example.c0m" << false;
    QTest::newRow("blank inside") << "us er@example.com" << "user@example.com" << true;
}

void TestErrors::emailRule()
{
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    QFETCH(bool, acceptable);

    ErrorReportWizard wizard(L"details", nullptr);
    QCOMPARE(TypeEmail(wizard, typed), shown);
    QCOMPARE(wizard.IsEmailAcceptable(), acceptable);

    // Text set without typing (pasted through the program) is judged by the same rule.
    Email(wizard)->setText(typed);
    QCOMPARE(wizard.IsEmailAcceptable(), acceptable && typed == shown);
}

void TestErrors::sendRefusesBadAddressAndStaysOpen()
{
    const QStringList refused = {QString(), QStringLiteral("user@example"), QStringLiteral("user@example.c")};
    for (const QString& address : refused) {
        ErrorReportWizard wizard(L"report", nullptr);
        wizard.show();
        QVERIFY(QTest::qWaitForWindowExposed(&wizard));
        wizard.next();
        QCOMPARE(wizard.button(QWizard::FinishButton)->text(), QStringLiteral("Send"));
        TypeEmail(wizard, address);
        QLabel* label = wizard.findChild<QLabel*>("lblInvalidEmail");
        QVERIFY(label->isHidden());

        wizard.button(QWizard::FinishButton)->click();
        QVERIFY2(wizard.isVisible(), qPrintable("the wizard closed for " + address));
        QVERIFY(!label->isHidden());
        QVERIFY(label->text().contains("Invalid e-mail address."));
        QVERIFY(Email(wizard)->hasFocus() || QApplication::focusWidget() == Email(wizard));
        wizard.reject();
    }
}

void TestErrors::sendAcceptsAddressAndReturnsFields()
{
    ErrorReportWizard wizard(L"Stack:\n\x0444\x0430\x0439\x043b", nullptr);
    QCOMPARE(wizard.findChild<QPlainTextEdit*>("edtDetails")->toPlainText(),
             QString::fromWCharArray(L"Stack:\n\x0444\x0430\x0439\x043b"));

    fixture::ModalDriver driver;
    driver.Expect([](QWidget* w) {
        auto* wiz = qobject_cast<ErrorReportWizard*>(w);
        wiz->next();
        QTest::keyClicks(wiz->findChild<QLineEdit*>("edtEmail"), "ivan@example.bg");
        wiz->findChild<QPlainTextEdit*>("edtComment")->setPlainText(QString::fromWCharArray(L"\x0438\x0437 comment"));
        wiz->button(QWizard::FinishButton)->click();
    }, "ErrorReportWizard");
    QCOMPARE(wizard.exec(), int(QDialog::Accepted));
    QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
    QCOMPARE(wizard.GetEmail(), std::wstring(L"ivan@example.bg"));
    QCOMPARE(wizard.GetComment(), std::wstring(L"\x0438\x0437 comment"));

    // An empty comment comes back empty.
    ErrorReportWizard second(L"", nullptr);
    driver.Expect([](QWidget* w) {
        auto* wiz = qobject_cast<ErrorReportWizard*>(w);
        wiz->next();
        QTest::keyClicks(wiz->findChild<QLineEdit*>("edtEmail"), "x@y.com");
        wiz->button(QWizard::FinishButton)->click();
    }, "ErrorReportWizard");
    QCOMPARE(second.exec(), int(QDialog::Accepted));
    QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
    QVERIFY(second.GetComment().empty());
}

void TestErrors::cancelOnEitherPage()
{
    for (int page = 0; page < 2; ++page) {
        ErrorReportWizard wizard(L"report", nullptr);
        fixture::ModalDriver driver;
        driver.Expect([page](QWidget* w) {
            auto* wiz = qobject_cast<ErrorReportWizard*>(w);
            if (page == 1) {
                wiz->next();
                QTest::keyClicks(wiz->findChild<QLineEdit*>("edtEmail"), "x@y.com");
            }
            QVERIFY(wiz->button(QWizard::BackButton)->isHidden() || !wiz->button(QWizard::BackButton)->isEnabled());
            wiz->button(QWizard::CancelButton)->click();
        }, "ErrorReportWizard");
        QCOMPARE(wizard.exec(), int(QDialog::Rejected));
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
    }
}

void TestErrors::detailsGrowOnce()
{
    ErrorReportWizard wizard(L"report", nullptr);
    wizard.show();
    QVERIFY(QTest::qWaitForWindowExposed(&wizard));
    wizard.next();
    QPlainTextEdit* details = wizard.findChild<QPlainTextEdit*>("edtDetails");
    QVERIFY(details->isHidden());
    QVERIFY(details->isReadOnly());
    const QSize before = wizard.size();
    QPushButton* button = wizard.findChild<QPushButton*>("btnShowDetails");
    button->click();
    QVERIFY(!details->isHidden());
    QCOMPARE(wizard.size(), QSize(before.width(), before.height() + 100));
    button->click();
    QCOMPARE(wizard.size(), QSize(before.width(), before.height() + 100));
}

void TestErrors::bulgarianTexts()
{
    ErrorReportWizard wizard(L"report", nullptr);
    QTranslator bulgarian;
    QVERIFY(bulgarian.load(QStringLiteral(BULGARIAN_QM)));
    QVERIFY(QCoreApplication::installTranslator(&bulgarian));

    // Every box line of the table has its translation.
    std::size_t count = 0;
    const TPkcs11ErrorInfo* table = GetPkcs11ErrorTable(&count);
    for (std::size_t i = 0; i < count; ++i) {
        if (!table[i].boxText)
            continue;
        const QString text = GetPkcs11ErrorExplanation(table[i].code);
        QVERIFY2(!text.isEmpty() && text != QString::fromLatin1(table[i].boxText), table[i].name);
    }
    QCOMPARE(GetPkcs11ErrorExplanation(0xA0), QString::fromUtf8("\xd0\x92\xd1\x8a\xd0\xb2\xd0\xb5\xd0\xb4\xd0\xb5\xd0\xbd"
                                                                "\xd0\xb8\xd1\x8f\xd1\x82 PIN \xd0\xb5 \xd0\xb3\xd1\x80\xd0\xb5"
                                                                "\xd1\x88\xd0\xb5\xd0\xbd."));
    // The log stays English.
    QCOMPARE(GetPkcs11ErrorLogText(0xB3),
             QStringLiteral("The specified session handle was invalid at the time that the function was invoked."));

    // The open wizard follows the language change.
    QCoreApplication::processEvents();
    QVERIFY(wizard.windowTitle() != QStringLiteral("Send Error Report"));
    QVERIFY(wizard.findChild<QLabel*>("label")->text() != QStringLiteral("The program has encountered an error."));
    QCoreApplication::removeTranslator(&bulgarian);
    QCoreApplication::processEvents();
    QCOMPARE(wizard.windowTitle(), QStringLiteral("Send Error Report"));
}

QTEST_MAIN(TestErrors)
#include "test_errors.moc"
