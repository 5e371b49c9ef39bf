#include "app/CLogManager.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>

volatile sig_atomic_t CLogManager::inProgress = 0;
char CLogManager::filePath[4096] = "";

namespace {

const char kConsolePattern[] = "%^[%Y-%m-%d %H:%M:%S:%e] [%n] [tid: %t] [%l] %v%$";
const char kFilePattern[] = "[%Y-%m-%d %H:%M:%S:%e] [%n] [tid: %t] [%l] %v";

} // namespace

CLogManager *CLogManager::getInstance()
{
    // Never destroyed: the signal handler may log during exit.
    static CLogManager *instance = new CLogManager();
    return instance;
}

void CLogManager::initLogger(const std::string &name, const std::string &dir, unsigned maxFileSize,
                             unsigned maxFiles)
{
    // The set-up takes the library's locks too: a signal that lands here must
    // not enter the library from its handler.
    InProgress mark;
    sinks.clear();
    // The signal handler's fallback writes to the file of the logger that is
    // registered under the name; a failed set-up leaves an earlier one (and
    // its file) in place.
    if (!spdlog::get(kLoggerName)) {
        filePath[0] = '\0';
    }
    try {
        auto console = std::make_shared<spdlog::sinks::ansicolor_stdout_sink_mt>();
        console->set_level(spdlog::level::debug);
        console->set_pattern(kConsolePattern);

        const std::string fileName = dir + "/" + name + ".txt";
        // The library would create a missing directory; the daemon's log
        // directory is the device's to provide, so a missing one is the
        // same failure as a file that cannot be opened.
        struct stat info;
        if (stat(dir.c_str(), &info) != 0) {
            const int error = errno;
            throw spdlog::spdlog_ex("Failed opening file " + fileName + " for writing", error);
        }
        if (!S_ISDIR(info.st_mode)) {
            throw spdlog::spdlog_ex("Failed opening file " + fileName + " for writing", ENOTDIR);
        }
        auto file = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(fileName, maxFileSize, maxFiles);
        file->set_pattern(kFilePattern);
        file->set_level(spdlog::level::warn);

        sinks.push_back(console);
        sinks.push_back(file);
        logger = std::make_shared<spdlog::logger>(name, sinks.begin(), sinks.end());
        spdlog::register_logger(logger);
        logger->flush_on(spdlog::level::warn);

        if (name == kLoggerName && fileName.size() < sizeof filePath) {
            memcpy(filePath, fileName.c_str(), fileName.size() + 1);
        }
    } catch (const spdlog::spdlog_ex &e) {
        std::cout << "Log initialization faild" << e.what() << std::endl;
    }
}

void CLogManager::flush()
{
    InProgress mark;
    std::shared_ptr<spdlog::logger> found = spdlog::get(kLoggerName);
    if (found) {
        found->flush();
    }
}
