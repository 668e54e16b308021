#ifndef TESSALY_PKCS11_CORE_SUPPORT_H
#define TESSALY_PKCS11_CORE_SUPPORT_H

#include <mutex>
#include <string>
#include <vector>

#include <QtGlobal>

namespace coretest {

// Collects Qt's debug and warning output while alive.
class MessageCapture
{
public:
    MessageCapture();
    ~MessageCapture();
    std::vector<std::string> Lines() const;
    std::string All() const;
    bool Contains(const std::string& text) const { return All().find(text) != std::string::npos; }

private:
    static void Handler(QtMsgType, const QMessageLogContext&, const QString& message);
    QtMessageHandler m_previous;
};

} // namespace coretest

#endif
