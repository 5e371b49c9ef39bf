#pragma once
// Module names come from the network: any bytes, any length. These helpers
// make them safe where they leave the hub.

#include <cstddef>
#include <string>

class ModuleName {
public:
    static constexpr size_t kMaxCommandSize = 131071;

    // The name as log records, traces and tables show it: escaped and cut
    // (see PrintableText). The name itself stays whole for the registry.
    static std::string printable(const std::string &name);

    // The shell command that kills the processes of that name in the
    // background: "killall -9 " + name + " &" for a plain name; any other
    // name goes in as one single-quoted word after "--", so that it is
    // neither shell syntax nor an option. Empty when no such command can be
    // written (a zero byte would cut the command short, and the kernel
    // refuses one argument longer than kMaxCommandSize).
    static std::string killCommand(const std::string &name);

    // True when the name needs no quoting at all.
    static bool isPlain(const std::string &name);
};
