#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

#include <cstdint>

// Certificate files as the import and export actions read and write them: DER bytes, or a
// file holding one PEM certificate.
class CCertificateFile
{
    Q_DECLARE_TR_FUNCTIONS(CCertificateFile)

public:
    // A certificate is a few kilobytes; anything past this is no certificate file.
    static constexpr qint64 kMaxSize = 16 * 1024 * 1024;

    // Reads a regular file of 1 to kMaxSize bytes (a FIFO, a device or a folder is refused
    // without waiting on it). The file is read, not mapped: a file that shrinks meanwhile
    // gives the bytes that were there. A file of one PEM certificate gives its DER bytes.
    // False with the text for the user in error.
    static bool Read(const QString& path, QByteArray& data, QString& error);

    // The DER bytes of a text holding exactly one PEM certificate; anything else as it is
    // (what is no certificate is refused as such when it is decoded).
    static QByteArray DerOfPem(const QByteArray& bytes);

    // The PEM armour of DER bytes: base64 in lines of 64 characters between the BEGIN and END
    // lines, each line ending in a line feed.
    static QByteArray PemOfDer(const QByteArray& der);

    // The form an exported certificate is written in: the file name's suffix decides (".pem"
    // PEM; ".cer", ".crt", ".der" DER, in any letter case); a name without one of these goes by
    // the filter chosen in the save dialog.
    enum TFormat { Der, Pem };
    static TFormat FormatOf(const QString& path, bool bPemFilterChosen);

    // Writes through a temporary file in the target folder that replaces the target only
    // when everything was written. A folder that takes no new file (an existing writable file
    // in a read-only folder) is written in place; should that write stop half way, the file
    // gets back what it held. So a good file is never left half written or emptied. Anything
    // but a regular file (a device, a FIFO, also behind a link) is refused: it would be
    // replaced by a new file, or written without telling whether the data arrived.
    static bool Write(const QString& path, const QByteArray& data, QString& error);
};
