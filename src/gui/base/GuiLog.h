#pragma once

#include <QLoggingCategory>

// Debug lines of the window and its dialogs. Off unless asked for, e.g. with
// QT_LOGGING_RULES="tessaly.gui.debug=true"; warnings stay on.
Q_DECLARE_LOGGING_CATEGORY(lcGui)

namespace tessaly {

// Qt's own categories never print while the program runs, whatever the logging rules
// (QT_LOGGING_RULES, qtlogging.ini, setFilterRules) say: their debug and info lines show
// what widgets hold and what the user types (accessible texts, key events, input method
// text), PINs included. Qt's warnings stay on, except those of accessibility, which quote
// texts too. Our own categories are left to the rules. Installed once per process; later
// rule changes keep it.
void KeepSecretsOutOfQtLogs();

} // namespace tessaly
