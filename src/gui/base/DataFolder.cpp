#include "DataFolder.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

namespace {
const char* const kFolderName = "Veskora";
const char* const kDefaultConfigDirs = "/etc/xdg";
} // namespace

QString tessaly::DataFolder()
{
    // Relative entries are ignored, as the XDG rules ask.
    QStringList bases;
    const QStringList entries = qEnvironmentVariable("XDG_CONFIG_DIRS").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString& entry : entries)
        if (QDir::isAbsolutePath(entry))
            bases << QDir::cleanPath(entry);
    if (bases.isEmpty())
        bases << QLatin1String(kDefaultConfigDirs);
    for (const QString& base : bases) {
        const QString folder = base + QLatin1Char('/') + QLatin1String(kFolderName);
        if (QFileInfo(folder).isDir())
            return folder;
    }
    return bases.first() + QLatin1Char('/') + QLatin1String(kFolderName);
}
