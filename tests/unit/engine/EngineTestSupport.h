#pragma once
// An engine owner that records every event, for the engine's tests.
#include "engine/Fwupgraderrs485.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace enginetest {

struct Event {
    int code = 0;
    int value = 0;
    std::string text;
    bool direct = false;
    bool onUiThread = false;
    friend bool operator==(const Event& a, const Event& b)
    {
        return a.code == b.code && a.value == b.value && a.text == b.text && a.direct == b.direct;
    }
};

inline bool isFinal(int code)
{
    return code == EVENT_FINISHED || code == EVENT_FAILED || code == EVENT_CHECK_DONE;
}

class RecordingOwner final : public KWOIUpgraderOwner {
public:
    void fwUpgraderEvent(int code, int value, const std::string& text, bool direct) override
    {
        platform::UiBridge* ui = platform::UiBridge::current();
        std::lock_guard<std::mutex> guard(m_lock);
        m_events.push_back({code, value, text, direct, ui && ui->isUiThread()});
    }
    bool isCheckDeviceOnly() const override { return checkOnly.load(); }

    std::vector<Event> events() const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_events;
    }
    std::vector<std::string> messages() const
    {
        std::vector<std::string> lines;
        for (const Event& e : events())
            if (e.code == EVENT_MESSAGE)
                lines.push_back(e.text);
        return lines;
    }
    std::vector<int> progressValues() const
    {
        std::vector<int> values;
        for (const Event& e : events())
            if (e.code == EVENT_PROGRESS)
                values.push_back(e.value);
        return values;
    }
    int finalCount() const
    {
        int n = 0;
        for (const Event& e : events())
            n += isFinal(e.code);
        return n;
    }
    bool ended() const { return finalCount() > 0; }
    void clear()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_events.clear();
    }

    std::atomic<bool> checkOnly{false};

private:
    mutable std::mutex m_lock;
    std::vector<Event> m_events;
};

constexpr int32_t version(int major, int minor)
{
    return int32_t(uint32_t(major) << 16 | uint32_t(minor));
}

} // namespace enginetest
