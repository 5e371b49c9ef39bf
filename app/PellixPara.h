#pragma once
// The daemon's configuration record and its JSON file.

#include <string>

#include "app/PellixPaths.h"
#include "hub/HubSettings.h"

struct PellixPara {
    int tcpListenPort = PellixPaths::kTcpListenPort;
    std::string unixSocketPath = PellixPaths::kUnixSocketPath;
    // Optional keys: read when present, never written.
    HubSettings settings;
};

// 0 when the keys were read, 1 when the root is not an object, 2 when the file
// cannot be parsed (an unreadable file reads as empty). A member that cannot be
// converted or used keeps the key's default and is named in one line on
// stderr. Besides the two keys the defaults hold, the optional keys
// tcpBindAddress, servePauseUs, sendQueueBytes, strictModules,
// hubCommandsFrom and killPolicy fill `settings`.
int readParaFile(PellixPara &para, const std::string &path);

// 0 when the output steps completed (also when the file could not be opened,
// which loses the text silently), 1 when they raised an exception.
int writeParaFile(const PellixPara &para, const std::string &path);
