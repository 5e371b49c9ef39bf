// Process entry: the start-up sequence of the hub.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "app/CLogManager.h"
#include "app/HubNotifier.h"
#include "app/PellixPara.h"
#include "app/PellixPaths.h"
#include "app/SignalHandler.h"
#include "hub/CPellix.h"
#include "notify/SystemdNotifier.h"
#include "trace/Trace.h"

namespace {

const char kVersion[] = "2019-11-13";
const unsigned kMaxLogFileSize = 1048576;
const unsigned kRotatedLogFiles = 2;
const int kStartTraceLevel = TRACE_NOTICE;
// The source line the listening trace has always named: the hub's output
// stays the same whatever comes before the call in this file.
const int kListenTraceLine = 52;

} // namespace

int main(int, char **)
{
    // Only under a service manager that asked for it (NOTIFY_SOCKET).
    std::string notifyError;
    const std::unique_ptr<SystemdNotifier> notifier = SystemdNotifier::fromEnvironment(notifyError);
    if (!notifyError.empty()) {
        fprintf(stderr, "pellix: %s\n", notifyError.c_str());
    }
    if (notifier) {
        notifier->armForSignals(); // every signal ends the hub: STOPPING=1 from the handler
    }
    installSignalHandlers();
    CLogManager::getInstance()->initLogger(CLogManager::kLoggerName, PellixPaths::logDir(), kMaxLogFileSize,
                                           kRotatedLogFiles);
    // The set-up's own reference: the same logger the registry holds under
    // its name, taken without the registry's lock that a signal could find held.
    std::shared_ptr<spdlog::logger> logger = CLogManager::getInstance()->getLogger();
    CLogManager::log(spdlog::level::warn, "pellix start, ver: {}", kVersion);
    tm_set_name("pellix");
    tm_set_level(kStartTraceLevel);

    PellixPara para;
    para.tcpListenPort = PellixPaths::kTcpListenPort;
    para.unixSocketPath = PellixPaths::unixSocketPath();
    const std::string configFile = PellixPaths::configFile();
    if (access(configFile.c_str(), F_OK) != 0) {
        writeParaFile(para, configFile);
    } else {
        readParaFile(para, configFile);
    }
    const uint16_t port = static_cast<uint16_t>(para.tcpListenPort);
    // A trial run under a root must not replace the device's own socket.
    const std::string path = PellixPaths::rootedOnce(para.unixSocketPath);

    {
        CPellix pellix(PellixPaths::regMapFile());
        tm_printf(TRACE_ALERT, "main", kListenTraceLine, "tcp svr listen port: %d, unix svr listen path: %s\n", port,
                  path.c_str());
        HubSettings settings = para.settings;
        if (!settings.accessFile.empty()) {
            settings.accessFile = PellixPaths::rootedOnce(settings.accessFile);
        }
        pellix.setSettings(settings);
        pellix.initServers(port, path);
        std::unique_ptr<HubNotifier> hubNotifier;
        if (notifier) {
            hubNotifier.reset(new HubNotifier(pellix, *notifier));
            pellix.getSocketManager()->addPassHook([&hubNotifier] { hubNotifier->pass(); });
        }
        pellix.run();
        if (notifier) {
            notifier->stopping();
        }
    }
    logger.reset();
    return 0;
}
