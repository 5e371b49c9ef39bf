#pragma once
// What the driver reports: what it counted for the summary of the run, its
// recent actions, and its failures, each with those actions.

#include <cstdarg>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "tests/soak/ModuleSlot.h"
#include "tests/support/Clock.h"
#include "tests/support/Frames.h"

namespace soak {

// At most 48 bytes in hex, and the size when there are more.
inline std::string shortHex(const std::string &data)
{
    const size_t shown = 48;
    if (data.size() <= shown) {
        return e2e::hex(data);
    }
    return e2e::hex(data.substr(0, shown)) + " ... (" + std::to_string(data.size()) + " bytes)";
}

class SoakJournal {
public:
    // Grouped as the summary prints them.
    struct Counters {
        uint64_t framesSent = 0, framesDelivered = 0, emptyFrames = 0, udpFrames = 0, bytesDelivered = 0,
                 framesLostInReset = 0;
        uint64_t publications = 0, eventDeliveries = 0, subscriptions = 0, unsubscriptions = 0, departureNotices = 0;
        uint64_t registrations = 0, reRegistrations = 0, reconnects = 0, orderlyCloses = 0, resets = 0,
                 resetsWithFramesInFlight = 0, udpReopens = 0, silentDrops = 0;
        uint64_t heartbeats = 0, strayBytes = 0, otherCommands = 0;
    };

    explicit SoakJournal(const std::vector<ModuleSlot> &modules) : slots(modules), startedAt(nowMs()) {}

    // The module that sends under `key`, or the connection once it is gone.
    std::string describeKey(uint64_t key) const
    {
        if (key >= kUdpKeyBase) {
            return slots[static_cast<size_t>(key - kUdpKeyBase)].describe();
        }
        for (const ModuleSlot &s : slots) {
            if (s.inc == key && s.isStream()) {
                return s.describe();
            }
        }
        return "connection #" + std::to_string(key) + " (closed)";
    }

    __attribute__((format(printf, 2, 3))) void note(const char *format, ...)
    {
        char text[256];
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof text, format, args);
        va_end(args);
        char stamp[32];
        snprintf(stamp, sizeof stamp, "%9.3f ", static_cast<double>(nowMs() - startedAt) / 1000.0);
        notes.push_back(std::string(stamp) + text);
        if (notes.size() > 200) {
            notes.pop_front();
        }
    }

    void fail(const std::string &what)
    {
        if (failureList.size() >= 10) {
            return;
        }
        std::string text = what + "\n  recent actions of the driver (seconds since start):\n";
        const size_t shown = 60;
        for (size_t i = notes.size() > shown ? notes.size() - shown : 0; i < notes.size(); ++i) {
            text += "    " + notes[i] + "\n";
        }
        failureList.push_back(text);
    }

    bool failed() const { return !failureList.empty(); }
    const std::vector<std::string> &failures() const { return failureList; }

    Counters counts;

private:
    const std::vector<ModuleSlot> &slots;
    int64_t startedAt;
    std::vector<std::string> failureList;
    std::deque<std::string> notes;
};

} // namespace soak
