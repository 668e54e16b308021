#pragma once

#include <QLoggingCategory>

// Debug lines of the window and its dialogs. Off unless asked for, e.g. with
// QT_LOGGING_RULES="tessaly.gui.debug=true"; warnings stay on.
Q_DECLARE_LOGGING_CATEGORY(lcGui)
