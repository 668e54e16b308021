#include "ReportSender.h"

#include "reportlogReportLogProxy.h"

#include <openssl/ssl.h>

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <mutex>

namespace Logging {

namespace {

using Clock = std::chrono::steady_clock;

// The engine's own hooks that this call's stand in front of, its limits, and what they
// found on the wire.
struct TWire {
    Clock::time_point deadline;
    int cancelFd = -1;
    const std::atomic<bool>* cancelled = nullptr;
    size_t received = 0; // bytes of the answer, head included
    bool timedOut = false, tooLong = false;
    std::string framing; // why the answer's head was refused
    int (*send)(struct soap*, const char*, size_t) = nullptr;
    size_t (*recv)(struct soap*, char*, size_t) = nullptr;
    int (*postHeader)(struct soap*, const char*, const char*) = nullptr;
    int (*parseHeader)(struct soap*, const char*, const char*) = nullptr;
};

TWire& Wire(struct soap* soap)
{
    return *static_cast<TWire*>(soap->user);
}

// What is left of the limit as the engine takes a time-out (negative: microseconds);
// 0 once it has run out.
int Left(const TWire& wire)
{
    const long long us = std::chrono::duration_cast<std::chrono::microseconds>(wire.deadline - Clock::now()).count();
    return us <= 0 ? 0 : -int(std::min<long long>(us, INT_MAX));
}

// Ends the connection under the engine: its closing handshake then waits for nothing.
void Cut(struct soap* soap)
{
    if (soap_valid_socket(soap->socket))
        shutdown(soap->socket, SHUT_RDWR);
}

// False (the connection cut) once the call is given up or its time has run out.
bool GoOn(struct soap* soap)
{
    TWire& wire = Wire(soap);
    if (wire.cancelled->load())
        Cut(soap);
    else if (!Left(wire)) {
        wire.timedOut = true;
        Cut(soap);
    } else
        return true;
    return false;
}

// Waits for the answer's bytes, the end of the limit or the call being given up,
// whichever comes first; never reads past the bound plus one byte.
size_t Receive(struct soap* soap, char* data, size_t size)
{
    TWire& wire = Wire(soap);
    for (;;) {
        if (!GoOn(soap))
            return 0;
        if (soap->ssl && SSL_pending(soap->ssl) > 0)
            break;
        pollfd fds[2] = {{soap->socket, POLLIN, 0}, {wire.cancelFd, POLLIN, 0}};
        const int n = poll(fds, 2, std::max(1, -Left(wire) / 1000));
        if ((n < 0 && errno != EINTR) || (n > 0 && fds[0].revents))
            break; // bytes, an end or an error: the engine's read tells which
    }
    soap->recv_timeout = Left(wire);
    if (!soap->recv_timeout) {
        GoOn(soap); // the limit ran out meanwhile
        return 0;
    }
    const size_t room = size_t(CReportSender::kMaxAnswer) + 1 - wire.received;
    const size_t got = wire.recv(soap, data, std::min(size, room));
    wire.received += got;
    if (wire.received > size_t(CReportSender::kMaxAnswer)) {
        wire.tooLong = true;
        Cut(soap);
        return 0;
    }
    return got;
}

int Send(struct soap* soap, const char* data, size_t size)
{
    if (!GoOn(soap))
        return SOAP_EOF;
    soap->send_timeout = Left(Wire(soap));
    return Wire(soap).send(soap, data, size);
}

// The answer is read as it comes over the wire, within its bound: a compressed one
// would inflate past it, so none is asked for.
int PostHeader(struct soap* soap, const char* key, const char* value)
{
    if (key && strcasecmp(key, "Accept-Encoding") == 0)
        return SOAP_OK;
    return Wire(soap).postHeader(soap, key, value);
}

std::string Trimmed(const char* text)
{
    std::string s = text ? text : "";
    const size_t first = s.find_first_not_of(" \t");
    const size_t last = s.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : s.substr(first, last - first + 1);
}

// The request is HTTP/1.0: the answer then comes whole, its end told by its length or
// the connection's close. One framed otherwise, or with a length that is no number, is
// refused rather than read some way.
int ParseHeader(struct soap* soap, const char* key, const char* value)
{
    TWire& wire = Wire(soap);
    const std::string text = Trimmed(value);
    if (key && strcasecmp(key, "Transfer-Encoding") == 0)
        wire.framing = "it framed its answer as \"" + text + "\" (Transfer-Encoding), which an HTTP/1.0 request does not allow";
    else if (key && strcasecmp(key, "Content-Encoding") == 0 && strcasecmp(text.c_str(), "identity") != 0)
        wire.framing = "it sent its answer encoded as \"" + text + "\", which was not asked for";
    else if (key && strcasecmp(key, "Content-Length") == 0 &&
             (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos))
        wire.framing = "its Content-Length \"" + text + "\" is not a number";
    if (!wire.framing.empty())
        return SOAP_HTTP_ERROR;
    return wire.parseHeader(soap, key, value);
}

std::string EngineText(reportlog::ReportLogProxy& proxy)
{
    const char* reason = proxy.soap_fault_string();
    const char* detail = proxy.soap_fault_detail();
    std::string text = reason && *reason ? reason : "the exchange failed";
    if (detail && *detail)
        text += std::string(" (") + detail + ")";
    return text;
}

// The outcome of one call: empty when the service took the report.
std::string Exchange(const TReportCall& call, TWire& wire)
{
    const std::string& address = call.address;
    reportlog::ReportLogProxy proxy;
    proxy.user = &wire;
    proxy.http_version = "1.0";
    wire.send = proxy.fsend;
    proxy.fsend = Send;
    wire.recv = proxy.frecv;
    proxy.frecv = Receive;
    wire.postHeader = proxy.fposthdr;
    proxy.fposthdr = PostHeader;
    wire.parseHeader = proxy.fparsehdr;
    proxy.fparsehdr = ParseHeader;
    // Only the configured certificates vouch for the service, and its name must be the address's host.
    if (soap_ssl_client_context(&proxy, SOAP_SSL_REQUIRE_SERVER_AUTHENTICATION | SOAP_SSL_NO_DEFAULT_CA_PATH, nullptr,
                                nullptr, call.caFile.c_str(), nullptr, nullptr) != SOAP_OK)
        return "the trusted certificates of \"" + call.caFile + "\" cannot be used: " + EngineText(proxy) + ".";
    if (call.proxyPort) {
        proxy.proxy_host = call.proxyHost.c_str();
        proxy.proxy_port = call.proxyPort;
        if (!call.proxyUser.empty()) {
            proxy.proxy_userid = call.proxyUser.c_str();
            proxy.proxy_passwd = call.proxyPassword.c_str();
        }
    }
    // Connecting (with the TLS handshake) is the first part of the one limit. With send
    // and receive limits set the engine keeps the socket non-blocking, so that no read
    // of TLS records waits past what is left.
    proxy.connect_timeout = proxy.send_timeout = proxy.recv_timeout = Left(wire);

    reportlog::_rl__ReportLog report;
    report.product = call.product;
    report.severity = call.severity;
    report.email = call.email;
    report.comment = call.comment;
    report.details = call.details;
    reportlog::_rl__ReportLogResponse answer;
    const int error = proxy.ReportLog(address.c_str(), nullptr, &report, answer);
    const int status = proxy.status;

    if (!wire.framing.empty())
        return address + " sent a malformed answer: " + wire.framing + ".";
    if (wire.tooLong)
        return "the answer from " + address + " is longer than " + std::to_string(CReportSender::kMaxAnswer) +
               " bytes.";
    // A connection or handshake the engine gave up at the limit counts as the limit too.
    if (error != SOAP_OK && (wire.timedOut || Clock::now() + std::chrono::milliseconds(100) >= wire.deadline))
        return "no answer from " + address + " within " + std::to_string(call.timeoutMs) + " ms.";
    // Taken: an answer (its body may be empty), or an acceptance without one.
    if (error == SOAP_OK || (error == 202 && status == 202))
        return std::string();
    // A redirect is not followed: it could lead the report off the trusted service.
    if (status >= 200 && status < 600) {
        std::string why = address + " answered HTTP " + std::to_string(status);
        if (error == status)
            return why + (status < 300 ? " without a SOAP answer." : ".");
        const char* fault = proxy.soap_fault_string();
        return why + "." + (fault && *fault ? std::string(" Fault: ") + fault : std::string());
    }
    if (wire.received > 0 && (error == SOAP_HTTP_ERROR || error == SOAP_EOF || status == 0) &&
        error != SOAP_SSL_ERROR && error != SOAP_TCP_ERROR)
        return address + " did not answer in HTTP.";
    return EngineText(proxy);
}

} // namespace

void CReportSender::InitEngine()
{
    static std::once_flag once;
    std::call_once(once, [] { soap_ssl_init(); });
}

CReportSender::CReportSender(TReportCall call, std::function<void(const std::string&)> done)
    : m_call(std::move(call)), m_cancelFd(eventfd(0, EFD_CLOEXEC))
{
    m_thread = std::thread([this, done] { Run(done); });
}

CReportSender::~CReportSender()
{
    m_cancelled = true;
    if (m_cancelFd >= 0) {
        const uint64_t one = 1;
        if (write(m_cancelFd, &one, sizeof one) < 0) {
            // The flag alone ends the call at its next wait.
        }
    }
    m_thread.join();
    if (m_cancelFd >= 0)
        close(m_cancelFd);
}

void CReportSender::Run(const std::function<void(const std::string&)>& done)
{
    // A peer that closes while TLS writes would raise SIGPIPE and end the program; this
    // thread never takes it, and what it leaves pending goes with the thread.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    TWire wire;
    wire.deadline = Clock::now() + std::chrono::milliseconds(m_call.timeoutMs);
    wire.cancelFd = m_cancelFd;
    wire.cancelled = &m_cancelled;
    const std::string why = Exchange(m_call, wire);
    if (!m_cancelled)
        done(why);
}

} // namespace Logging
