#include "ReportSender.h"

#include "reportlogReportLogProxy.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/http.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
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
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>

namespace Logging {

namespace {

using Clock = std::chrono::steady_clock;

// What a proxy may say before its tunnel opens.
const size_t kMaxProxyHead = 16384;

// One name look-up on a thread of its own. The call waits for it only within its limit and
// leaves it behind when given up; the thread holds what it writes to for as long as it runs.
struct TLookup {
    std::mutex mutex;
    int readyFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int error = EAI_SYSTEM;
    addrinfo* result = nullptr;

    ~TLookup()
    {
        if (result)
            freeaddrinfo(result);
        if (readyFd >= 0)
            close(readyFd);
    }
};

// What this call's hooks into the engine share: its limits, its proxy, the engine's own header
// hooks they stand in front of, and what they found on the wire. Every wait of the exchange
// (look-up, connection, proxy, TLS handshake, request, answer) is one poll that also watches
// the cancel descriptor and ends at the deadline.
struct TWire {
    Clock::time_point deadline;
    int cancelFd = -1;
    const std::atomic<bool>* cancelled = nullptr;
    std::string proxyHost, proxyUser, proxyPassword;
    int proxyPort = 0;
    size_t received = 0; // bytes of the answer, head included
    bool timedOut = false, tooLong = false;
    std::string framing; // why the answer's head was refused
    int (*postHeader)(struct soap*, const char*, const char*) = nullptr;
    int (*parseHeader)(struct soap*, const char*, const char*) = nullptr;
};

TWire& Wire(struct soap* soap)
{
    return *static_cast<TWire*>(soap->user);
}

long long LeftMs(const TWire& wire)
{
    const long long us = std::chrono::duration_cast<std::chrono::microseconds>(wire.deadline - Clock::now()).count();
    return us <= 0 ? 0 : (us + 999) / 1000;
}

// False once the call is given up or its time has run out.
bool GoOn(TWire& wire)
{
    if (wire.cancelled->load())
        return false;
    if (!LeftMs(wire)) {
        wire.timedOut = true;
        return false;
    }
    return true;
}

// Waits until fd is ready for events; false when the call was given up or its time ran out first.
bool Await(TWire& wire, int fd, short events)
{
    while (GoOn(wire)) {
        pollfd fds[2] = {{fd, events, 0}, {wire.cancelFd, POLLIN, 0}};
        const int n = poll(fds, 2, int(std::min<long long>(LeftMs(wire), INT_MAX)));
        if (n < 0 && errno != EINTR)
            return false;
        if (n > 0 && fds[1].revents)
            return false; // given up
        if (n > 0 && fds[0].revents)
            return true; // ready, an end or an error: the next call tells which
    }
    return false;
}

bool Fail(struct soap* soap, int error, const std::string& why, const std::string& detail = std::string())
{
    soap_set_sender_error(soap, soap_strdup(soap, why.c_str()), detail.empty() ? nullptr : soap_strdup(soap, detail.c_str()),
                          error);
    return false;
}

bool IsAddress(const std::string& host)
{
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

std::string HostPort(const std::string& host, int port)
{
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// The addresses of host, within the limit. An address is read at once; a name is looked up on
// a thread that the call does not wait for past its limit or once it is given up.
std::shared_ptr<TLookup> Resolve(struct soap* soap, const std::string& host, int port)
{
    TWire& wire = Wire(soap);
    auto lookup = std::make_shared<TLookup>();
    const std::string service = std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    if (IsAddress(host)) {
        lookup->error = getaddrinfo(host.c_str(), service.c_str(), &hints, &lookup->result);
    } else {
        if (lookup->readyFd < 0) {
            Fail(soap, SOAP_TCP_ERROR, "the address of " + host + " cannot be looked up", strerror(errno));
            return nullptr;
        }
        hints.ai_flags = AI_NUMERICSERV;
        try {
            std::thread([lookup, host, service, hints] {
                addrinfo* result = nullptr;
                const int error = getaddrinfo(host.c_str(), service.c_str(), &hints, &result);
                std::lock_guard<std::mutex> lock(lookup->mutex);
                lookup->result = result;
                lookup->error = error;
                const uint64_t one = 1;
                if (write(lookup->readyFd, &one, sizeof one) < 0) {
                    // Nobody waits any longer.
                }
            }).detach();
        } catch (const std::system_error& e) {
            Fail(soap, SOAP_TCP_ERROR, "the address of " + host + " cannot be looked up", e.what());
            return nullptr;
        }
        uint64_t count = 0;
        while (read(lookup->readyFd, &count, sizeof count) != sizeof count) {
            if (!Await(wire, lookup->readyFd, POLLIN)) {
                Fail(soap, SOAP_TCP_ERROR, "the address of " + host + " was not found in time");
                return nullptr;
            }
        }
    }
    std::lock_guard<std::mutex> lock(lookup->mutex);
    if (lookup->error != 0 || !lookup->result) {
        Fail(soap, SOAP_TCP_ERROR, "the address of " + host + " cannot be looked up",
             lookup->error == EAI_SYSTEM ? strerror(errno) : gai_strerror(lookup->error));
        return nullptr;
    }
    return lookup;
}

// A connected, non-blocking socket to host, or -1 (the reason set on the engine).
int Connect(struct soap* soap, const std::string& host, int port)
{
    TWire& wire = Wire(soap);
    const std::shared_ptr<TLookup> lookup = Resolve(soap, host, port);
    if (!lookup)
        return -1;
    int lastError = ECONNREFUSED;
    for (const addrinfo* at = lookup->result; at; at = at->ai_next) {
        const int fd = socket(at->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        int error = connect(fd, at->ai_addr, at->ai_addrlen) == 0 ? 0 : errno;
        if (error == EINPROGRESS) {
            if (!Await(wire, fd, POLLOUT)) {
                close(fd);
                break;
            }
            socklen_t size = sizeof error;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                error = errno;
        }
        if (!error)
            return fd;
        close(fd);
        lastError = error;
    }
    if (!GoOn(wire))
        Fail(soap, SOAP_TCP_ERROR, "no connection to " + HostPort(host, port) + " in time");
    else
        Fail(soap, SOAP_TCP_ERROR, strerror(lastError), "cannot connect to " + HostPort(host, port));
    return -1;
}

std::string Trimmed(const char* text)
{
    std::string s = text ? text : "";
    const size_t first = s.find_first_not_of(" \t");
    const size_t last = s.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : s.substr(first, last - first + 1);
}

void Wipe(std::string& secret)
{
    if (!secret.empty())
        OPENSSL_cleanse(&secret[0], secret.size());
    secret.clear();
}

// The socket to the proxy as OpenSSL's HTTP client sees it while it asks for the tunnel: its
// reads and writes block, each wait in Await, so they end at the limit or at once when the
// call is given up. No descriptor is handed out, so the library waits on nothing itself.
struct TTunnelIo {
    enum class TEnd { None, Closed, Late, TooLong };

    TWire& wire;
    int fd;
    size_t read = 0; // bytes of the proxy's answer
    TEnd end = TEnd::None;
    bool stopSent = false;
};

// After a failed read the library keeps asking for a status line for as long as its reads
// come back short, 0 and -1 included (OpenSSL 3.0 to 3.6). One line over its 13-byte minimum
// ends that wait, whatever the library makes of it, and the -1 after it ends its reading of
// the head; the failure is then told from TTunnelIo::end.
const char kStopLine[] = "tunnel given up\r\n";

int TunnelRead(BIO* bio, char* out, int size)
{
    BIO_clear_retry_flags(bio);
    if (size <= 0)
        return 0;
    auto& io = *static_cast<TTunnelIo*>(BIO_get_data(bio));
    while (io.end == TTunnelIo::TEnd::None) {
        if (io.read >= kMaxProxyHead) {
            io.end = TTunnelIo::TEnd::TooLong;
            break;
        }
        // One byte at a time: the library's buffer never holds any of the TLS stream behind
        // the answer.
        const ssize_t n = recv(io.fd, out, 1, 0);
        if (n == 1) {
            ++io.read;
            return 1;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            io.end = TTunnelIo::TEnd::Closed;
        else if (!Await(io.wire, io.fd, POLLIN))
            io.end = TTunnelIo::TEnd::Late;
    }
    const int stop = int(sizeof kStopLine - 1);
    if (io.stopSent || size < stop)
        return -1;
    io.stopSent = true;
    memcpy(out, kStopLine, size_t(stop));
    return stop;
}

int TunnelWrite(BIO* bio, const char* data, int size)
{
    BIO_clear_retry_flags(bio);
    auto& io = *static_cast<TTunnelIo*>(BIO_get_data(bio));
    for (int at = 0; at < size;) {
        if (io.end != TTunnelIo::TEnd::None)
            return -1;
        const ssize_t n = send(io.fd, data + at, size_t(size - at), MSG_NOSIGNAL);
        if (n > 0)
            at += int(n);
        else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            io.end = TTunnelIo::TEnd::Closed;
        else if (!Await(io.wire, io.fd, POLLOUT))
            io.end = GoOn(io.wire) ? TTunnelIo::TEnd::Closed : TTunnelIo::TEnd::Late;
    }
    return size;
}

long TunnelCtrl(BIO* /*bio*/, int cmd, long /*num*/, void* /*ptr*/)
{
    // Written at once, nothing held back; no descriptor (BIO_C_GET_FD), nothing pending.
    return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

int TunnelCreate(BIO* bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

const BIO_METHOD* TunnelMethod()
{
    static const BIO_METHOD* method = [] {
        const int type = BIO_get_new_index();
        BIO_METHOD* m = type < 0 ? nullptr : BIO_meth_new(type | BIO_TYPE_SOURCE_SINK, "report tunnel");
        if (m && (BIO_meth_set_read(m, TunnelRead) != 1 || BIO_meth_set_write(m, TunnelWrite) != 1 ||
                  BIO_meth_set_ctrl(m, TunnelCtrl) != 1 || BIO_meth_set_create(m, TunnelCreate) != 1)) {
            BIO_meth_free(m);
            m = nullptr;
        }
        return m;
    }();
    return method;
}

// Why the library refused the proxy's answer: its status line, or what was wrong with it.
std::string RefusalOf(unsigned long code, const char* data, int flags)
{
    std::string why;
    const std::string prefix = "reason=";
    if (data && (flags & ERR_TXT_STRING) && strncmp(data, prefix.c_str(), prefix.size()) == 0)
        why = Trimmed(data + prefix.size());
    if (why.empty() && ERR_reason_error_string(code))
        why = ERR_reason_error_string(code);
    return why.substr(0, 200);
}

// Asks the proxy on fd for a tunnel to host:port (CONNECT), through OpenSSL's HTTP client.
// What passes it afterwards is the TLS stream alone: the credentials for the proxy go in
// this request only, and our copies of them are wiped once it is made.
bool Tunnel(struct soap* soap, int fd, const std::string& host, int port)
{
    TWire& wire = Wire(soap);
    const std::string proxy = HostPort(wire.proxyHost, wire.proxyPort);
    const std::string target = HostPort(host, port);
    const std::string server = target.substr(0, target.rfind(':')); // an IPv6 address in brackets
    // The library writes the name into the request as it stands.
    const bool named = std::none_of(server.begin(), server.end(), [](char c) { return c >= 0 && c <= ' '; });
    const BIO_METHOD* method = named ? TunnelMethod() : nullptr;
    BIO* bio = method ? BIO_new(method) : nullptr;
    TTunnelIo io{wire, fd};
    int opened = 0;
    std::string refusal;
    if (bio) {
        BIO_set_data(bio, &io);
        const bool user = !wire.proxyUser.empty();
        ERR_clear_error();
        // Timeout 0: the library itself never waits; the reads and writes keep the limit.
        opened = OSSL_HTTP_proxy_connect(bio, server.c_str(), std::to_string(port).c_str(),
                                         user ? wire.proxyUser.c_str() : nullptr,
                                         user ? wire.proxyPassword.c_str() : nullptr, 0, nullptr, nullptr);
        BIO_free(bio);
        const char* data = nullptr;
        int flags = 0;
        for (unsigned long code; (code = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags)) != 0;)
            if (ERR_GET_LIB(code) == ERR_LIB_HTTP && refusal.empty())
                refusal = RefusalOf(code, data, flags);
    }
    Wipe(wire.proxyUser);
    Wipe(wire.proxyPassword);
    if (!bio)
        return Fail(soap, SOAP_TCP_ERROR, "no tunnel to " + target + " can be asked of the proxy " + proxy);
    switch (io.end) {
    case TTunnelIo::TEnd::Closed:
        return Fail(soap, SOAP_TCP_ERROR, "the proxy " + proxy + " closed the connection");
    case TTunnelIo::TEnd::Late:
        return Fail(soap, SOAP_TCP_ERROR, "no answer from the proxy " + proxy + " in time");
    case TTunnelIo::TEnd::TooLong:
        return Fail(soap, SOAP_TCP_ERROR, "the proxy " + proxy + " sent an answer without end");
    case TTunnelIo::TEnd::None:
        break;
    }
    if (opened != 1)
        return Fail(soap, SOAP_TCP_ERROR, "the proxy " + proxy + " did not open a tunnel to " + target, refusal);
    return true;
}

// The TLS handshake on fd: only the configured certificates vouch for the service, and its
// certificate must name the address's host (its name, or its IP address).
SSL* Handshake(struct soap* soap, int fd, const std::string& host)
{
    TWire& wire = Wire(soap);
    SSL* ssl = soap->ctx ? SSL_new(soap->ctx) : nullptr;
    if (!ssl) {
        Fail(soap, SOAP_SSL_ERROR, "TLS cannot be set up");
        return nullptr;
    }
    SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
    bool named;
    if (IsAddress(host)) {
        named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1;
    } else {
        SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        named = SSL_set1_host(ssl, host.c_str()) == 1 && SSL_set_tlsext_host_name(ssl, host.c_str()) == 1;
    }
    if (!named || SSL_set_fd(ssl, fd) != 1) {
        SSL_free(ssl);
        Fail(soap, SOAP_SSL_ERROR, "TLS cannot be set up for " + host);
        return nullptr;
    }
    for (;;) {
        ERR_clear_error();
        const int n = SSL_connect(ssl);
        if (n == 1)
            break;
        const int error = SSL_get_error(ssl, n);
        const bool wait = error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE;
        if (wait && Await(wire, fd, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT))
            continue;
        const long verified = SSL_get_verify_result(ssl);
        std::string why;
        if (wait)
            why = "no TLS handshake with " + host + " in time";
        else if (verified != X509_V_OK)
            why = "the certificate of " + host + " was refused: " + X509_verify_cert_error_string(verified);
        else {
            const unsigned long code = ERR_peek_error();
            const char* reason = code ? ERR_reason_error_string(code) : nullptr;
            why = "the TLS handshake with " + host + " failed" + (reason ? std::string(": ") + reason : std::string());
        }
        SSL_free(ssl);
        ERR_clear_error();
        Fail(soap, SOAP_SSL_ERROR, why);
        return nullptr;
    }
    if (SSL_get_verify_result(ssl) != X509_V_OK || !SSL_get0_peer_certificate(ssl)) {
        SSL_free(ssl);
        Fail(soap, SOAP_SSL_ERROR, "the certificate of " + host + " was refused");
        return nullptr;
    }
    return ssl;
}

// Stands in for the engine's connection: look-up, connection, proxy tunnel and TLS handshake,
// each wait within the limit and ended at once when the call is given up.
SOAP_SOCKET Open(struct soap* soap, const char* /*endpoint*/, const char* host, int port)
{
    TWire& wire = Wire(soap);
    const bool viaProxy = wire.proxyPort != 0;
    const int fd = viaProxy ? Connect(soap, wire.proxyHost, wire.proxyPort) : Connect(soap, host, port);
    if (fd < 0)
        return SOAP_INVALID_SOCKET;
    SSL* ssl = nullptr;
    if ((viaProxy && !Tunnel(soap, fd, host, port)) || !(ssl = Handshake(soap, fd, host))) {
        close(fd);
        return SOAP_INVALID_SOCKET;
    }
    soap->ssl = ssl;
    return fd;
}

// Ends the connection without waiting for the peer: a close_notify when the exchange ran its
// course, nothing when it was given up.
int Close(struct soap* soap)
{
    TWire& wire = Wire(soap);
    if (soap->ssl) {
        if (!wire.cancelled->load() && !wire.timedOut && !wire.tooLong)
            SSL_shutdown(soap->ssl); // the socket is non-blocking: sent or not, it returns
        SSL_free(soap->ssl);
        soap->ssl = nullptr;
        ERR_clear_error();
    }
    if (soap_valid_socket(soap->socket)) {
        shutdown(soap->socket, SHUT_RDWR);
        close(soap->socket);
        soap->socket = SOAP_INVALID_SOCKET;
    }
    return SOAP_OK;
}

void KeepNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && !(flags & O_NONBLOCK))
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// Bytes of the answer, or 0 at its end, on an error, at the limit or once the call is given
// up. TLS records without data (session tickets) only lead to the next wait.
size_t Receive(struct soap* soap, char* data, size_t size)
{
    TWire& wire = Wire(soap);
    if (!soap->ssl || !GoOn(wire))
        return 0;
    KeepNonBlocking(soap->socket);
    const size_t room = size_t(CReportSender::kMaxAnswer) + 1 - wire.received;
    size = std::min(std::min(size, room), size_t(INT_MAX));
    int got;
    for (;;) {
        ERR_clear_error();
        got = SSL_read(soap->ssl, data, int(size));
        if (got > 0)
            break;
        const int error = SSL_get_error(soap->ssl, got);
        if ((error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) ||
            !Await(wire, soap->socket, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT)) {
            soap->errnum = error == SSL_ERROR_SYSCALL ? errno : 0;
            ERR_clear_error();
            return 0;
        }
    }
    wire.received += size_t(got);
    if (wire.received > size_t(CReportSender::kMaxAnswer)) {
        wire.tooLong = true;
        return 0;
    }
    return size_t(got);
}

int Send(struct soap* soap, const char* data, size_t size)
{
    TWire& wire = Wire(soap);
    if (!soap->ssl)
        return SOAP_EOF;
    KeepNonBlocking(soap->socket);
    while (size > 0) {
        if (!GoOn(wire))
            return SOAP_EOF;
        ERR_clear_error();
        const int n = SSL_write(soap->ssl, data, int(std::min(size, size_t(INT_MAX))));
        if (n > 0) {
            data += n;
            size -= size_t(n);
            continue;
        }
        const int error = SSL_get_error(soap->ssl, n);
        if ((error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) ||
            !Await(wire, soap->socket, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT)) {
            soap->errnum = error == SSL_ERROR_SYSCALL ? errno : 0;
            ERR_clear_error();
            return SOAP_EOF;
        }
    }
    return SOAP_OK;
}

// The answer is read as it comes over the wire, within its bound: a compressed one
// would inflate past it, so none is asked for.
int PostHeader(struct soap* soap, const char* key, const char* value)
{
    if (key && strcasecmp(key, "Accept-Encoding") == 0)
        return SOAP_OK;
    return Wire(soap).postHeader(soap, key, value);
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
    // The connection is this call's own, from the look-up to the close; the engine only
    // writes the request and reads the answer through it.
    proxy.fopen = Open;
    proxy.fclose = Close;
    proxy.fsend = Send;
    proxy.frecv = Receive;
    wire.postHeader = proxy.fposthdr;
    proxy.fposthdr = PostHeader;
    wire.parseHeader = proxy.fparsehdr;
    proxy.fparsehdr = ParseHeader;
    // The trusted certificates, read into the context the handshake takes.
    if (soap_ssl_client_context(&proxy, SOAP_SSL_REQUIRE_SERVER_AUTHENTICATION | SOAP_SSL_NO_DEFAULT_CA_PATH, nullptr,
                                nullptr, call.caFile.c_str(), nullptr, nullptr) != SOAP_OK)
        return "the trusted certificates of \"" + call.caFile + "\" cannot be used: " + EngineText(proxy) + ".";
    // The engine is not told of the proxy: it would name it in the request that goes through the tunnel.
    wire.proxyHost = call.proxyHost;
    wire.proxyPort = call.proxyPort;
    wire.proxyUser = call.proxyUser;
    wire.proxyPassword = call.proxyPassword;
    // Non-zero, so that the engine leaves the socket non-blocking; the hooks keep the limit.
    proxy.connect_timeout = proxy.send_timeout = proxy.recv_timeout = -1000;

    reportlog::_rl__ReportLog report;
    report.product = call.product;
    report.severity = call.severity;
    report.email = call.email;
    report.comment = call.comment;
    report.details = call.details;
    reportlog::_rl__ReportLogResponse answer;
    const int error = proxy.ReportLog(address.c_str(), nullptr, &report, answer);
    const int status = proxy.status;
    Wipe(wire.proxyUser);
    Wipe(wire.proxyPassword);

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
    Wipe(m_call.proxyUser);
    Wipe(m_call.proxyPassword);
    if (!m_cancelled)
        done(why);
}

} // namespace Logging
