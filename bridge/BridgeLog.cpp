#include "bridge/BridgeLog.h"

#include <cstdio>

namespace bridge {

void BridgeLog::write(Level level, const std::string &text)
{
    static const char *const names[] = {"error", "warning", "info"};
    // One fprintf per line: lines of a record are never interleaved.
    fprintf(stderr, "pellix-bridge: %s: %s\n", names[level], text.c_str());
}

} // namespace bridge
