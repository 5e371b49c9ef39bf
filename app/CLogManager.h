#pragma once
// Set-up of the named logger "Pellix": a colour console sink and a rotating
// file sink, and the one way the rest of the daemon logs through it.
//
// The single instance is created on first use and never destroyed. Every
// user looks the logger up by name when it logs; after a failed set-up there
// is no logger and the record is skipped.

#include <csignal>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <spdlog/spdlog.h>

#include "hub/HubLog.h"

class CLogManager {
public:
    static constexpr const char *kLoggerName = HubLog::kLoggerName;

    static CLogManager *getInstance();

    // Builds and registers the logger; on a library error prints
    // "Log initialization faild" and the library's text, and returns.
    void initLogger(const std::string &name, const std::string &dir, unsigned maxFileSize,
                    unsigned maxFiles);

    // Logs through the registered logger "Pellix", or skips the record when
    // there is none; HubLog marks the call as in progress for the signal
    // handler (logCallInProgress sees it).
    template <typename... Args>
    static void log(spdlog::level::level_enum level, fmt::format_string<Args...> format, Args &&...args)
    {
        HubLog::log(level, format, std::forward<Args>(args)...);
    }

    // Flushes every sink of the registered logger "Pellix", if there is one;
    // marked as in progress like log().
    static void flush();

    // True while a call of log(), flush() or initLogger() runs on the thread:
    // the signal handler must not enter the library then, since the call may
    // hold one of its locks.
    static bool logCallInProgress() { return inProgress != 0 || HubLog::callInProgress(); }

    // Path of the log file once set-up succeeded, else empty. Kept as a plain
    // array so that the signal handler can use it without allocating.
    static const char *logFilePath() { return filePath; }

    const std::vector<spdlog::sink_ptr> &getSinks() const { return sinks; }
    std::shared_ptr<spdlog::logger> getLogger() const { return logger; }

private:
    struct InProgress {
        InProgress() { ++inProgress; }
        ~InProgress() { --inProgress; }
        InProgress(const InProgress &) = delete;
        InProgress &operator=(const InProgress &) = delete;
    };

    CLogManager() = default;

    static volatile sig_atomic_t inProgress;
    static char filePath[4096];

    std::vector<spdlog::sink_ptr> sinks;
    std::shared_ptr<spdlog::logger> logger;
};
