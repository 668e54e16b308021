#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

// Points HOME at a fresh folder under the test's scratch folder, so the settings file
// of a test never touches the real home.
inline QString FreshHome(const QString& name)
{
    QString root = qEnvironmentVariable("TESSALY_TEST_SCRATCH");
    if (root.isEmpty())
        root = QDir::tempPath() + QStringLiteral("/tessaly-test");
    const QString home = root + QLatin1Char('/') + name;
    QDir(home).removeRecursively();
    QDir().mkpath(home);
    qputenv("HOME", QFile::encodeName(home));
    return home;
}

inline QString HomeSettingsPath(const QString& home)
{
    return home + QStringLiteral("/.Veskora/tessaly.ini");
}

inline void WriteFile(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(data);
}

inline QByteArray ReadFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
