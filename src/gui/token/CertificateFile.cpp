#include "CertificateFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray kBegin = QByteArrayLiteral("-----BEGIN CERTIFICATE-----");
const QByteArray kEnd = QByteArrayLiteral("-----END CERTIFICATE-----");

// Closes the descriptor when the scope ends.
struct TFileDescriptor {
    int fd;
    ~TFileDescriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

bool CCertificateFile::Read(const QString& path, QByteArray& data, QString& error)
{
    data.clear();
    // Non-blocking, so that opening a FIFO does not wait for a writer; the type is checked
    // on the open descriptor, so the file cannot be swapped after the check.
    TFileDescriptor file{::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    if (file.fd < 0) {
        error = tr("Unable to open the specified file.");
        return false;
    }
    struct stat info;
    if (::fstat(file.fd, &info) != 0) {
        error = tr("Unable to open the specified file.");
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = tr("The specified file is not a regular file.");
        return false;
    }
    if (info.st_size == 0) {
        error = tr("The specified file is empty.");
        return false;
    }
    if (info.st_size > kMaxSize) {
        error = tr("The specified file is too large to be a certificate.");
        return false;
    }
    data.resize(int(info.st_size));
    qint64 done = 0;
    while (done < info.st_size) {
        const ssize_t got = ::read(file.fd, data.data() + done, size_t(info.st_size - done));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            data.clear();
            error = tr("Unable to read the specified file.");
            return false;
        }
        if (got == 0)
            break;  // the file shrank meanwhile
        done += got;
    }
    data.resize(int(done));
    if (data.isEmpty()) {
        error = tr("The specified file is empty.");
        return false;
    }
    data = DerOfPem(data);
    return true;
}

QByteArray CCertificateFile::DerOfPem(const QByteArray& bytes)
{
    // DER starts with a SEQUENCE; text before the armour (a printed form of the certificate)
    // is allowed, a second certificate is not.
    if (bytes.startsWith('\x30'))
        return bytes;
    const int begin = bytes.indexOf(kBegin);
    const int end = begin < 0 ? -1 : bytes.indexOf(kEnd, begin + kBegin.size());
    if (end < 0 || bytes.indexOf(kBegin, end) >= 0)
        return bytes;
    QByteArray body;
    for (int i = begin + kBegin.size(); i < end; ++i)
        if (!std::isspace(static_cast<unsigned char>(bytes[i])))
            body += bytes[i];
    const QByteArray::FromBase64Result der =
        QByteArray::fromBase64Encoding(body, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!der || der.decoded.isEmpty())
        return bytes;
    return der.decoded;
}

QByteArray CCertificateFile::PemOfDer(const QByteArray& der)
{
    const QByteArray base64 = der.toBase64();
    QByteArray pem = kBegin + '\n';
    for (int i = 0; i < base64.size(); i += 64)
        pem += base64.mid(i, 64) + '\n';
    pem += kEnd + '\n';
    return pem;
}

CCertificateFile::TFormat CCertificateFile::FormatOf(const QString& path, bool bPemFilterChosen)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("pem"))
        return Pem;
    if (suffix == QLatin1String("cer") || suffix == QLatin1String("crt") || suffix == QLatin1String("der"))
        return Der;
    return bPemFilterChosen ? Pem : Der;
}

namespace {

// Puts back what a file held when a write in place changed it.
void Restore(const QString& path, const QByteArray& previous)
{
    QFile now(path);
    const bool bChanged = !now.open(QIODevice::ReadOnly) || now.readAll() != previous;
    now.close();
    if (bChanged && now.open(QIODevice::WriteOnly | QIODevice::Truncate))
        now.write(previous);
}

} // namespace

bool CCertificateFile::Write(const QString& path, const QByteArray& data, QString& error)
{
    // What the file holds now, to be put back if a write in place fails.
    QByteArray previous;
    bool bHadFile = false;
    {
        QFile existing(path);
        const QFileInfo info(path);
        if (info.exists() && !info.isFile()) {
            error = tr("The specified file is not a regular file.");
            return false;
        }
        if (info.isFile() && info.size() <= kMaxSize && existing.open(QIODevice::ReadOnly)) {
            previous = existing.readAll();
            bHadFile = existing.error() == QFileDevice::NoError;
        }
    }

    QSaveFile file(path);
    // Qt writes in place when the folder refuses the temporary file for lack of permission;
    // another refusal (an immutable folder) gets the same road below.
    file.setDirectWriteFallback(true);
    bool bWritten = false;
    if (file.open(QIODevice::WriteOnly)) {
        // The write is buffered, and commit does not look at how the buffer's flush went: a
        // disk full there would still replace the file. So the flush is checked first.
        bWritten = file.write(data) == data.size() && file.flush() && file.error() == QFileDevice::NoError;
        if (!bWritten)
            file.cancelWriting();
        // Written in place (the fallback), closing is the last write: its error counts too.
        bWritten = file.commit() && bWritten && file.error() == QFileDevice::NoError;
    } else {
        QFile inPlace(path);
        if (!bHadFile || !inPlace.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            error = tr("Unable to open the specified file.");
            return false;
        }
        bWritten = inPlace.write(data) == data.size() && inPlace.flush();
        inPlace.close();
        bWritten = bWritten && inPlace.error() == QFileDevice::NoError;
    }
    if (bWritten)
        return true;
    if (bHadFile)
        Restore(path, previous);
    error = tr("Unable to write the specified file.");
    return false;
}
