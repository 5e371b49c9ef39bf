#pragma once
// The command line of pellix-cli: what to do, where the hub is, and how to
// print. Parsing checks everything that can be checked without the hub, so
// that a bad argument never costs a connection.

#include <string>
#include <vector>

namespace cli {

enum class Command { None, Send, Call, Listen, Sub, Pub, Dump, Print, Level, ReloadAccess, Status, Monitor, Capture, Help };

struct CliArgs {
    Command command = Command::None;
    std::string help; // --help, --version or the help command: the text to print, and nothing else to do

    // Where the hub is.
    bool useUnix = false;
    bool udp = false;
    std::string host = "127.0.0.1";
    int port = 10032;
    std::string unixPath;

    // Where the hub's address came from when no option gave it: "PELLIX_HUB"
    // (the environment variable), or empty.
    std::string hubFrom;

    int id = -1; // listen, sub, call: the id to register under (call: -1 picks a free one)
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
    bool openMetrics = false; // status: OpenMetrics text instead of tables

    bool check = true;   // send: ask the hub's status first whether anyone holds DEST
    int replyCmd = -1;   // call: the reply's command; -1: any
    std::string write;   // capture: the pcapng file; "-": standard output
    // monitor: the filters; a record passes when it matches one value of
    // every filter given.
    std::vector<int> filterIds; // src or dev
    std::vector<int> filterEvents;
    std::vector<int> filterCmds;
};

// False with a one-line reason in `error` when the arguments cannot be used.
// The hub's address comes from --tcp or --unix, else from the environment
// variable PELLIX_HUB (tcp:HOST:PORT or unix:PATH), else the default.
bool parseArgs(int argc, char **argv, CliArgs &args, std::string &error);

// Whether the words ask for --json (before any "--"): errors of the parse
// are then JSON objects too.
bool wantsJson(int argc, char **argv);

} // namespace cli
