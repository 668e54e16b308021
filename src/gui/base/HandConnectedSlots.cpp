#include "HandConnectedSlots.h"

#include <QString>

namespace {
CHandConnectedSlots* g_pActive = nullptr;
}

CHandConnectedSlots::CHandConnectedSlots(std::initializer_list<const char*> slotNames)
    : m_names(slotNames), m_previousHandler(nullptr), m_pPrevious(g_pActive)
{
    g_pActive = this;
    m_previousHandler = qInstallMessageHandler(&CHandConnectedSlots::Handler);
}

CHandConnectedSlots::~CHandConnectedSlots()
{
    qInstallMessageHandler(m_previousHandler);
    g_pActive = m_pPrevious;
}

void CHandConnectedSlots::Handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    static const QLatin1String kPrefix("QMetaObject::connectSlotsByName: No matching signal for ");
    const CHandConnectedSlots* pActive = g_pActive;
    if (pActive && type == QtWarningMsg && message.startsWith(kPrefix)) {
        const QStringRef slot = message.midRef(kPrefix.size());
        for (const char* name : pActive->m_names)
            if (slot.startsWith(QLatin1String(name)) && slot.mid(int(qstrlen(name))).startsWith(QLatin1Char('(')))
                return;
    }
    const QtMessageHandler previous = pActive ? pActive->m_previousHandler : nullptr;
    if (previous)
        previous(type, context, message);
    else
        qt_message_output(type, context, message);
}
