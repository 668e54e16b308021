// The logger chain: masks, entry building, threads, the process-wide logger, the system log.
#include "MemoryLogger.h"

#include <logging/SysLogger.h>

#include "Fixture.h"

#include <QtTest>

#include <fcntl.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>

namespace {

std::wstring Text(const MemoryLogger& log, size_t i)
{
    auto entries = log.Entries();
    return i < entries.size() ? entries[i].text : L"<missing>";
}

QString Q(const std::wstring& s)
{
    return QString::fromStdWString(s);
}

// Runs body with standard error going to a file and returns what was written there.
template <typename F>
std::string CaptureStderr(const std::string& path, F body)
{
    fflush(stderr);
    int saved = dup(STDERR_FILENO);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDERR_FILENO);
    close(fd);
    body();
    fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    return fixture::ReadText(path);
}

} // namespace

class LoggerTest : public QObject {
    Q_OBJECT

private slots:
    void chainWritesByMask_data()
    {
        QTest::addColumn<int>("severity");
        QTest::addColumn<bool>("toWeb");
        QTest::addColumn<bool>("toSys");
        // The program's chain: web mask 0x20 in front of a system logger with mask 0x32.
        QTest::newRow("critical") << 32 << true << true;
        QTest::newRow("error") << 16 << false << true;
        QTest::newRow("info") << 2 << false << true;
        QTest::newRow("warning") << 8 << false << false;
        QTest::newRow("debug") << 1 << false << false;
    }

    void chainWritesByMask()
    {
        QFETCH(int, severity);
        QFETCH(bool, toWeb);
        QFETCH(bool, toSys);
        MemoryLogger sys(0x32);
        MemoryLogger web(0x20, &sys);
        web.severity(severity) << L"entry";
        web.flush();
        QCOMPARE(web.Count(), size_t(toWeb ? 1 : 0));
        QCOMPARE(sys.Count(), size_t(toSys ? 1 : 0));
        if (toSys) {
            QCOMPARE(sys.Entries()[0].severity, (unsigned long)severity);
            QCOMPARE(Q(Text(sys, 0)), QStringLiteral("entry"));
        }
    }

    void entryIsBuiltInOrderFromBothTextKinds()
    {
        MemoryLogger log(0xFF);
        log.severity(16) << std::wstring(L"Unable to login.") << "\n" << "PIN wrong" << " "
                         << std::wstring(L"CKR_PIN_INCORRECT");
        log << static_cast<const char*>(nullptr);
        QCOMPARE(log.Count(), size_t(0)); // nothing before flush
        log.flush();
        QCOMPARE(log.Count(), size_t(1));
        QCOMPARE(Q(Text(log, 0)), QStringLiteral("Unable to login.\nPIN wrong CKR_PIN_INCORRECT"));
        log.flush(); // no open entry: nothing more
        QCOMPARE(log.Count(), size_t(1));
    }

    void narrowTextIsUtf8_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");
        QTest::newRow("ascii") << QByteArray("plain") << QStringLiteral("plain");
        QTest::newRow("cyrillic") << QByteArray("\xd0\x93\xd1\x80\xd0\xb5\xd1\x88\xd0\xba\xd0\xb0")
                                  << QString::fromUtf8("Грешка");
        QTest::newRow("four-byte") << QByteArray("\xf0\x9f\x94\x91") << QString::fromUtf8("\xf0\x9f\x94\x91");
        QTest::newRow("stray continuation") << QByteArray("a\x80z") << QString::fromUtf8("a\xef\xbf\xbdz");
        QTest::newRow("cut sequence") << QByteArray("a\xd0") << QString::fromUtf8("a\xef\xbf\xbd");
        QTest::newRow("overlong slash") << QByteArray("\xc0\xaf") << QString::fromUtf8("\xef\xbf\xbd");
        QTest::newRow("surrogate") << QByteArray("\xed\xa0\x80!") << QString::fromUtf8("\xef\xbf\xbd!");
    }

    void narrowTextIsUtf8()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        MemoryLogger log(0xFF);
        log.severity(2) << bytes.constData();
        log.flush();
        QCOMPARE(Q(Text(log, 0)), expected);
    }

    void newEntryClosesOneLeftOpen()
    {
        MemoryLogger log(0xFF);
        log.severity(16) << "forgotten";
        log.severity(32) << "next";
        log.flush();
        QCOMPARE(log.Count(), size_t(2));
        QCOMPARE(log.Entries()[0].severity, 16ul);
        QCOMPARE(Q(Text(log, 0)), QStringLiteral("forgotten"));
        QCOMPARE(log.Entries()[1].severity, 32ul);
        QCOMPARE(Q(Text(log, 1)), QStringLiteral("next"));
    }

    void threadsBuildTheirOwnEntries()
    {
        MemoryLogger log(0xFF);
        const int kThreads = 4, kEntries = 200;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&log, t] {
                for (int i = 0; i < kEntries; ++i) {
                    std::string id = std::to_string(t);
                    log.severity(16) << id.c_str() << ":" << id.c_str() << ":" << id.c_str();
                    log.flush();
                }
            });
        for (auto& th : threads)
            th.join();
        auto entries = log.Entries();
        QCOMPARE(int(entries.size()), kThreads * kEntries);
        for (const auto& e : entries) {
            std::wstring c(1, e.text.empty() ? L'?' : e.text[0]);
            QCOMPARE(Q(e.text), Q(c + L":" + c + L":" + c));
        }
    }

    void instanceIsTheNewestLiveLogger()
    {
        ILoggerDiscardsWhenNoneAlive();
        {
            MemoryLogger sys(0x32);
            QCOMPARE(&Logging::ILogger::instance(), static_cast<Logging::ILogger*>(&sys));
            {
                MemoryLogger web(0x20, &sys);
                QCOMPARE(&Logging::ILogger::instance(), static_cast<Logging::ILogger*>(&web));
                Logging::ILogger::instance().severity(32) << "through the head";
                Logging::ILogger::instance().flush();
                QCOMPARE(web.Count(), size_t(1));
                QCOMPARE(sys.Count(), size_t(1));
            }
            QCOMPARE(&Logging::ILogger::instance(), static_cast<Logging::ILogger*>(&sys));
        }
        ILoggerDiscardsWhenNoneAlive();
    }

    // The system log gets the text as it stands: "%" is never read as a format.
    void sysLogWritesPercentAsText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("conversions") << QStringLiteral("100% done %s %n %d %x %%");
        QTest::newRow("many %s") << QString("%s").repeated(64);
        QTest::newRow("cyrillic") << QString::fromUtf8("Грешка 50%");
        QTest::newRow("two lines") << QStringLiteral("Unable to login.\nPIN %n");
    }

    void sysLogWritesPercentAsText()
    {
        QFETCH(QString, text);
        std::string dir = fixture::ScratchDir("syslog");
        std::string seen = CaptureStderr(dir + "/stderr.txt", [&] {
            // LOG_PERROR: the C library echoes each message on standard error, as sent.
            Logging::CSysLogger sys("tessaly-test", 0x32, nullptr, LOG_PID | LOG_PERROR);
            sys.severity(16) << text.toStdWString();
            sys.flush();
            sys.severity(4) << "not in the mask";
            sys.flush();
        });
        QString out = QString::fromUtf8(seen.c_str());
        QVERIFY2(out.contains(QStringLiteral("tessaly-test[%1]: ").arg(getpid()) + text), qPrintable(out));
        QVERIFY2(!out.contains(QStringLiteral("not in the mask")), qPrintable(out));
    }

    void sysLogKeepsTextAfterNul()
    {
        std::string dir = fixture::ScratchDir("syslog-nul");
        std::string seen = CaptureStderr(dir + "/stderr.txt", [&] {
            Logging::CSysLogger sys("tessaly-test", 0x32, nullptr, LOG_PID | LOG_PERROR);
            sys.severity(32) << std::wstring(L"before\0after", 12);
            sys.flush();
        });
        QVERIFY2(QString::fromUtf8(seen.c_str()).contains(QString::fromUtf8("before\xef\xbf\xbd" "after")), seen.c_str());
    }

    void sysLogPriorities()
    {
        QCOMPARE(Logging::CSysLogger::Priority(32), LOG_CRIT);
        QCOMPARE(Logging::CSysLogger::Priority(16), LOG_ERR);
        QCOMPARE(Logging::CSysLogger::Priority(2), LOG_INFO);
        QCOMPARE(Logging::CSysLogger::Priority(0x30), LOG_CRIT);
    }

private:
    void ILoggerDiscardsWhenNoneAlive()
    {
        Logging::ILogger& none = Logging::ILogger::instance();
        none.severity(32) << "nowhere" << std::wstring(L"at all");
        none.flush();
        QCOMPARE(&Logging::ILogger::instance(), &none);
    }
};

QTEST_GUILESS_MAIN(LoggerTest)
#include "test_logger.moc"
