// The web error-report logger against a loopback HTTPS service.
#include "MemoryLogger.h"

#include <logging/WebLogger.h>

#include "CannedServer.h"
#include "Fixture.h"

#include <QtNetwork>
#include <QtTest>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

namespace {

const char kPath[] = "/axis2/services/ReportLog";

// One request as the service saw it.
struct Received {
    QByteArray head;
    QByteArray body;
};

// A loopback error-report service on a port the system picks.
class ReportService : public QTcpServer {
public:
    enum Mode {
        Answer, Fault, Stall, Redirect, FaultChunked, FaultUntilClose, Continue, NotHttp, Endless, Drip,
        // Framings read one way or another by a lax reader.
        LengthNotNumber, ChunkSizeHex, ChunkWithoutLineEnd, Compressed, BareLineFeeds
    };

    ReportService(const std::string& certPem, const std::string& keyPem, Mode mode) : m_mode(mode)
    {
        m_cert = QSslCertificate::fromPath(QString::fromStdString(certPem)).value(0);
        QFile key(QString::fromStdString(keyPem));
        key.open(QIODevice::ReadOnly);
        m_key = QSslKey(key.readAll(), QSsl::Rsa, QSsl::Pem);
        listen(QHostAddress::LocalHost, 0);
    }

    QByteArray Url() const
    {
        return "https://127.0.0.1:" + QByteArray::number(serverPort()) + kPath;
    }

    bool Ready() const { return isListening() && !m_cert.isNull() && !m_key.isNull(); }

    int connections = 0;
    int handshakes = 0;
    QList<Received> received;

protected:
    void incomingConnection(qintptr fd) override
    {
        ++connections;
        auto* socket = new QSslSocket(this);
        socket->setSocketDescriptor(fd);
        socket->setLocalCertificate(m_cert);
        socket->setPrivateKey(m_key);
        socket->setPeerVerifyMode(QSslSocket::VerifyNone);
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QSslSocket::encrypted, this, [this] { ++handshakes; });
        connect(socket, &QIODevice::readyRead, this, [this, socket, buffer] {
            *buffer += socket->readAll();
            int end = buffer->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            QByteArray head = buffer->left(end);
            int length = 0;
            for (const QByteArray& line : head.split('\n'))
                if (line.toLower().startsWith("content-length:"))
                    length = line.mid(15).trimmed().toInt();
            if (buffer->size() < end + 4 + length)
                return;
            received.append({head, buffer->mid(end + 4, length)});
            buffer->clear();
            Respond(socket);
        });
        socket->startServerEncryption();
    }

private:
    // Writes the answer piece by piece, a piece each paceMs, then closes.
    static void Stream(QSslSocket* socket, const QByteArray& answer, int piece, int paceMs)
    {
        auto* timer = new QTimer(socket);
        auto at = std::make_shared<int>(0);
        connect(timer, &QTimer::timeout, socket, [socket, timer, answer, piece, at] {
            if (socket->state() != QAbstractSocket::ConnectedState || *at >= answer.size()) {
                timer->stop();
                socket->disconnectFromHost();
                return;
            }
            socket->write(answer.mid(*at, piece));
            *at += piece;
        });
        timer->start(paceMs);
    }

    void Respond(QSslSocket* socket)
    {
        QByteArray status = "200 OK", body;
        if (m_mode == Stall)
            return; // the connection stays open and silent
        const QByteArray envelope =
            "<?xml version=\"1.0\"?><env:Envelope xmlns:env=\"http://www.w3.org/2003/05/soap-envelope\">"
            "<env:Body/></env:Envelope>";
        const QByteArray open = "<?xml version=\"1.0\"?><env:Envelope xmlns:env=\"http://www.w3.org/2003/05/soap-envelope\">"
                                "<env:Body>";
        const QByteArray soapHead = "HTTP/1.1 200 OK\r\nContent-Type: application/soap+xml; charset=utf-8\r\n";
        switch (m_mode) {
        case Drip:
            // A well-formed answer, a byte every 100 ms.
            Stream(socket, soapHead + "Content-Length: 100000\r\n\r\n" + open + QByteArray(100000, ' '), 1, 100);
            return;
        case LengthNotNumber:
            socket->write(soapHead + "Content-Length: abc\r\nConnection: close\r\n\r\n" + envelope);
            socket->disconnectFromHost();
            return;
        case ChunkSizeHex:
            socket->write(soapHead + "Transfer-Encoding: chunked\r\n\r\n0x" +
                          QByteArray::number(envelope.size(), 16) + "\r\n" + envelope + "\r\n0\r\n\r\n");
            socket->disconnectFromHost();
            return;
        case ChunkWithoutLineEnd:
            socket->write(soapHead + "Transfer-Encoding: chunked\r\n\r\n" + QByteArray::number(20, 16) + "\r\n" +
                          envelope.left(20) + "XY" + QByteArray::number(envelope.size() - 20, 16) + "\r\n" +
                          envelope.mid(20) + "\r\n0\r\n\r\n");
            socket->disconnectFromHost();
            return;
        case Compressed:
            // Not even compressed: a reader that takes the header unasked has no business reading on.
            socket->write(soapHead + "Content-Encoding: gzip\r\nContent-Length: " + QByteArray::number(envelope.size()) +
                          "\r\n\r\n" + envelope);
            socket->disconnectFromHost();
            return;
        case BareLineFeeds:
            socket->write("HTTP/1.1 200 OK\nContent-Type: application/soap+xml\nContent-Length: " +
                          QByteArray::number(envelope.size()) + "\n\n" + envelope);
            socket->disconnectFromHost();
            return;
        default:
            break;
        }
        const QByteArray fault =
            "<?xml version=\"1.0\"?><env:Envelope xmlns:env=\"http://www.w3.org/2003/05/soap-envelope\">"
            "<env:Body><env:Fault><env:Code><env:Value>env:Receiver</env:Value></env:Code>"
            "<env:Reason><env:Text xml:lang=\"en\">Report store is full</env:Text></env:Reason>"
            "</env:Fault></env:Body></env:Envelope>";
        const QByteArray head = "Content-Type: application/soap+xml; charset=utf-8\r\nConnection: close\r\n";
        QByteArray extra, answer;
        switch (m_mode) {
        case Redirect:
            status = "307 Temporary Redirect";
            extra = "Location: " + Url() + "/elsewhere\r\n";
            break;
        case Answer:
        case Continue:
            body = envelope;
            break;
        case FaultChunked:
            // In pieces cut inside the reason, as a streaming server sends it.
            answer = "HTTP/1.1 500 Internal Server Error\r\n" + head + "Transfer-Encoding: chunked\r\n\r\n";
            for (int at = 0; at < fault.size(); at += 101) {
                const QByteArray piece = fault.mid(at, 101);
                answer += QByteArray::number(piece.size(), 16) + ";piece\r\n" + piece + "\r\n";
            }
            answer += "0\r\n\r\n";
            break;
        case FaultUntilClose:
            answer = "HTTP/1.0 500 Internal Server Error\r\n" + head + "\r\n" + fault;
            break;
        case NotHttp:
            answer = "SSH-2.0-OpenSSH_9.2\r\n\r\n";
            break;
        case Endless:
            // Well-formed as far as it goes, so that only the bound ends the reading.
            answer = "HTTP/1.1 200 OK\r\n" + head + "\r\n" + open + QByteArray(2 << 20, ' ');
            break;
        default:
            status = "500 Internal Server Error";
            body = fault;
        }
        if (answer.isEmpty())
            answer = "HTTP/1.1 " + status + "\r\n" + head + extra + "Content-Length: " + QByteArray::number(body.size()) +
                     "\r\n\r\n" + body;
        if (m_mode == Continue)
            answer.prepend("HTTP/1.1 100 Continue\r\n\r\n");
        socket->write(answer);
        socket->disconnectFromHost();
    }

    Mode m_mode;
    QSslCertificate m_cert;
    QSslKey m_key;
};

// A loopback peer that takes TCP connections and never reads or says a word, not even to the
// other side's close: a service that hangs before its TLS handshake, or a proxy that never
// answers CONNECT.
class SilentPeer : public QTcpServer {
public:
    SilentPeer() { listen(QHostAddress::LocalHost, 0); }
    ~SilentPeer() override
    {
        for (qintptr fd : m_held)
            ::close(int(fd));
    }

    int Connections() const { return m_held.size(); }

protected:
    void incomingConnection(qintptr fd) override { m_held.append(fd); }

private:
    QList<qintptr> m_held;
};

// A CONNECT proxy on loopback that opens every tunnel to one local port, whatever host is
// asked for, and keeps what passed it. Its answer has a header line: a client that read less
// or more than the answer's head would take a wrong first byte for the service's.
class ConnectProxy : public QTcpServer {
public:
    explicit ConnectProxy(quint16 target) : m_target(target) { listen(QHostAddress::LocalHost, 0); }

    QByteArray request;    // the CONNECT head, up to its empty line
    QByteArray upstream;   // what the client sent through the tunnel
    QByteArray downstream; // what came back through it

protected:
    void incomingConnection(qintptr fd) override
    {
        auto* client = new QTcpSocket(this);
        client->setSocketDescriptor(fd);
        auto* server = new QTcpSocket(this);
        auto head = std::make_shared<QByteArray>();
        connect(client, &QIODevice::readyRead, this, [this, client, server, head] {
            const QByteArray data = client->readAll();
            if (server->state() == QAbstractSocket::ConnectedState) {
                upstream += data;
                server->write(data);
                return;
            }
            *head += data;
            if (!head->contains("\r\n\r\n") || server->state() != QAbstractSocket::UnconnectedState)
                return;
            request = *head;
            server->connectToHost(QHostAddress::LocalHost, m_target);
        });
        connect(server, &QTcpSocket::connected, client,
                [client] { client->write("HTTP/1.1 200 Connection established\r\nProxy-Agent: loopback\r\n\r\n"); });
        connect(server, &QIODevice::readyRead, this, [this, client, server] {
            const QByteArray data = server->readAll();
            downstream += data;
            client->write(data);
        });
        connect(server, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
        connect(client, &QTcpSocket::disconnected, server, &QTcpSocket::disconnectFromHost);
    }

private:
    quint16 m_target;
};

// A proxy on loopback that answers every CONNECT with these bytes and closes; with none, it
// closes without a word.
class RefusingProxy : public QTcpServer {
public:
    explicit RefusingProxy(QByteArray answer) : m_answer(std::move(answer)) { listen(QHostAddress::LocalHost, 0); }

    QByteArray request; // the CONNECT head, up to its empty line

protected:
    void incomingConnection(qintptr fd) override
    {
        auto* client = new QTcpSocket(this);
        client->setSocketDescriptor(fd);
        connect(client, &QIODevice::readyRead, this, [this, client] {
            request += client->readAll();
            if (!request.contains("\r\n\r\n"))
                return;
            client->write(m_answer);
            client->disconnectFromHost();
        });
    }

private:
    QByteArray m_answer;
};

// Whether bytes are whole TLS records and nothing else.
bool IsTlsStream(const QByteArray& bytes)
{
    int at = 0;
    while (at + 5 <= bytes.size()) {
        const unsigned char type = static_cast<unsigned char>(bytes[at]);
        if (type < 0x14 || type > 0x17 || bytes[at + 1] != 0x03)
            return false;
        at += 5 + (static_cast<unsigned char>(bytes[at + 3]) << 8 | static_cast<unsigned char>(bytes[at + 4]));
    }
    return at == bytes.size() && !bytes.isEmpty();
}

// For its life, the application's proxy is this HTTP proxy on loopback.
class ProxyInUse {
public:
    explicit ProxyInUse(quint16 port, const QString& user = QString(), const QString& password = QString())
        : m_saved(QNetworkProxy::applicationProxy())
    {
        if (port)
            QNetworkProxy::setApplicationProxy(
                QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), port, user, password));
    }
    ~ProxyInUse() { QNetworkProxy::setApplicationProxy(m_saved); }

private:
    QNetworkProxy m_saved;
};

// Stands in for the main window's wizard.
class Consent : public Logging::IWebErrorReportEvents {
public:
    bool answer = true;
    std::wstring email = L"user@example.org";
    std::wstring comment = L"It happened while logging in.";
    int asked = 0;
    int depth = 0, deepest = 0;
    QThread* askedOn = nullptr;
    std::wstring details;
    std::function<void()> whileAsking;

    bool confirmErrorReport(std::wstring& e, std::wstring& c, const wchar_t* d) override
    {
        ++asked;
        deepest = std::max(deepest, ++depth);
        askedOn = QThread::currentThread();
        details = d;
        if (whileAsking) {
            auto once = std::move(whileAsking);
            whileAsking = nullptr;
            once();
        }
        --depth;
        if (!answer)
            return false;
        e = email;
        c = comment;
        return true;
    }
};

// The fields of a sent report, read back as XML.
QMap<QString, QString> ReportFields(const QByteArray& body, QString* error)
{
    QMap<QString, QString> fields;
    QXmlStreamReader xml(body);
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement() && xml.namespaceUri() != QLatin1String("http://www.w3.org/2003/05/soap-envelope") &&
            xml.name() != QLatin1String("ReportLog"))
            fields[xml.name().toString()] = xml.readElementText();
    }
    if (xml.hasError())
        *error = xml.errorString();
    return fields;
}

QString Q(const std::wstring& s)
{
    return QString::fromStdWString(s);
}

struct Pki {
    fixture::Ca ca, other;
    std::string serverCert, serverKey;
    std::string otherNameCert; // of the trusted CA, for another host
};

// The name the service goes by where a proxy reaches it; only the proxy resolves it. (Qt
// names no proxy for a loopback address.)
const char kServiceName[] = "reports.example";

// The peers a report may meet on its way, each holding it as long as it can.
enum class Peer {
    SilentAfterTickets, // TLS 1.3 done, request read, then silence (the session tickets came)
    NoHandshake,        // TCP accepted, no TLS handshake ever
    Drip,               // a well-formed answer, a byte every 100 ms
    SilentProxy,        // a proxy that never answers CONNECT
    SilentBehindProxy   // the first peer through a proxy's tunnel
};

// One such peer on loopback, and the address a report goes to to meet it.
struct PeerRig {
    PeerRig(const Pki& pki, Peer peer)
    {
        if (peer == Peer::NoHandshake || peer == Peer::SilentProxy) {
            silent.reset(new SilentPeer);
            port = silent->serverPort();
        } else if (peer == Peer::Drip) {
            service.reset(new ReportService(pki.serverCert, pki.serverKey, ReportService::Drip));
            port = service->serverPort();
        } else {
            // Plain OpenSSL with its defaults: TLS 1.3 and two session tickets after the
            // handshake. It reads nothing more, so a close from the other side goes unanswered.
            canned.reset(new fixture::CannedHttpsServer(pki.serverCert, pki.serverKey));
            if (canned->Start(std::string(), fixture::CannedHttpsServer::Mode::StallAfterHandshake))
                port = quint16(canned->Port());
        }
        if (peer == Peer::SilentProxy)
            proxyPort = port;
        if (peer == Peer::SilentBehindProxy) {
            proxy.reset(new ConnectProxy(port));
            proxyPort = proxy->serverPort();
        }
        url = (proxyPort ? QByteArray("https://") + kServiceName + ":" : QByteArray("https://127.0.0.1:")) +
              QByteArray::number(port) + kPath;
    }

    bool Ready() const
    {
        return port && (!silent || silent->isListening()) && (!service || service->Ready()) &&
               (!proxy || proxy->isListening());
    }

    // The report has gone as far as this peer lets it.
    bool OnTheWire() const
    {
        if (canned)
            return !canned->Requests().empty();
        return service ? service->received.size() == 1 : silent->Connections() == 1;
    }

    std::unique_ptr<fixture::CannedHttpsServer> canned;
    std::unique_ptr<ReportService> service;
    std::unique_ptr<SilentPeer> silent;
    std::unique_ptr<ConnectProxy> proxy;
    quint16 port = 0, proxyPort = 0;
    QByteArray url;
};

void AddPeerRows()
{
    QTest::addColumn<int>("peer");
    QTest::newRow("silent TLS 1.3 peer after its session tickets") << int(Peer::SilentAfterTickets);
    QTest::newRow("TCP accepted, no handshake") << int(Peer::NoHandshake);
    QTest::newRow("answer dripping a byte at a time") << int(Peer::Drip);
    QTest::newRow("proxy silent after the connection") << int(Peer::SilentProxy);
    QTest::newRow("silent peer behind a proxy") << int(Peer::SilentBehindProxy);
}

// A report service in this mode, and a web logger that sends to it and trusts the
// certificates in trusted (the test CA when empty).
struct Rig {
    Rig(const Pki& pki, ReportService::Mode mode, const std::string& trusted = std::string())
        : service(pki.serverCert, pki.serverKey, mode)
    {
        web.trustedCerts((trusted.empty() ? pki.ca.certPem : trusted).c_str()).endpointURL(service.Url().constData());
    }

    ReportService service;
    Consent consent;
    MemoryLogger sys{0x32};
    Logging::CWebLogger web{1, &consent, 0x20, &sys};
};

} // namespace

class WebLoggerTest : public QObject {
    Q_OBJECT

    Pki pki;

    void Critical(Logging::ILogger& logger, const std::wstring& text)
    {
        logger.severity(32) << text;
        logger.flush();
    }

private slots:
    void initTestCase()
    {
        std::string dir = fixture::ScratchDir("pki");
        pki.ca = fixture::MakeCa(fixture::ScratchDir("pki/ca"), "/CN=Report Test CA");
        pki.other = fixture::MakeCa(fixture::ScratchDir("pki/other"), "/CN=Someone Else CA");
        fixture::KeyFiles key = fixture::MakeKey(dir, "server", "rsa:2048");
        fixture::IssueCert(pki.ca, "server", key, "/CN=127.0.0.1", 30,
                           std::string("subjectAltName=IP:127.0.0.1,DNS:localhost,DNS:") + kServiceName +
                               "\nextendedKeyUsage=serverAuth");
        pki.serverCert = pki.ca.dir + "/server.pem";
        pki.serverKey = key.keyPem;
        // The common name too names the other host: a name check that falls back on it refuses as well.
        fixture::IssueCert(pki.ca, "othername", key, "/CN=elsewhere.example", 30,
                           "subjectAltName=DNS:elsewhere.example\nextendedKeyUsage=serverAuth");
        pki.otherNameCert = pki.ca.dir + "/othername.pem";
    }

    void sendsOnlyAfterConsent()
    {
        Rig rig(pki, ReportService::Answer);
        QVERIFY(rig.service.Ready());

        // Not critical: nobody is asked.
        rig.web.severity(16) << "only an error";
        rig.web.flush();
        QCOMPARE(rig.consent.asked, 0);

        rig.consent.answer = false;
        Critical(rig.web, L"first failure");
        QCOMPARE(rig.consent.asked, 1); // asked at once on the GUI thread
        QCOMPARE(rig.sys.CountWith(L"the user declined", 2), size_t(1));
        QVERIFY(Q(rig.consent.details).startsWith(QStringLiteral("first failure")));

        rig.consent.answer = true;
        Critical(rig.web, L"second failure");
        QTRY_COMPARE_WITH_TIMEOUT(rig.sys.CountWith(L"Error report sent", 2), size_t(1), 20000);
        QCOMPARE(rig.service.received.size(), 1);
        QCOMPARE(rig.service.connections, 1); // the declined report never reached the wire
        QCOMPARE(rig.sys.CountWith(L"could not be sent"), size_t(0));

        const Received& r = rig.service.received[0];
        // HTTP/1.0: the answer comes whole, ended by its length or the connection's close.
        QVERIFY2(r.head.startsWith(QByteArray("POST ") + kPath + " HTTP/1.0"), r.head.constData());
        QVERIFY2(r.head.toLower().contains("content-type: application/soap+xml; charset=utf-8"), r.head.constData());
        QString error;
        auto fields = ReportFields(r.body, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(fields.value("email"), QStringLiteral("user@example.org"));
        QCOMPARE(fields.value("comment"), QStringLiteral("It happened while logging in."));
        QCOMPARE(fields.value("details"), Q(rig.consent.details));
        QVERIFY(fields.value("details").startsWith(QStringLiteral("second failure")));
        QCOMPARE(fields.value("severity"), QStringLiteral("32"));
        QCOMPARE(fields.value("product"), QStringLiteral("1"));
        // Both critical entries also reached the system logger.
        QCOMPARE(rig.sys.CountWith(L"failure", 32), size_t(2));
    }

    void reportIsWellFormedWhateverTheText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("comment");
        QTest::newRow("markup") << QStringLiteral("<b>&amp; \"quoted\" 'x'</b> ]]>") << QStringLiteral("a < b & c");
        QTest::newRow("control bytes") << QString::fromUtf8("bell\x07 nul-free\x01 esc\x1b") << QStringLiteral("\x02");
        QTest::newRow("cyrillic") << QString::fromUtf8("Невалиден ПИН") << QString::fromUtf8("коментар");
    }

    void reportIsWellFormedWhateverTheText()
    {
        QFETCH(QString, text);
        QFETCH(QString, comment);
        Rig rig(pki, ReportService::Answer);
        QVERIFY(rig.service.Ready());
        rig.consent.comment = comment.toStdWString();
        Critical(rig.web, text.toStdWString());
        QTRY_COMPARE_WITH_TIMEOUT(rig.service.received.size(), 1, 20000);
        QString error;
        auto fields = ReportFields(rig.service.received[0].body, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error + "\n" + rig.service.received[0].body));
        // What the user was shown is what was sent.
        QCOMPARE(fields.value("details"), Q(rig.consent.details));
        QString shown = Q(rig.consent.details).left(text.size());
        for (int i = 0; i < text.size(); ++i)
            QCOMPARE(shown[i], text[i] < QChar(0x20) && text[i] != '\n' ? QChar(0xFFFD) : text[i]);
    }

    void refusesAServiceOutsideTheTrustedCertificates()
    {
        Rig rig(pki, ReportService::Answer, pki.other.certPem);
        QVERIFY(rig.service.Ready());
        Critical(rig.web, L"secret details");
        QTRY_COMPARE_WITH_TIMEOUT(rig.sys.CountWith(L"Error report could not be sent", 16), size_t(1), 20000);
        QVERIFY2(rig.service.received.isEmpty(), "the report went to an untrusted server");
        QCOMPARE(rig.sys.CountWith(L"Error report sent"), size_t(0));
    }

    void badSettingsAreLoggedAndNothingIsSent_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("certs");
        QTest::addColumn<QString>("why");
        QTest::newRow("clear text") << "http://127.0.0.1:%1/axis2/services/ReportLog" << "ca"
                                    << "is not an HTTPS address";
        QTest::newRow("no address") << "" << "ca" << "is not an HTTPS address";
        QTest::newRow("no certificates") << "https://127.0.0.1:%1/axis2/services/ReportLog" << "missing"
                                         << "no trusted certificate";
        QTest::newRow("certificate file empty") << "https://127.0.0.1:%1/axis2/services/ReportLog" << "empty"
                                                << "no trusted certificate";
    }

    void badSettingsAreLoggedAndNothingIsSent()
    {
        QFETCH(QString, url);
        QFETCH(QString, certs);
        QFETCH(QString, why);
        QTcpServer plain;
        QVERIFY(plain.listen(QHostAddress::LocalHost, 0));
        std::string dir = fixture::ScratchDir("settings");
        fixture::WriteText(dir + "/empty.pem", "");
        std::string certFile = certs == "ca" ? pki.ca.certPem : dir + "/" + certs.toStdString() + ".pem";
        QByteArray address = url.replace(QStringLiteral("%1"), QString::number(plain.serverPort())).toLatin1();

        Consent consent;
        MemoryLogger sys(0x32);
        Logging::CWebLogger web(1, &consent, 0x20, &sys);
        web.trustedCerts(certFile.c_str()).endpointURL(address.constData());
        Critical(web, L"failure");
        QCOMPARE(sys.CountWith(why.toStdWString(), 16), size_t(1)); // refused before any connection
        QCoreApplication::processEvents();
        QVERIFY(!plain.hasPendingConnections());
    }

    void deadServiceIsLogged()
    {
        fixture::RefusingPort nobody;
        const int port = nobody.Port();
        Consent consent;
        MemoryLogger sys(0x32);
        Logging::CWebLogger web(1, &consent, 0x20, &sys);
        QByteArray url = "https://127.0.0.1:" + QByteArray::number(port) + kPath;
        web.trustedCerts(pki.ca.certPem.c_str()).endpointURL(url.constData());
        Critical(web, L"failure");
        QTRY_COMPARE_WITH_TIMEOUT(sys.CountWith(L"Error report could not be sent", 16), size_t(1), 20000);
        QVERIFY2(sys.CountWith(L"refused") == 1, qPrintable(Q(sys.Dump())));
    }

    // However the service frames its answer, what it means reaches the log.
    void answerForms_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("logged");
        QTest::addColumn<int>("severity");
        QTest::newRow("fault, with its length") << int(ReportService::Fault) << "Report store is full" << 16;
        // Framed as an HTTP/1.0 request does not allow: refused, not read some way.
        QTest::newRow("fault, chunked") << int(ReportService::FaultChunked)
                                        << "framed its answer as \"chunked\" (Transfer-Encoding)" << 16;
        QTest::newRow("fault, ended by closing") << int(ReportService::FaultUntilClose) << "Report store is full" << 16;
        QTest::newRow("taken after 100 Continue") << int(ReportService::Continue) << "Error report sent" << 2;
        QTest::newRow("taken with bare line feeds") << int(ReportService::BareLineFeeds) << "Error report sent" << 2;
        QTest::newRow("not HTTP") << int(ReportService::NotHttp) << "did not answer in HTTP" << 16;
        QTest::newRow("answer without end") << int(ReportService::Endless) << "is longer than" << 16;
    }

    void answerForms()
    {
        QFETCH(int, mode);
        QFETCH(QString, logged);
        QFETCH(int, severity);
        Rig rig(pki, ReportService::Mode(mode));
        QVERIFY(rig.service.Ready());
        Critical(rig.web, L"failure");
        QTRY_VERIFY_WITH_TIMEOUT(rig.sys.CountWith(L"Error report", severity) == 1, 20000);
        QVERIFY2(rig.sys.CountWith(logged.toStdWString(), severity) == 1, qPrintable(Q(rig.sys.Dump())));
        QCOMPARE(rig.service.received.size(), 1);
    }

    // Framings a lax reader takes one way or another are refused, with what was wrong.
    void malformedFramingsAreRefused_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("logged");
        QTest::newRow("length that is no number") << int(ReportService::LengthNotNumber)
                                                  << "sent a malformed answer: its Content-Length \"abc\" is not a number.";
        QTest::newRow("chunk size with 0x") << int(ReportService::ChunkSizeHex)
                                            << "sent a malformed answer: it framed its answer as \"chunked\"";
        QTest::newRow("chunk without its line end") << int(ReportService::ChunkWithoutLineEnd)
                                                    << "sent a malformed answer: it framed its answer as \"chunked\"";
        QTest::newRow("encoding not asked for") << int(ReportService::Compressed)
                                                << "sent a malformed answer: it sent its answer encoded as \"gzip\"";
    }

    void malformedFramingsAreRefused()
    {
        QFETCH(int, mode);
        QFETCH(QString, logged);
        Rig rig(pki, ReportService::Mode(mode));
        QVERIFY(rig.service.Ready());
        Critical(rig.web, L"failure");
        QTRY_VERIFY_WITH_TIMEOUT(rig.sys.CountWith(L"Error report", 16) + rig.sys.CountWith(L"Error report", 2) == 1,
                                 20000);
        QVERIFY2(rig.sys.CountWith(logged.toStdWString(), 16) == 1, qPrintable(Q(rig.sys.Dump())));
    }

    // However long a service holds the line, sending as fast as it can from a thread of its
    // own (64 bytes a write), the outcome is logged within the time limit and a small
    // margin: reading the answer never holds the event loop.
    void outcomeWithinTheLimit_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QString>("logged");
        QTest::addColumn<int>("severity");
        const QByteArray soapHead = "HTTP/1.1 200 OK\r\nContent-Type: application/soap+xml; charset=utf-8\r\n";
        const QByteArray envelope =
            "<?xml version=\"1.0\"?><env:Envelope xmlns:env=\"http://www.w3.org/2003/05/soap-envelope\">"
            "<env:Body/></env:Envelope>";
        QByteArray chunks;
        for (char c : envelope.left(envelope.size() - 22) + QByteArray(180000, ' '))
            chunks += QByteArray("1\r\n") + c + "\r\n";
        QTest::newRow("1-byte chunks up to the bound")
            << soapHead + "Transfer-Encoding: chunked\r\n\r\n" + chunks << 3000 << "framed its answer as \"chunked\""
            << 16;
        QByteArray interim = "HTTP/1.1 100 Continue\r\n";
        for (int line = 0; line < 90; ++line)
            interim += "X-Pad-" + QByteArray::number(line) + ": " + QByteArray(95, 'p') + "\r\n";
        interim += "\r\n";
        // Some 950 kB in all: within the bound.
        QTest::newRow("100 large interim answers")
            << interim.repeated(100) + soapHead + "Content-Length: " + QByteArray::number(envelope.size()) + "\r\n\r\n" +
                   envelope
            << 8000 << "Error report sent" << 2;
    }

    void outcomeWithinTheLimit()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, limit);
        QFETCH(QString, logged);
        QFETCH(int, severity);
        fixture::CannedHttpsServer service(pki.serverCert, pki.serverKey);
        QVERIFY(service.Start(answer.toStdString(), fixture::CannedHttpsServer::Mode::Pieces));
        Consent consent;
        MemoryLogger sys(0x32);
        Logging::CWebLogger web(1, &consent, 0x20, &sys);
        web.trustedCerts(pki.ca.certPem.c_str()).endpointURL(service.Endpoint("127.0.0.1", kPath).c_str());
        web.timeout(limit);
        QElapsedTimer clock;
        clock.start();
        Critical(web, L"failure");
        const int margin = 2000;
        QTRY_VERIFY_WITH_TIMEOUT(sys.CountWith(L"Error report", 16) + sys.CountWith(L"Error report", 2) == 1,
                                 limit + margin);
        QVERIFY2(clock.elapsed() <= limit + margin, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(sys.CountWith(logged.toStdWString(), severity) == 1, qPrintable(Q(sys.Dump())));
        service.Stop();
    }

    // A redirect could lead the report off the trusted rig.service: it is not followed.
    void redirectIsNotFollowed()
    {
        Rig rig(pki, ReportService::Redirect);
        QVERIFY(rig.service.Ready());
        Critical(rig.web, L"failure");
        QTRY_COMPARE_WITH_TIMEOUT(rig.sys.CountWith(L"Error report could not be sent", 16), size_t(1), 20000);
        QVERIFY2(rig.sys.CountWith(L"answered HTTP 307") == 1, qPrintable(Q(rig.sys.Dump())));
        QCoreApplication::processEvents();
        QCOMPARE(rig.service.received.size(), 1);
        QCOMPARE(rig.sys.CountWith(L"Error report sent"), size_t(0));
    }

    // A rig.service that takes the connection and never answers must not hold up the program.
    void stallingServiceDoesNotBlock()
    {
        Rig rig(pki, ReportService::Stall);
        QVERIFY(rig.service.Ready());
        rig.web.timeout(1500);
        Critical(rig.web, L"failure");
        QCOMPARE(rig.consent.asked, 1);
        // flush has returned with the report still on its way; the event loop keeps running.
        QTRY_COMPARE_WITH_TIMEOUT(rig.service.received.size(), 1, 20000);
        QCOMPARE(rig.sys.CountWith(L"could not be sent"), size_t(0));
        QTRY_COMPARE_WITH_TIMEOUT(rig.sys.CountWith(L"Error report could not be sent", 16), size_t(1), 20000);
        QVERIFY2(rig.sys.CountWith(L"no answer") == 1, qPrintable(Q(rig.sys.Dump())));
    }

    // The time limit is for the whole exchange: a service that keeps sending a byte now and then is given up too.
    void drippingServiceIsGivenUp()
    {
        Rig rig(pki, ReportService::Drip);
        QVERIFY(rig.service.Ready());
        rig.web.timeout(1500);
        Critical(rig.web, L"failure");
        QTRY_COMPARE_WITH_TIMEOUT(rig.sys.CountWith(L"Error report could not be sent", 16), size_t(1), 20000);
        QVERIFY2(rig.sys.CountWith(L"no answer") == 1, qPrintable(Q(rig.sys.Dump())));
    }

    // The window's close ends the program at once whatever holds the report: a child process
    // sends one to the peer, is told to close when the report is as far as the peer lets it go,
    // and must be gone within 2 s of that.
    void closingWithAReportOnTheWire_data() { AddPeerRows(); }

    void closingWithAReportOnTheWire()
    {
        QFETCH(int, peer);
        PeerRig rig(pki, Peer(peer));
        QVERIFY(rig.Ready());
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TESSALY_TEST_CLOSING_URL"), QString::fromLatin1(rig.url));
        env.insert(QStringLiteral("TESSALY_TEST_CLOSING_CA"), QString::fromStdString(pki.ca.certPem));
        env.insert(QStringLiteral("TESSALY_TEST_CLOSING_PROXY"), QString::number(rig.proxyPort));
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        QElapsedTimer clock;
        qint64 ended = -1;
        connect(&child, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
                [&] { ended = clock.elapsed(); });
        child.start(QCoreApplication::applicationFilePath(), QStringList());
        QVERIFY(child.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(rig.OnTheWire() || child.state() == QProcess::NotRunning, 60000);
        QVERIFY2(child.state() == QProcess::Running, "the child ended before its report was on the wire");
        QTest::qWait(300); // the tickets, or the first bytes of the drip, reach the report's read
        clock.start();
        child.write("close\n");
        QTRY_VERIFY_WITH_TIMEOUT(ended >= 0, 60000);
        qInfo("%lld ms from the close to the end of the process", ended);
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0); // nothing of the report logged, no leak, no fault
        QVERIFY2(ended < 2000, qPrintable(QString::number(ended) + " ms"));
    }

    // The limit holds for the whole exchange, from the look-up to the close, whatever holds the
    // report: the outcome comes when it runs out, not later.
    void limitHoldsForTheWholeExchange_data() { AddPeerRows(); }

    void limitHoldsForTheWholeExchange()
    {
        QFETCH(int, peer);
        const int limit = 3000;
        PeerRig rig(pki, Peer(peer));
        QVERIFY(rig.Ready());
        ProxyInUse proxy(rig.proxyPort);
        Consent consent;
        MemoryLogger sys(0x32);
        Logging::CWebLogger web(1, &consent, 0x20, &sys);
        web.trustedCerts(pki.ca.certPem.c_str()).endpointURL(rig.url.constData());
        web.timeout(limit);
        QElapsedTimer clock;
        clock.start();
        Critical(web, L"failure");
        QTRY_VERIFY_WITH_TIMEOUT(sys.CountWith(L"Error report") == 1, 20000);
        const qint64 elapsed = clock.elapsed();
        qInfo("outcome after %lld ms", elapsed);
        QVERIFY2(rig.OnTheWire(), "the report never reached the peer");
        QVERIFY2(sys.CountWith(L"no answer from", 16) == 1 && sys.CountWith(L"within 3000 ms", 16) == 1,
                 qPrintable(Q(sys.Dump())));
        QVERIFY2(elapsed >= limit && elapsed < limit + 1000, qPrintable(QString::number(elapsed) + " ms"));
    }

    // A host name is looked up, each of its addresses tried in turn, and the certificate
    // checked against the name.
    void sendsToAServiceByItsName()
    {
        const QHostInfo local = QHostInfo::fromName(QStringLiteral("localhost"));
        if (!local.addresses().contains(QHostAddress(QHostAddress::LocalHost)))
            QSKIP("this machine has no name localhost for 127.0.0.1");
        ReportService service(pki.serverCert, pki.serverKey, ReportService::Answer);
        QVERIFY(service.Ready());
        Consent consent;
        MemoryLogger sys(0x32);
        Logging::CWebLogger web(1, &consent, 0x20, &sys);
        const QByteArray url = "https://localhost:" + QByteArray::number(service.serverPort()) + kPath;
        web.trustedCerts(pki.ca.certPem.c_str()).endpointURL(url.constData());
        Critical(web, L"failure");
        QTRY_VERIFY_WITH_TIMEOUT(sys.CountWith(L"Error report") == 1, 20000);
        QVERIFY2(sys.CountWith(L"Error report sent", 2) == 1, qPrintable(Q(sys.Dump())));
        QVERIFY(service.received.value(0).head.contains("Host: localhost:"));
    }

    // A name that cannot be found, however long the machine's resolver takes to say so, ends
    // within the limit.
    void unknownNameEndsWithinTheLimit()
    {
        const int limit = 3000;
        Consent consent;
        MemoryLogger sys(0x32);
        Logging::CWebLogger web(1, &consent, 0x20, &sys);
        web.trustedCerts(pki.ca.certPem.c_str()).endpointURL("https://report-service.invalid/axis2/services/ReportLog");
        web.timeout(limit);
        QElapsedTimer clock;
        clock.start();
        Critical(web, L"failure");
        QTRY_VERIFY_WITH_TIMEOUT(sys.CountWith(L"Error report") == 1, 20000);
        QVERIFY2(clock.elapsed() < limit + 1000, qPrintable(QString::number(clock.elapsed()) + " ms"));
        QVERIFY2(sys.CountWith(L"Error report could not be sent", 16) == 1, qPrintable(Q(sys.Dump())));
    }

    // Only a certificate that names the address's host vouches for the service, even one of the
    // trusted CA: by its IP address, or by its name where a proxy reaches it.
    void refusesACertificateForAnotherName_data()
    {
        QTest::addColumn<bool>("byName");
        QTest::addColumn<QString>("logged");
        QTest::newRow("address, certificate for a name") << false << "mismatch";
        QTest::newRow("name, certificate for another name") << true << "mismatch";
    }

    void refusesACertificateForAnotherName()
    {
        QFETCH(bool, byName);
        QFETCH(QString, logged);
        ReportService service(pki.otherNameCert, pki.serverKey, ReportService::Answer);
        QVERIFY(service.Ready());
        ConnectProxy tunnel(service.serverPort());
        ProxyInUse proxy(byName ? tunnel.serverPort() : 0);
        const QByteArray url = (byName ? QByteArray("https://") + kServiceName : QByteArray("https://127.0.0.1")) + ":" +
                               QByteArray::number(service.serverPort()) + kPath;
        Consent consent;
        MemoryLogger sys(0x32);
        Logging::CWebLogger web(1, &consent, 0x20, &sys);
        web.trustedCerts(pki.ca.certPem.c_str()).endpointURL(url.constData());
        Critical(web, L"secret details");
        QTRY_COMPARE_WITH_TIMEOUT(sys.CountWith(L"Error report could not be sent", 16), size_t(1), 20000);
        QVERIFY2(sys.CountWith(logged.toStdWString(), 16) == 1, qPrintable(Q(sys.Dump())));
        QCOMPARE(service.connections, 1);
        QVERIFY2(service.received.isEmpty(), "the report went to a server of another name");
        QVERIFY(!tunnel.upstream.contains("secret details"));
    }

    // The machine's HTTP proxy carries the report by CONNECT; it sees the TLS stream alone,
    // and its credentials go to it only.
    void sendsThroughAnHttpProxy_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::newRow("no credentials") << QString() << QString();
        QTest::newRow("credentials") << "reporter" << "pass:word";
    }

    void sendsThroughAnHttpProxy()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        ReportService service(pki.serverCert, pki.serverKey, ReportService::Answer);
        QVERIFY(service.Ready());
        ConnectProxy tunnel(service.serverPort());
        QVERIFY(tunnel.isListening());
        ProxyInUse proxy(tunnel.serverPort(), user, password);
        const QByteArray target = kServiceName + QByteArray(":") + QByteArray::number(service.serverPort());
        const QByteArray url = "https://" + target + kPath;
        Consent consent;
        MemoryLogger sys(0x32);
        Logging::CWebLogger web(1, &consent, 0x20, &sys);
        web.trustedCerts(pki.ca.certPem.c_str()).endpointURL(url.constData());
        Critical(web, L"secret details");
        QTRY_VERIFY_WITH_TIMEOUT(sys.CountWith(L"Error report") == 1, 20000);
        QVERIFY2(sys.CountWith(L"Error report sent", 2) == 1, qPrintable(Q(sys.Dump())));
        QCOMPARE(service.received.size(), 1);
        QVERIFY(service.received[0].body.contains("secret details"));

        QVERIFY2(tunnel.request.startsWith("CONNECT " + target + " HTTP/1."), tunnel.request.constData());
        const QByteArray authorization = "Proxy-Authorization: Basic " + (user + ":" + password).toUtf8().toBase64();
        QCOMPARE(tunnel.request.contains(authorization), !user.isEmpty());
        QVERIFY2(!service.received[0].head.toLower().contains("proxy-authorization"), service.received[0].head.constData());
        // Nothing but TLS records passed the proxy either way.
        QVERIFY(IsTlsStream(tunnel.upstream));
        QVERIFY(IsTlsStream(tunnel.downstream));
        for (const QByteArray& plain : {QByteArray("secret details"), QByteArray("user@example.org"),
                                        QByteArray("ReportLog"), QByteArray("Envelope"), QByteArray("HTTP/1.")})
            QVERIFY2(!tunnel.upstream.contains(plain) && !tunnel.downstream.contains(plain), plain.constData());
    }

    // A proxy that does not open the tunnel fails the report at once, in words that name it and
    // the service, whatever it answered.
    void proxyThatDoesNotOpenTheTunnel_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("logged");
        QTest::addColumn<QString>("detail");
        const QString refused = QStringLiteral("did not open a tunnel to ") + kServiceName + ":443";
        QTest::newRow("403") << QByteArray("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n") << refused
                             << "(403 Forbidden)";
        QTest::newRow("407, asking for other credentials")
            << QByteArray("HTTP/1.1 407 Proxy Authentication Required\r\n"
                          "Proxy-Authenticate: Basic realm=\"lan\"\r\n\r\n")
            << refused << "(407 Proxy Authentication Required)";
        QTest::newRow("an answer that is no HTTP") << QByteArray("SSH-2.0-OpenSSH_9.2p1 Debian-2\r\n") << refused << "";
        QTest::newRow("closed without a word") << QByteArray() << "closed the connection" << "";
        QTest::newRow("closed within the status line") << QByteArray("HTTP/1.1 20") << "closed the connection" << "";
        QTest::newRow("closed within the head") << QByteArray("HTTP/1.1 200 Connection established\r\nVia: 1.1 lan\r\n")
                                                << "closed the connection" << "";
        QTest::newRow("a head without end")
            << "HTTP/1.1 200 Connection established\r\n" + QByteArray(20000, 'x') << "sent an answer without end" << "";
    }

    void proxyThatDoesNotOpenTheTunnel()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, logged);
        QFETCH(QString, detail);
        const int limit = 15000;
        RefusingProxy refusing(answer);
        QVERIFY(refusing.isListening());
        ProxyInUse proxy(refusing.serverPort(), QStringLiteral("reporter"), QStringLiteral("pass:word"));
        const QByteArray url = QByteArray("https://") + kServiceName + kPath;
        Consent consent;
        MemoryLogger sys(0x32);
        Logging::CWebLogger web(1, &consent, 0x20, &sys);
        web.trustedCerts(pki.ca.certPem.c_str()).endpointURL(url.constData());
        web.timeout(limit);
        QElapsedTimer clock;
        clock.start();
        Critical(web, L"secret details");
        QTRY_VERIFY_WITH_TIMEOUT(sys.CountWith(L"Error report") == 1, 20000);
        // Given up on the proxy's word, not at the limit.
        QVERIFY2(clock.elapsed() < limit / 2, qPrintable(QString::number(clock.elapsed()) + " ms"));
        const QString proxyName = "the proxy 127.0.0.1:" + QString::number(refusing.serverPort()) + " ";
        const QString text = Q(sys.Dump());
        QVERIFY2(sys.CountWith(L"Error report could not be sent", 16) == 1, qPrintable(text));
        QVERIFY2(text.contains(proxyName + logged) && text.contains(detail), qPrintable(text));
        QVERIFY2(!text.contains(QStringLiteral("pass:word")) && !text.contains(QStringLiteral("cGFzczp3b3Jk")),
                 qPrintable(text));
        QVERIFY2(refusing.request.startsWith("CONNECT " + QByteArray(kServiceName) + ":443 HTTP/1."),
                 refusing.request.constData());
        QVERIFY(!refusing.request.contains("secret details"));
    }

    void otherThreadsAreAskedOnTheGuiThread()
    {
        Rig rig(pki, ReportService::Answer);
        QVERIFY(rig.service.Ready());
        std::thread worker([&] { Critical(rig.web, L"from a worker"); });
        worker.join(); // returned without waiting for the user
        QCOMPARE(rig.consent.asked, 0);
        QTRY_COMPARE_WITH_TIMEOUT(rig.consent.asked, 1, 20000);
        QCOMPARE(rig.consent.askedOn, QCoreApplication::instance()->thread());
        QTRY_COMPARE_WITH_TIMEOUT(rig.service.received.size(), 1, 20000);
        QVERIFY(rig.service.received[0].body.contains("from a worker"));
    }

    void anotherCriticalWhileAskingWaitsItsTurn()
    {
        Rig rig(pki, ReportService::Answer);
        QVERIFY(rig.service.Ready());
        rig.consent.whileAsking = [&] { Critical(rig.web, L"second, while the first is asked"); };
        Critical(rig.web, L"first");
        QCOMPARE(rig.consent.asked, 2);
        QCOMPARE(rig.consent.deepest, 1);
        QTRY_COMPARE_WITH_TIMEOUT(rig.service.received.size(), 2, 20000);
    }

    void noOneToAsk()
    {
        MemoryLogger sys(0x32);
        Logging::CWebLogger web(1, nullptr, 0x20, &sys);
        Critical(web, L"failure");
        QCOMPARE(sys.CountWith(L"not offered", 2), size_t(1));
        QCOMPARE(sys.CountWith(L"failure", 32), size_t(1));
    }
};

// The child of closingWithAReportOnTheWire: sends a report to the address it is given and,
// once told on its standard input, closes the logger and ends, as the window does at its close.
int ClosingChild(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ProxyInUse proxy(quint16(qEnvironmentVariableIntValue("TESSALY_TEST_CLOSING_PROXY")));
    Consent consent;
    MemoryLogger sys(0x32);
    std::unique_ptr<Logging::CWebLogger> web(new Logging::CWebLogger(1, &consent, 0x20, &sys));
    web->trustedCerts(qgetenv("TESSALY_TEST_CLOSING_CA").constData())
        .endpointURL(qgetenv("TESSALY_TEST_CLOSING_URL").constData());
    web->severity(32) << L"failure";
    web->flush();
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        input.setEnabled(false);
        web.reset();
        app.quit();
    });
    app.exec();
    if (sys.CountWith(L"Error report") != 0) {
        fprintf(stderr, "%ls", sys.Dump().c_str());
        return 3; // the report was not given up
    }
    return 0;
}

int main(int argc, char** argv)
{
    // The loopback service is reached directly, whatever proxy the machine names.
    for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        qunsetenv(name);
    if (qEnvironmentVariableIsSet("TESSALY_TEST_CLOSING_URL"))
        return ClosingChild(argc, argv);
    QCoreApplication app(argc, argv);
    WebLoggerTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_weblogger.moc"
