// Certificate files: which files are read (regular ones of 1 byte up to the cap), without
// blocking on a FIFO, writing that replaces a file whole or leaves it as it was (also when the
// write stops half way), targets that are no regular file, and the export's PEM form.
#include <QDir>
#include <QFile>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "CertificateFile.h"
#include "Fixture.h"

namespace {
QString Scratch(const QString& name)
{
    QString root = qEnvironmentVariable("TESSALY_TEST_SCRATCH");
    if (root.isEmpty())
        root = QDir::tempPath() + QStringLiteral("/tessaly-certificatefile");
    const QString dir = root + QLatin1Char('/') + name;
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    return dir;
}

void Write(const QString& path, const QByteArray& data)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(data);
}

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

// A file of that size with no data written (a hole).
bool Sparse(const QString& path, qint64 size)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return false;
    const bool ok = ::ftruncate(fd, size) == 0;
    ::close(fd);
    return ok;
}

bool IsCharacterDevice(const char* path)
{
    struct stat info;
    return ::stat(path, &info) == 0 && S_ISCHR(info.st_mode);
}
} // namespace

class CertificateFileTest : public QObject
{
    Q_OBJECT
private:
    QString m_dir;

private slots:
    void initTestCase()
    {
        m_dir = Scratch(QStringLiteral("files"));
        Write(m_dir + "/one.der", QByteArray("\x30", 1));
        Write(m_dir + "/cert.der", QByteArray(3000, 'c'));
        Write(m_dir + "/empty.der", QByteArray());
        QVERIFY(Sparse(m_dir + "/cap.der", CCertificateFile::kMaxSize));
        QVERIFY(Sparse(m_dir + "/over.der", CCertificateFile::kMaxSize + 1));
        QVERIFY(Sparse(m_dir + "/over32.der", qint64(0xFFFFFFFF) + 1));
        QCOMPARE(::mkfifo(QFile::encodeName(m_dir + "/fifo.der").constData(), 0600), 0);
        QVERIFY(QDir().mkpath(m_dir + "/folder.der"));
        QVERIFY(QFile::link(m_dir + "/cert.der", m_dir + "/link.der"));
    }

    void read_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("size");  // -1: refused
        QTest::addColumn<QString>("error");
        QTest::newRow("one byte") << "one.der" << 1 << QString();
        QTest::newRow("a certificate") << "cert.der" << 3000 << QString();
        QTest::newRow("a link to one") << "link.der" << 3000 << QString();
        QTest::newRow("exactly the cap") << "cap.der" << int(CCertificateFile::kMaxSize) << QString();
        QTest::newRow("empty") << "empty.der" << -1 << "The specified file is empty.";
        QTest::newRow("one byte over the cap") << "over.der" << -1
                                               << "The specified file is too large to be a certificate.";
        QTest::newRow("over the 32-bit length") << "over32.der" << -1
                                                << "The specified file is too large to be a certificate.";
        QTest::newRow("FIFO without a writer") << "fifo.der" << -1 << "The specified file is not a regular file.";
        QTest::newRow("folder") << "folder.der" << -1 << "The specified file is not a regular file.";
        QTest::newRow("missing") << "missing.der" << -1 << "Unable to open the specified file.";
        QTest::newRow("device") << "/dev/zero" << -1 << "The specified file is not a regular file.";
    }

    void read()
    {
        QFETCH(QString, name);
        QFETCH(int, size);
        QFETCH(QString, error);
        const QString path = name.startsWith('/') ? name : m_dir + QLatin1Char('/') + name;
        QByteArray data("left over");
        QString text;
        const bool ok = CCertificateFile::Read(path, data, text);
        QCOMPARE(ok, size >= 0);
        QCOMPARE(text, error);
        QCOMPARE(data.size(), ok ? size : 0);
    }

    // A new file, a file replaced whole (shorter than before), and no temporary file left.
    void writeReplacesWhole()
    {
        const QString dir = Scratch(QStringLiteral("write"));
        const QString path = dir + "/out.der";
        QString error;
        QVERIFY(CCertificateFile::Write(path, QByteArray(5000, 'a'), error));
        QCOMPARE(ReadAll(path), QByteArray(5000, 'a'));
        QVERIFY(CCertificateFile::Write(path, QByteArray("short"), error));
        QCOMPARE(ReadAll(path), QByteArray("short"));
        QCOMPARE(QDir(dir).entryList(QDir::Files), QStringList{"out.der"});
    }

    // A write that stops half way (a full disk) is a failure: a new file is not left behind,
    // an existing one keeps what it held, and no temporary file stays.
    void writeStoppedHalfWay_data()
    {
        QTest::addColumn<bool>("existing");
        QTest::newRow("new file") << false;
        QTest::newRow("existing file") << true;
    }

    void writeStoppedHalfWay()
    {
        QFETCH(bool, existing);
        const QString dir = Scratch(QStringLiteral("halfway-") + QTest::currentDataTag());
        const QString path = dir + "/out.der";
        if (existing)
            Write(path, QByteArray("precious contents"));
        QString error;
        bool ok = true;
        {
            fixture::FileSizeLimit limit(1000);
            QVERIFY(limit.IsSet());
            ok = CCertificateFile::Write(path, QByteArray(3000, 'a'), error);
        }
        QVERIFY(!ok);
        QCOMPARE(error, QStringLiteral("Unable to write the specified file."));
        if (existing)
            QCOMPARE(ReadAll(path), QByteArray("precious contents"));
        QCOMPARE(QDir(dir).entryList(QDir::Files), existing ? QStringList{"out.der"} : QStringList());
    }

    // A device or a FIFO is refused, also behind a link: it is neither replaced by a regular
    // file nor written without knowing whether the bytes arrived (/dev/full takes none).
    void writeToWhatIsNoRegularFile_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("/dev/full") << "/dev/full";
        QTest::newRow("FIFO") << "fifo.der";
        QTest::newRow("link to the FIFO") << "link.der";
    }

    void writeToWhatIsNoRegularFile()
    {
        QFETCH(QString, name);
        const QString dir = Scratch(QStringLiteral("special"));
        QCOMPARE(::mkfifo(QFile::encodeName(dir + "/fifo.der").constData(), 0600), 0);
        QVERIFY(QFile::link(dir + "/fifo.der", dir + "/link.der"));
        const QString path = name.startsWith('/') ? name : dir + QLatin1Char('/') + name;
        QVERIFY(IsCharacterDevice("/dev/full"));
        QString error;
        QVERIFY(!CCertificateFile::Write(path, QByteArray(3000, 'a'), error));
        QCOMPARE(error, QStringLiteral("The specified file is not a regular file."));
        QVERIFY(IsCharacterDevice("/dev/full"));
        struct stat fifo;
        QVERIFY(::lstat(QFile::encodeName(dir + "/fifo.der").constData(), &fifo) == 0 && S_ISFIFO(fifo.st_mode));
        QVERIFY(QFileInfo(dir + "/link.der").isSymLink());
        QCOMPARE(QDir(dir).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
                 QStringList({"fifo.der", "link.der"}));
    }

    // The PEM form reads back as the same bytes, in lines of 64 characters; the suffix decides
    // the form, the filter only where the suffix says nothing.
    void pemForm()
    {
        const QByteArray der = QByteArray("\x30\x82", 2) + QByteArray(200, '\x5a');
        const QByteArray pem = CCertificateFile::PemOfDer(der);
        QVERIFY(pem.startsWith("-----BEGIN CERTIFICATE-----\n"));
        QVERIFY(pem.endsWith("\n-----END CERTIFICATE-----\n"));
        for (const QByteArray& line : pem.split('\n'))
            QVERIFY2(line.size() <= 64, line.constData());
        QCOMPARE(CCertificateFile::DerOfPem(pem), der);

        struct TCase {
            const char* name;
            bool pemFilter;
            CCertificateFile::TFormat format;
        };
        for (const TCase& c : {TCase{"a.pem", false, CCertificateFile::Pem}, TCase{"a.PEM", false, CCertificateFile::Pem},
                               TCase{"a.cer", true, CCertificateFile::Der}, TCase{"a.crt", true, CCertificateFile::Der},
                               TCase{"a.DER", true, CCertificateFile::Der}, TCase{"a", true, CCertificateFile::Pem},
                               TCase{"a", false, CCertificateFile::Der}, TCase{"a.pem.bak", true, CCertificateFile::Pem},
                               TCase{"a.txt", false, CCertificateFile::Der}})
            QVERIFY2(CCertificateFile::FormatOf(QString::fromLatin1("/x/") + QLatin1String(c.name), c.pemFilter) ==
                         c.format,
                     c.name);
    }

    // Nowhere to put the temporary file, or a folder in the way: refused, nothing changed.
    void writeRefused()
    {
        const QString dir = Scratch(QStringLiteral("refused"));
        QVERIFY(QDir().mkpath(dir + "/taken.der"));
        QString error;
        QVERIFY(!CCertificateFile::Write(dir + "/taken.der", QByteArray("x"), error));
        QVERIFY(!error.isEmpty());
        QVERIFY(QFileInfo(dir + "/taken.der").isDir());
        error.clear();
        QVERIFY(!CCertificateFile::Write(dir + "/no/such/folder/out.der", QByteArray("x"), error));
        QCOMPARE(error, QStringLiteral("Unable to open the specified file."));
    }
};

QTEST_MAIN(CertificateFileTest)
#include "test_certificatefile.moc"
