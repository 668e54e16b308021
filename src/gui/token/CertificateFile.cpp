#include "CertificateFile.h"

#include <QFile>
#include <QSaveFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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
    return true;
}

bool CCertificateFile::Write(const QString& path, const QByteArray& data, QString& error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        error = tr("Unable to open the specified file.");
        return false;
    }
    if (file.write(data) != data.size()) {
        file.cancelWriting();
        error = tr("Unable to write the specified file.");
        return false;
    }
    if (!file.commit()) {
        error = tr("Unable to write the specified file.");
        return false;
    }
    return true;
}
