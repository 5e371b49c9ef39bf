#pragma once
// The hub's records (registrations, removals, time-outs) go to the process's
// named logger "Pellix", looked up at each use: whoever runs the hub sets
// that logger up; without one, the records go nowhere.

#include <csignal>
#include <memory>
#include <utility>

#include <spdlog/spdlog.h>

class HubLog {
public:
    static constexpr const char *kLoggerName = "Pellix";

    template <typename... Args>
    static void log(spdlog::level::level_enum level, fmt::format_string<Args...> format, Args &&...args)
    {
        InProgress mark;
        std::shared_ptr<spdlog::logger> logger = spdlog::get(kLoggerName);
        if (logger) {
            logger->log(level, format, std::forward<Args>(args)...);
        }
    }

    // True while a record is being written: a signal handler must not enter
    // the logging library then, since the call may hold one of its locks.
    static bool callInProgress() { return inProgress != 0; }

private:
    struct InProgress {
        InProgress() { ++inProgress; }
        ~InProgress() { --inProgress; }
    };

    static volatile sig_atomic_t inProgress;
};
