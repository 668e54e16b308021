#pragma once

#include <QtGlobal>

#include <initializer_list>
#include <vector>

// For the scope of a form's setupUi: slots that keep on_<name>_<signal> names but are connected
// by hand. Qt's by-name connection would warn once for each of them at every start, and those
// lines would hide real warnings; every other message passes on as before. GUI thread only.
class CHandConnectedSlots
{
public:
    // Slot names without their argument list, e.g. "on_item_pressed".
    explicit CHandConnectedSlots(std::initializer_list<const char*> slotNames);
    ~CHandConnectedSlots();
    CHandConnectedSlots(const CHandConnectedSlots&) = delete;
    CHandConnectedSlots& operator=(const CHandConnectedSlots&) = delete;

private:
    static void Handler(QtMsgType type, const QMessageLogContext& context, const QString& message);

    std::vector<const char*> m_names;
    QtMessageHandler m_previousHandler;
    CHandConnectedSlots* m_pPrevious;
};
