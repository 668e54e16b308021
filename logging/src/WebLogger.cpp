#include <logging/WebLogger.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QList>
#include <QNetworkProxy>
#include <QPointer>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QSysInfo>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <deque>
#include <functional>

namespace Logging {

namespace {

const char kSoapNamespace[] = "http://www.w3.org/2003/05/soap-envelope";
const char kReportNamespace[] = "urn:veskora:tessaly:reportlog:1";
const char kReportAction[] = "urn:veskora:tessaly:reportlog:1/ReportLog";
const int kDefaultTimeout = 30000;
const int kMaxAnswer = 1 << 20; // what is read of the service's answer

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

QByteArray BuildReport(int product, unsigned long severity, const std::wstring& email,
                       const std::wstring& comment, const std::wstring& details)
{
    QByteArray body;
    QXmlStreamWriter xml(&body);
    xml.setCodec("UTF-8");
    xml.writeStartDocument();
    xml.writeNamespace(kSoapNamespace, "env");
    xml.writeNamespace(kReportNamespace, "rl");
    xml.writeStartElement(kSoapNamespace, "Envelope");
    xml.writeStartElement(kSoapNamespace, "Body");
    xml.writeStartElement(kReportNamespace, "ReportLog");
    xml.writeTextElement(kReportNamespace, "product", QString::number(product));
    xml.writeTextElement(kReportNamespace, "severity", QString::number(severity));
    xml.writeTextElement(kReportNamespace, "email", Q(XmlSafe(email)));
    xml.writeTextElement(kReportNamespace, "comment", Q(XmlSafe(comment)));
    xml.writeTextElement(kReportNamespace, "details", Q(details));
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeEndDocument();
    return body;
}

// The reason text of a SOAP 1.2 fault, if the answer is one.
QString FaultReason(const QByteArray& answer)
{
    QXmlStreamReader xml(answer);
    bool inReason = false;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            if (xml.name() == QLatin1String("Reason"))
                inReason = true;
            else if (inReason && xml.name() == QLatin1String("Text"))
                return xml.readElementText().trimmed();
            else if (xml.name() == QLatin1String("faultstring")) // SOAP 1.1 peers
                return xml.readElementText().trimmed();
        } else if (xml.isEndElement() && xml.name() == QLatin1String("Reason")) {
            inReason = false;
        }
    }
    return QString();
}

// The body of a chunked answer. False while it is incomplete; *bad when it cannot be one.
bool Unchunk(const QByteArray& in, QByteArray* out, bool* bad)
{
    out->clear();
    int pos = 0;
    for (;;) {
        int eol = in.indexOf("\r\n", pos);
        if (eol < 0)
            return false;
        QByteArray size = in.mid(pos, eol - pos);
        int extension = size.indexOf(';');
        if (extension >= 0)
            size.truncate(extension);
        bool ok = false;
        qlonglong length = size.trimmed().toLongLong(&ok, 16);
        if (!ok || length < 0 || length > kMaxAnswer) {
            *bad = true;
            return false;
        }
        pos = eol + 2;
        if (length == 0)
            return true; // trailers are of no use here
        if (in.size() - pos < length + 2)
            return false;
        out->append(in.constData() + pos, int(length));
        pos += int(length) + 2;
    }
}

// One report on its way: an HTTPS POST on a socket of the GUI thread and the answer read to its
// end. No thread of the network stack is involved, so nothing of the exchange outlives its owner.
class ReportPost : public QObject {
public:
    // address: the url as configured, for the texts. done: an empty text once the service took
    // the report, else why it did not.
    ReportPost(const QString& address, const QUrl& url, const QSslConfiguration& tls, const QByteArray& body,
               int timeout, std::function<void(const QString&)> done, QObject* parent)
        : QObject(parent), m_address(address), m_timeout(timeout), m_done(std::move(done))
    {
        QByteArray target = url.path(QUrl::FullyEncoded).toLatin1();
        if (target.isEmpty())
            target = "/";
        if (url.hasQuery())
            target += '?' + url.query(QUrl::FullyEncoded).toLatin1();
        m_request = "POST " + target + " HTTP/1.1\r\nHost: " +
                    url.authority(QUrl::RemoveUserInfo | QUrl::FullyEncoded).toLatin1() +
                    "\r\nContent-Type: application/soap+xml; charset=utf-8; action=\"" + kReportAction +
                    "\"\r\nContent-Length: " + QByteArray::number(body.size()) +
                    "\r\nConnection: close\r\n\r\n" + body;

        m_socket = new QSslSocket(this);
        m_socket->setSslConfiguration(tls);
        // The proxy the machine names for this address, if it can carry a TLS connection.
        for (const QNetworkProxy& proxy : QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url))) {
            if (proxy.type() == QNetworkProxy::NoProxy ||
                (proxy.capabilities() & QNetworkProxy::TunnelingCapability)) {
                m_socket->setProxy(proxy);
                break;
            }
        }
        connect(m_socket, &QSslSocket::encrypted, this, [this] { m_socket->write(m_request); });
        connect(m_socket, &QIODevice::readyRead, this, [this] { read(false); });
        connect(m_socket, &QAbstractSocket::disconnected, this, [this] { read(true); });
        connect(m_socket, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
            if (error == QAbstractSocket::RemoteHostClosedError)
                read(true);
            else
                finish(m_socket->errorString());
        });
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            finish(QStringLiteral("no answer from %1 within %2 ms.").arg(m_address).arg(m_timeout));
        });
        m_timer.start(timeout);
        m_socket->connectToHostEncrypted(url.host(), quint16(url.port(443)));
    }

    ~ReportPost() override
    {
        m_finished = true;
        m_socket->disconnect(this);
        m_socket->abort();
    }

private:
    void read(bool closed)
    {
        if (m_finished)
            return;
        m_answer += m_socket->readAll();
        if (m_answer.size() > kMaxAnswer) {
            finish(QStringLiteral("the answer from %1 is longer than %2 bytes.").arg(m_address).arg(kMaxAnswer));
            return;
        }
        // Interim answers (100 Continue) go before the real one.
        int start = 0, end;
        int status = 0;
        QRegularExpressionMatch line;
        for (;;) {
            end = m_answer.indexOf("\r\n\r\n", start);
            if (end < 0) {
                if (closed)
                    finish(QStringLiteral("%1 closed the connection without a complete answer.").arg(m_address));
                return;
            }
            static const QRegularExpression statusLine(QStringLiteral("^HTTP/1\\.[01] ([1-5][0-9][0-9])[ \r]"));
            line = statusLine.match(QString::fromLatin1(m_answer.mid(start, end + 2 - start)));
            if (!line.hasMatch()) {
                finish(QStringLiteral("%1 did not answer in HTTP.").arg(m_address));
                return;
            }
            status = line.captured(1).toInt();
            if (status >= 200)
                break;
            start = end + 4;
        }

        bool chunked = false;
        qlonglong length = -1;
        for (const QByteArray& header : m_answer.mid(start, end - start).split('\n')) {
            int colon = header.indexOf(':');
            if (colon < 0)
                continue;
            const QByteArray name = header.left(colon).trimmed().toLower();
            const QByteArray value = header.mid(colon + 1).trimmed().toLower();
            if (name == "transfer-encoding")
                chunked = value.contains("chunked");
            else if (name == "content-length")
                length = value.toLongLong();
        }
        QByteArray body = m_answer.mid(end + 4);
        bool complete;
        if (chunked) {
            bool bad = false;
            complete = Unchunk(m_answer.mid(end + 4), &body, &bad);
            if (bad) {
                finish(QStringLiteral("%1 sent a malformed answer.").arg(m_address));
                return;
            }
        } else if (length >= 0) {
            complete = body.size() >= length;
            body.truncate(int(qMin<qlonglong>(length, body.size())));
        } else {
            complete = closed; // the answer ends with the connection
        }
        if (!complete) {
            if (closed)
                finish(QStringLiteral("the answer from %1 ended early.").arg(m_address));
            return;
        }
        if (status < 300) {
            finish(QString());
            return;
        }
        QString why = QStringLiteral("%1 answered HTTP %2.").arg(m_address).arg(status);
        const QString fault = FaultReason(body);
        if (!fault.isEmpty())
            why += QStringLiteral(" Fault: ") + fault;
        finish(why);
    }

    void finish(const QString& why)
    {
        if (m_finished)
            return;
        m_finished = true;
        m_timer.stop();
        m_socket->disconnect(this);
        m_socket->abort();
        auto done = std::move(m_done);
        deleteLater();
        done(why);
    }

    QString m_address;
    int m_timeout;
    std::function<void(const QString&)> m_done;
    QByteArray m_request, m_answer;
    QSslSocket* m_socket;
    QTimer m_timer;
    bool m_finished = false;
};

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
        m_closing = true; // what is still on the wire is aborted with the children
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
        int product, timeout;
        {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            address = QString::fromStdString(m_state->url);
            certs = QString::fromLocal8Bit(m_state->certs.c_str());
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

        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates(trusted); // only these, not the system's
        tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
        tls.setProtocol(QSsl::SecureProtocols);

        // A redirect could lead off the trusted service; any answer but 2xx counts as a failure.
        const QByteArray body = BuildReport(product, report.severity, email, comment, report.details);
        new ReportPost(address, url, tls, body, timeout,
                       [this, address](const QString& why) {
                           if (m_closing)
                               return;
                           if (why.isEmpty())
                               note(SeverityInfo, QStringLiteral("Error report sent to %1.").arg(address));
                           else
                               fail(why);
                       },
                       this);
    }

    void fail(const QString& why)
    {
        note(SeverityError, QStringLiteral("Error report could not be sent: ") + why);
    }

    std::shared_ptr<SharedState> m_state;
    std::deque<Report> m_queue;
    bool m_busy = false;
    bool m_closing = false;
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
