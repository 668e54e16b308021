#pragma once

#include <logging/Logger.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

// Keeps every entry it is given, for tests that check what reached a log.
class MemoryLogger : public Logging::ILogger {
public:
    struct Entry {
        unsigned long severity;
        std::wstring text;
    };

    explicit MemoryLogger(unsigned long mask, Logging::ILogger* next = nullptr) : ILogger(mask, next) {}
    ~MemoryLogger() override { retire(); }

    std::vector<Entry> Entries() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_entries;
    }

    size_t Count() const { return Entries().size(); }

    // Entries holding part, at the given severity (0: any).
    size_t CountWith(const std::wstring& part, unsigned long severity = 0) const
    {
        size_t n = 0;
        for (const Entry& e : Entries())
            if ((severity == 0 || e.severity == severity) && e.text.find(part) != std::wstring::npos)
                ++n;
        return n;
    }

    std::wstring Dump() const
    {
        std::wstring all;
        for (const Entry& e : Entries())
            all += L"[" + std::to_wstring(e.severity) + L"] " + e.text + L"\n";
        return all;
    }

protected:
    void write(unsigned long severity, const std::wstring& text) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_entries.push_back({severity, text});
    }

private:
    mutable std::mutex m_lock;
    std::vector<Entry> m_entries;
};
