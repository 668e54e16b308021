#pragma once

#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace Logging {

// Severity values; a logger's mask is the set of values it writes (0x32 = critical, error, info).
enum : unsigned long {
    SeverityDebug = 0x01,
    SeverityInfo = 0x02,
    SeverityNotice = 0x04,
    SeverityWarning = 0x08,
    SeverityError = 0x10,
    SeverityCritical = 0x20,
};

namespace detail { class NullLogger; }

// A logger in a chain. An entry is opened with severity, built with <<, and closed with flush;
// it then passes along the chain and every logger whose mask holds the severity writes it.
// Each thread builds its own entry, so entries from two threads never mix.
//
// The newest logger still alive is the process-wide one; with none alive, instance() gives a
// logger that discards everything.
class ILogger {
public:
    static ILogger& instance();

    virtual ~ILogger();

    // Opens an entry; an entry this thread left open with text is flushed first.
    ILogger& severity(unsigned long level);
    ILogger& operator<<(const std::wstring& text);
    ILogger& operator<<(const char* text); // UTF-8; null appends nothing
    // Closes this thread's entry and hands it along the chain.
    void flush();

    unsigned long mask() const { return m_mask; }
    ILogger* next() const { return m_next; }

    ILogger(const ILogger&) = delete;
    ILogger& operator=(const ILogger&) = delete;

protected:
    ILogger(unsigned long mask, ILogger* next);

    // One finished entry whose severity is in the mask. Runs on the thread that flushed.
    virtual void write(unsigned long severity, const std::wstring& text) = 0;

    // Hands a finished entry to a logger and the rest of its chain.
    static void deliver(ILogger* logger, unsigned long severity, const std::wstring& text);

    // Leaves the process-wide registry; derived destructors call it first, so no other thread
    // reaches a half-destroyed logger through instance().
    void retire();

private:
    friend class detail::NullLogger;
    struct Unregistered {};
    explicit ILogger(Unregistered);

    struct Entry {
        unsigned long severity = SeverityInfo;
        std::wstring text;
    };

    const unsigned long m_mask;
    ILogger* const m_next;
    bool m_registered = false;
    std::mutex m_mutex;
    std::map<std::thread::id, Entry> m_entries;
};

} // namespace Logging
