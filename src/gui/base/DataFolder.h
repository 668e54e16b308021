#pragma once

#include <QString>

namespace tessaly {
// The folder of the operator's files (enrolment policies, trusted certificates):
// "Veskora" in the first folder of XDG_CONFIG_DIRS (/etc/xdg when unset) that has
// one, else in the first of them.
QString DataFolder();
} // namespace tessaly
