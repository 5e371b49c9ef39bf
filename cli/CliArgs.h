#pragma once
// The command line of pellix-cli: what to do, where the hub is, and how to
// print. Parsing checks everything that can be checked without the hub, so
// that a bad argument never costs a connection.

#include <string>
#include <vector>

namespace cli {

enum class Command { None, Send, Listen, Sub, Pub, Dump, Print, Level, Status, Monitor, Help };

struct CliArgs {
    Command command = Command::None;
    std::string help; // --help, --version or the help command: the text to print, and nothing else to do

    // Where the hub is.
    bool useUnix = false;
    bool udp = false;
    std::string host = "127.0.0.1";
    int port = 10032;
    std::string unixPath;

    int id = -1; // listen, sub: the id to register under
    std::string name; // listen, sub: --name, or pellix-cli-<pid>, a name no process has
    int src = 0xFE; // send, pub, hub commands: the source id

    std::string payload;

    long count = 0;     // 0: no limit
    double timeout = 0; // seconds; 0: none

    bool json = false;
    bool verbose = false;

    // The command's own arguments.
    int dest = 0;
    int cmd = 0;
    int event = 0;
    std::vector<int> events;
    int level = 0;

    double watch = 0; // status: seconds between redraws; 0: once
    // monitor: the filters; a record passes when it matches one value of
    // every filter given.
    std::vector<int> filterIds; // src or dev
    std::vector<int> filterEvents;
    std::vector<int> filterCmds;
};

// False with a one-line reason in `error` when the arguments cannot be used.
bool parseArgs(int argc, char **argv, CliArgs &args, std::string &error);

} // namespace cli
