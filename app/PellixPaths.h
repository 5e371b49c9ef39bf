#pragma once
// Every fixed path and default of the daemon, in one place.
//
// When the environment variable PELLIX_ROOT is set and not empty, it is put in
// front of each compiled-in absolute path, so that tests and trial runs can
// keep the daemon away from the machine's real files. Unset, the paths are
// exactly the compiled-in ones.

#include <string>

class PellixPaths {
public:
    static constexpr const char *kConfigFile = "/work/pellixPara.json";
    static constexpr const char *kLogDir = "/work/data/log";
    static constexpr const char *kRegMapFile = "/tmp/regMap.json";
    static constexpr const char *kUnixSocketPath = "/tmp/qm_sock";
    static constexpr int kTcpListenPort = 10032;

    // The compiled-in path behind the current root.
    static std::string rooted(const char *path);
    // A path from the configuration file behind the current root, unless
    // it already lies under it (as the defaults written under a root do).
    static std::string rootedOnce(const std::string &path);

    static std::string configFile() { return rooted(kConfigFile); }
    static std::string logDir() { return rooted(kLogDir); }
    static std::string regMapFile() { return rooted(kRegMapFile); }
    static std::string unixSocketPath() { return rooted(kUnixSocketPath); }
};
