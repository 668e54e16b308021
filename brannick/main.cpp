// brannick: initialises (erases) one token from the command line.
//
//   brannick <module> <slot-id> <so-pin> <label>
//
// An SO PIN of "-" is read as one line from standard input, so that it stays off the command
// line, where every local user can read it. Exit status: 0 the token was initialised; 1 the
// token did not answer within the time limit (it may still get initialised); 255 failure, with
// one line on standard error (and the usage line after a call without arguments or --help).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <unistd.h>

#include <QLoggingCategory>
#include <QString>

#include "BrannickThread.h"
#include "PKCS11Context.h"
#include "Pkcs11Errors.h"
#include "PKCS11Slot.h"
#include "ProcessProtection.h"
#include "Secret.h"
#include "TSYException.h"

namespace {

const int kFailure = 255;
const unsigned long kTimeLimitMs = 20000;
const size_t kLabelFieldSize = 32;
// Longer than any token takes; a longer line on standard input is refused, not cut.
const size_t kMaxPINLength = 255;

void Line(FILE* stream, const std::string& text)
{
    fputs(text.c_str(), stream);
    fputc('\n', stream);
    fflush(stream);
}

int Fail(const std::string& text)
{
    Line(stderr, text);
    return kFailure;
}

// What the module's answer means, in the words the window uses for it: the table's line for
// the user, else its English line, else the code's name, else the number.
std::string Explanation(CK_RV rv)
{
    QString text = GetPkcs11ErrorExplanation(rv);
    if (text.isEmpty())
        text = GetPkcs11ErrorLogText(rv);
    if (text.isEmpty()) {
        char sz[40];
        snprintf(sz, sizeof(sz), "The module answered 0x%lX.", static_cast<unsigned long>(rv));
        return sz;
    }
    if (const char* pszName = GetPkcs11ErrorName(rv)) {
        if (text == QLatin1String(pszName))
            return "The module answered " + std::string(pszName) + ".";
        text += QStringLiteral(" (%1)").arg(QLatin1String(pszName));
    }
    if (!text.endsWith(QLatin1Char('.')) && !text.endsWith(QLatin1Char(')')))
        text += QLatin1Char('.');
    return text.toStdString();
}

unsigned long TimeLimitMs()
{
#ifdef BRANNICK_TEST_BUILD
    // Only the test build lets the tests shorten the wait; the shipped tool has no such knob.
    if (const char* psz = getenv("BRANNICK_TEST_TIME_LIMIT_MS"))
        return strtoul(psz, nullptr, 10);
#endif
    return kTimeLimitMs;
}

// Decimal digits, or "0x" and hexadecimal digits as the window shows slot IDs, within the
// width of a slot ID: anything else is refused rather than read as slot 0, which would erase
// the token in that slot.
bool ParseSlotID(const char* psz, CK_SLOT_ID& nSlotID)
{
    unsigned base = 10;
    if (psz[0] == '0' && (psz[1] == 'x' || psz[1] == 'X')) {
        base = 16;
        psz += 2;
    }
    if (!*psz)
        return false;
    unsigned long long n = 0;
    for (const char* p = psz; *p; ++p) {
        unsigned digit = 0;
        if (*p >= '0' && *p <= '9')
            digit = static_cast<unsigned>(*p - '0');
        else if (base == 16 && *p >= 'a' && *p <= 'f')
            digit = static_cast<unsigned>(*p - 'a' + 10);
        else if (base == 16 && *p >= 'A' && *p <= 'F')
            digit = static_cast<unsigned>(*p - 'A' + 10);
        else
            return false;
        if (n > (~0ULL - digit) / base)
            return false;
        n = n * base + digit;
    }
    if (n > static_cast<CK_SLOT_ID>(~0UL))
        return false;
    nSlotID = static_cast<CK_SLOT_ID>(n);
    return true;
}

enum TReadResult { ReadOK, ReadTooLong, ReadFailed };

// One line, without its line end; end of input also ends it.
TReadResult ReadPINLine(tsy::CSecretString& pin)
{
    char c = 0;
    TReadResult result = ReadOK;
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            result = ReadFailed;
        if (n <= 0 || c == '\n')
            break;
        if (pin.size() >= kMaxPINLength) {
            result = ReadTooLong;
            break;
        }
        pin.Append(&c, 1);
    }
    c = 0;
    if (!pin.empty() && pin.back() == '\r')
        pin.PopBack();
    if (result != ReadOK)
        pin.Clear();
    return result;
}

} // namespace

int main(int argc, char* argv[])
{
    // The SO PIN is in memory from here on: no core file, no debugger of another process.
    tsy::KeepMemoryPrivate();
    // Debug lines of the layer are for developers (QT_LOGGING_RULES still turns them on): a
    // refusal is the one line below.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    if (argc != 5) {
        const int nStatus = Fail("Invalid number of arguments");
        if (argc == 1 || (argc == 2 && strcmp(argv[1], "--help") == 0))
            Line(stderr, "Usage: brannick <module> <slot-id> <so-pin> <label>  (an SO PIN of \"-\" is read from "
                         "standard input)");
        return nStatus;
    }

    const char* pszModule = argv[1];
    CK_SLOT_ID nSlotID = 0;
    if (!ParseSlotID(argv[2], nSlotID))
        return Fail(std::string("Invalid slot ID \"") + argv[2] +
                    "\": decimal digits, or 0x and hexadecimal digits, expected");

    tsy::CSecretString soPIN;
    if (strcmp(argv[3], "-") == 0) {
        switch (ReadPINLine(soPIN)) {
        case ReadOK:
            break;
        case ReadTooLong:
            return Fail("The SO PIN on standard input is longer than 255 bytes");
        case ReadFailed:
            return Fail("Unable to read the SO PIN from standard input");
        }
    } else {
        soPIN.Assign(argv[3]);
        // Shortens the time the PIN can be read in /proc; callers should pass "-" instead.
        tsy::Wipe(argv[3], strlen(argv[3]));
    }
    if (soPIN.empty())
        return Fail("The SO PIN is empty");

    const std::string sLabel = argv[4];
    if (sLabel.empty())
        return Fail("The label is empty");
    if (sLabel.size() > kLabelFieldSize)
        return Fail("The label is longer than 32 bytes");

    try {
        // Without an error sink every failure of the layer is thrown. Once the worker has finished,
        // the context finalises and unloads the module as it goes; after a time-out it is never
        // released, as the worker may still be inside the module.
        std::unique_ptr<CPKCS11Context> pContext(new CPKCS11Context(pszModule, "test", nullptr));
        CPKCS11Slot* pSlot = pContext->FindSlot(nSlotID);
        CPKCS11Token* pToken = pSlot ? pSlot->GetToken() : nullptr;
        if (!pToken)
            return Fail("No slot with ID " + std::to_string(nSlotID));

        std::unique_ptr<CBrannickThread> pWorker(new CBrannickThread(pToken, soPIN.c_str(), sLabel.c_str()));
        soPIN.Clear();
        pWorker->start(QThread::InheritPriority);
        if (!pWorker->wait(TimeLimitMs())) {
            // The worker may still be inside the module: the process ends without destroying
            // it (a running QThread destroyed aborts) and without finalising the module under it.
            Line(stdout, "Card initialized with timeout");
            fflush(stderr);
            _exit(1);
        }
        if (!pWorker->GetResult()) {
            const CK_RV rv = pWorker->GetErrorCode();
            return Fail(rv == CKR_OK ? "Failed to initialize card." : "Failed to initialize card. " + Explanation(rv));
        }
        Line(stdout, "Card initialized");
        return 0;
    } catch (const CTSYException& e) {
        // The layer's words, and what the module's answer (or what the layer made of it) means,
        // as the window says it.
        const char* pszMessage = e.GetMessage();
        if (!pszMessage || !*pszMessage)
            return kFailure;
        std::string text = pszMessage;
        std::string explanation;
        if (e.GetFlag() == TSY_KIND_PKCS11 && e.GetCode() != CKR_OK)
            explanation = Explanation(e.GetCode());
        else if (e.GetFlag() == TSY_KIND_PLAIN)
            explanation = GetPkcs11ErrorExplanation(e.GetCode()).toStdString();
        if (!explanation.empty())
            text += (text.back() == '.' ? " " : ". ") + explanation;
        Line(stderr, text);
        return kFailure;
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
}
