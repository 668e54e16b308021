#include "CoreSupport.h"

#include <QString>

namespace coretest {

namespace {
std::mutex g_mutex;
std::vector<std::string> g_lines;
}

MessageCapture::MessageCapture()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.clear();
    m_previous = qInstallMessageHandler(&MessageCapture::Handler);
}

MessageCapture::~MessageCapture()
{
    qInstallMessageHandler(m_previous);
}

void MessageCapture::Handler(QtMsgType, const QMessageLogContext&, const QString& message)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.push_back(message.toStdString());
}

std::vector<std::string> MessageCapture::Lines() const
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_lines;
}

std::string MessageCapture::All() const
{
    std::string all;
    for (const auto& line : Lines())
        all += line + "\n";
    return all;
}

} // namespace coretest
