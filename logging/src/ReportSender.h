// One error report on its way to the service: a SOAP 1.2 call through the gSOAP engine
// over verified TLS, on a thread of its own that is joined before the sender goes, so
// that nothing of the exchange (OpenSSL's per-thread state included) outlives it. The
// connection is the sender's own: each of its waits ends at the limit or when the call is
// given up, so that the join never waits on the peer. Only a name look-up still under way
// is left behind, on a thread that touches nothing of the sender.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace Logging {

// What one report takes on the wire; filled on the GUI thread.
struct TReportCall {
    std::string address; // the https address as configured, for the texts too
    std::string caFile;  // the only certificates that may vouch for the service
    std::string proxyHost;
    int proxyPort = 0; // 0: no proxy
    std::string proxyUser, proxyPassword;
    int timeoutMs = 0; // the whole exchange, from the name look-up to the close
    int product = 0;
    unsigned long severity = 0;
    std::wstring email, comment, details;
};

class CReportSender {
public:
    // What is read of the service's answer, head included.
    static const int kMaxAnswer = 1 << 20;

    // Starts the call at once. done runs on the sender's thread, once, with an empty
    // text when the service took the report, else why it did not (a sentence); it does
    // not run for a call given up by the destructor.
    CReportSender(TReportCall call, std::function<void(const std::string&)> done);
    // Gives up what is still on the wire, at once whatever the exchange waits for, and joins.
    ~CReportSender();

    CReportSender(const CReportSender&) = delete;
    CReportSender& operator=(const CReportSender&) = delete;

    // The engine's TLS support, once per process; on the GUI thread before the first call.
    static void InitEngine();

private:
    void Run(const std::function<void(const std::string&)>& done);

    TReportCall m_call;
    int m_cancelFd = -1; // readable once the call is given up
    std::atomic<bool> m_cancelled{false};
    std::thread m_thread;
};

} // namespace Logging
