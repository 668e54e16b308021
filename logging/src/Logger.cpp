#include <logging/Logger.h>

#include "Utf8.h"

#include <algorithm>
#include <vector>

namespace Logging {

namespace detail {

class NullLogger : public ILogger {
public:
    NullLogger() : ILogger(Unregistered{}) {}

protected:
    void write(unsigned long, const std::wstring&) override {}
};

} // namespace detail

namespace {

struct Registry {
    std::mutex mutex;
    std::vector<ILogger*> loggers; // oldest first
};

Registry& TheRegistry()
{
    static Registry* registry = new Registry; // outlives loggers destroyed at exit
    return *registry;
}

} // namespace

ILogger& ILogger::instance()
{
    static detail::NullLogger* discard = new detail::NullLogger;
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.loggers.empty())
        return *discard;
    return *r.loggers.back();
}

ILogger::ILogger(unsigned long mask, ILogger* next) : m_mask(mask), m_next(next), m_registered(true)
{
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.loggers.push_back(this);
}

ILogger::ILogger(Unregistered) : m_mask(0), m_next(nullptr) {}

ILogger::~ILogger()
{
    retire();
}

void ILogger::retire()
{
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!m_registered)
        return;
    m_registered = false;
    r.loggers.erase(std::remove(r.loggers.begin(), r.loggers.end(), this), r.loggers.end());
}

ILogger& ILogger::severity(unsigned long level)
{
    Entry left;
    bool flushLeft = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Entry& e = m_entries[std::this_thread::get_id()];
        if (!e.text.empty()) {
            left = std::move(e);
            flushLeft = true;
        }
        e = Entry();
        e.severity = level;
    }
    if (flushLeft)
        deliver(this, left.severity, left.text);
    return *this;
}

ILogger& ILogger::operator<<(const std::wstring& text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries[std::this_thread::get_id()].text += text;
    return *this;
}

ILogger& ILogger::operator<<(const char* text)
{
    if (!text)
        return *this;
    std::wstring wide = detail::FromUtf8(text);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries[std::this_thread::get_id()].text += wide;
    return *this;
}

void ILogger::flush()
{
    Entry e;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_entries.find(std::this_thread::get_id());
        if (it == m_entries.end())
            return;
        e = std::move(it->second);
        m_entries.erase(it);
    }
    // Outside the lock: a writer may ask the user and log again meanwhile.
    deliver(this, e.severity, e.text);
}

void ILogger::deliver(ILogger* logger, unsigned long severity, const std::wstring& text)
{
    for (; logger; logger = logger->m_next) {
        if (logger->m_mask & severity)
            logger->write(severity, text);
    }
}

} // namespace Logging
