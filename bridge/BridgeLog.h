#pragma once
// The bridge's log: one plain line per record on standard error,
// "pellix-bridge: <level>: <text>". Records are about state changes and
// episodes, never one per message.

#include <string>

namespace bridge {

class BridgeLog {
public:
    enum Level { Error, Warning, Info };
    static void write(Level level, const std::string &text);
};

} // namespace bridge
