#include "GuiLog.h"

Q_LOGGING_CATEGORY(lcGui, "tessaly.gui", QtInfoMsg)
