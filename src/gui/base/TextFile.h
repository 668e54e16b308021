#pragma once

#include <QString>

namespace tessaly {
// The whole text of a file or Qt resource read as UTF-8; empty when it cannot be opened.
QString ReadTextFile(const QString& path);
}
