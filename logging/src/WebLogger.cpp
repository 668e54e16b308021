#include <logging/WebLogger.h>

#include "ReportSender.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QList>
#include <QNetworkProxy>
#include <QPointer>
#include <QSslCertificate>
#include <QSysInfo>
#include <QThread>
#include <QUrl>

#include <deque>
#include <functional>
#include <map>
#include <memory>

namespace Logging {

namespace {

const int kDefaultTimeout = 30000;

// Characters XML 1.0 cannot carry become U+FFFD, so the report stays well-formed and the user
// is shown exactly what is sent.
std::wstring XmlSafe(const std::wstring& text)
{
    std::wstring out(text);
    for (wchar_t& c : out) {
        unsigned long cp = static_cast<unsigned long>(c);
        bool ok = cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
                  (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
        if (!ok)
            c = 0xFFFD;
    }
    return out;
}

QString Q(const std::wstring& s)
{
    return QString::fromStdWString(s);
}

std::wstring W(const QString& s)
{
    return s.toStdWString();
}

struct Report {
    unsigned long severity;
    std::wstring details;
};

} // namespace

// What the logger and its GUI-thread dispatcher share; lives until both are gone.
struct SharedState {
    std::mutex mutex;
    bool closed = false;
    int product = 0;
    IWebErrorReportEvents* events = nullptr;
    std::string certs;
    std::string url;
    int timeout = kDefaultTimeout;
    std::function<void(unsigned long, const std::wstring&)> note; // to the next logger
};

namespace {

// Lives in the GUI thread: asks the user, one report at a time, and sends.
class ReportDispatcher : public QObject {
public:
    explicit ReportDispatcher(std::shared_ptr<SharedState> state) : m_state(std::move(state)) {}

    ~ReportDispatcher() override
    {
        m_closing = true;
        m_senders.clear(); // what is still on the wire is given up, and each sender joined
    }

    void submit(Report report)
    {
        m_queue.push_back(std::move(report));
        if (m_busy)
            return; // asked after the question now open
        QPointer<ReportDispatcher> alive(this);
        m_busy = true;
        while (alive && !m_queue.empty()) {
            Report next = std::move(m_queue.front());
            m_queue.pop_front();
            ask(next);
        }
        if (alive)
            m_busy = false;
    }

private:
    bool closed()
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        return m_closing || m_state->closed;
    }

    void note(unsigned long severity, const QString& text)
    {
        std::function<void(unsigned long, const std::wstring&)> note;
        {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            if (m_state->closed)
                return;
            note = m_state->note;
        }
        if (note)
            note(severity, W(text));
    }

    void ask(const Report& report)
    {
        IWebErrorReportEvents* events;
        {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            events = m_state->closed ? nullptr : m_state->events;
        }
        if (!events)
            return;
        std::wstring email, comment;
        QPointer<ReportDispatcher> alive(this);
        bool agreed = events->confirmErrorReport(email, comment, report.details.c_str());
        if (!alive || closed())
            return;
        if (!agreed) {
            note(SeverityInfo, QStringLiteral("Error report not sent: the user declined."));
            return;
        }
        send(report, email, comment);
    }

    void send(const Report& report, const std::wstring& email, const std::wstring& comment)
    {
        QString address, certs;
        std::string caFile;
        int product, timeout;
        {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            address = QString::fromStdString(m_state->url);
            caFile = m_state->certs;
            certs = QString::fromLocal8Bit(caFile.c_str());
            product = m_state->product;
            timeout = m_state->timeout;
        }
        QUrl url(address, QUrl::StrictMode);
        if (!url.isValid() || url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0 ||
            url.host().isEmpty()) {
            fail(QStringLiteral("\"%1\" is not an HTTPS address.").arg(address));
            return;
        }
        QList<QSslCertificate> trusted;
        if (!certs.isEmpty())
            trusted = QSslCertificate::fromPath(certs, QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
        if (trusted.isEmpty()) {
            fail(QStringLiteral("no trusted certificate could be read from \"%1\".").arg(certs));
            return;
        }

        TReportCall call;
        call.address = address.toStdString();
        call.caFile = caFile;
        call.timeoutMs = timeout;
        call.product = product;
        call.severity = report.severity;
        call.email = XmlSafe(email);
        call.comment = XmlSafe(comment);
        call.details = report.details;
        // The proxy the machine names for this address, if the engine can go through it
        // (an HTTP proxy, by CONNECT).
        for (const QNetworkProxy& proxy : QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url))) {
            if (proxy.type() == QNetworkProxy::NoProxy)
                break;
            if (proxy.type() == QNetworkProxy::HttpProxy) {
                call.proxyHost = proxy.hostName().toStdString();
                call.proxyPort = proxy.port();
                call.proxyUser = proxy.user().toStdString();
                call.proxyPassword = proxy.password().toStdString();
                break;
            }
            if (proxy.type() == QNetworkProxy::Socks5Proxy) {
                fail(QStringLiteral("the proxy for %1 is a SOCKS proxy, which the report cannot go through.")
                         .arg(address));
                return;
            }
        }

        CReportSender::InitEngine();
        const unsigned long id = ++m_nextSender;
        m_senders[id].reset(new CReportSender(std::move(call), [this, id, address](const std::string& why) {
            // On the sender's thread; the dispatcher joins its senders before it goes.
            QMetaObject::invokeMethod(
                this, [this, id, address, why] { finished(id, address, QString::fromStdString(why)); },
                Qt::QueuedConnection);
        }));
    }

    void finished(unsigned long id, const QString& address, const QString& why)
    {
        m_senders.erase(id); // its thread is ending: joined here
        if (m_closing)
            return;
        if (why.isEmpty())
            note(SeverityInfo, QStringLiteral("Error report sent to %1.").arg(address));
        else
            fail(why);
    }

    void fail(const QString& why)
    {
        note(SeverityError, QStringLiteral("Error report could not be sent: ") + why);
    }

    std::shared_ptr<SharedState> m_state;
    std::deque<Report> m_queue;
    bool m_busy = false;
    bool m_closing = false;
    std::map<unsigned long, std::unique_ptr<CReportSender>> m_senders;
    unsigned long m_nextSender = 0;
};

} // namespace

struct CWebLogger::Private {
    std::shared_ptr<SharedState> state = std::make_shared<SharedState>();
    std::mutex mutex;
    ReportDispatcher* dispatcher = nullptr;
};

CWebLogger::CWebLogger(int product, IWebErrorReportEvents* events, unsigned long mask, ILogger* next)
    : ILogger(mask, next), d(new Private)
{
    d->state->product = product;
    d->state->events = events;
    d->state->note = [next](unsigned long severity, const std::wstring& text) {
        deliver(next, severity, text);
    };
}

CWebLogger::~CWebLogger()
{
    retire();
    {
        std::lock_guard<std::mutex> lock(d->state->mutex);
        d->state->closed = true;
    }
    std::lock_guard<std::mutex> lock(d->mutex);
    if (d->dispatcher) {
        if (d->dispatcher->thread() == QThread::currentThread())
            delete d->dispatcher;
        else
            d->dispatcher->deleteLater();
    }
}

CWebLogger& CWebLogger::trustedCerts(const char* pemFile)
{
    std::lock_guard<std::mutex> lock(d->state->mutex);
    d->state->certs = pemFile ? pemFile : "";
    return *this;
}

CWebLogger& CWebLogger::endpointURL(const char* url)
{
    std::lock_guard<std::mutex> lock(d->state->mutex);
    d->state->url = url ? url : "";
    return *this;
}

CWebLogger& CWebLogger::timeout(int msec)
{
    std::lock_guard<std::mutex> lock(d->state->mutex);
    d->state->timeout = msec > 0 ? msec : kDefaultTimeout;
    return *this;
}

void CWebLogger::write(unsigned long severity, const std::wstring& text)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || !d->state->events) {
        deliver(next(), SeverityInfo, L"Error report not offered: there is no one to ask.");
        return;
    }

    QString details = Q(XmlSafe(text));
    details += QStringLiteral("\n\nApplication: %1 %2\nSystem: %3\nTime: %4")
                   .arg(QCoreApplication::applicationName(), QCoreApplication::applicationVersion(),
                        QSysInfo::prettyProductName(),
                        QDateTime::currentDateTimeUtc().toString(Qt::ISODate));
    Report report{severity, W(details)};

    ReportDispatcher* dispatcher;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (!d->dispatcher) {
            d->dispatcher = new ReportDispatcher(d->state);
            if (app->thread() != QThread::currentThread())
                d->dispatcher->moveToThread(app->thread());
        }
        dispatcher = d->dispatcher;
    }
    if (app->thread() == QThread::currentThread())
        dispatcher->submit(std::move(report));
    else
        QMetaObject::invokeMethod(
            dispatcher, [dispatcher, report] { dispatcher->submit(report); }, Qt::QueuedConnection);
}

} // namespace Logging
