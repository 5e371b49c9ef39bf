#pragma once
// Module names come from the network: any bytes, any length. These helpers
// make them safe where they leave the hub.

#include <string>

class ModuleName {
public:
    // The name with control bytes, DEL and backslash written as \xHH, for
    // log records and traces: a name cannot forge a record or drive the
    // terminal. Plain names come out unchanged.
    static std::string printable(const std::string &name);

    // The shell command that kills the processes of that name in the
    // background: "killall -9 " + name + " &" for a plain name; any other
    // name goes in as one single-quoted word after "--", so that it is
    // neither shell syntax nor an option. Empty when no such command can be
    // written (a zero byte would cut the command short).
    static std::string killCommand(const std::string &name);

    // True when the name needs no quoting at all.
    static bool isPlain(const std::string &name);
};
