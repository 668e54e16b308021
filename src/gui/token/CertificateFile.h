#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

#include <cstdint>

// Certificate files as the import and export actions read and write them: raw DER bytes.
class CCertificateFile
{
    Q_DECLARE_TR_FUNCTIONS(CCertificateFile)

public:
    // A certificate is a few kilobytes; anything past this is no certificate file.
    static constexpr qint64 kMaxSize = 16 * 1024 * 1024;

    // Reads a regular file of 1 to kMaxSize bytes (a FIFO, a device or a folder is refused
    // without waiting on it). The file is read, not mapped: a file that shrinks meanwhile
    // gives the bytes that were there. False with the text for the user in error.
    static bool Read(const QString& path, QByteArray& data, QString& error);

    // Writes through a temporary file in the target folder that replaces the target only
    // when everything was written, so a good file is never left half written or emptied.
    static bool Write(const QString& path, const QByteArray& data, QString& error);
};
