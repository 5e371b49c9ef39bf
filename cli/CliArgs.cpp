#include "cli/CliArgs.h"

#include <pellix/PellixTypes.h>

#include <sys/un.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace cli {

namespace {

enum Opt {
    OPT_TCP = 1 << 0,
    OPT_UNIX = 1 << 1,
    OPT_UDP = 1 << 2,
    OPT_ID = 1 << 3,
    OPT_NAME = 1 << 4,
    OPT_SRC = 1 << 5,
    OPT_HEX = 1 << 6,
    OPT_TEXT = 1 << 7,
    OPT_COUNT = 1 << 8,
    OPT_TIMEOUT = 1 << 9,
    OPT_JSON = 1 << 10,
    OPT_VERBOSE = 1 << 11,
    OPT_HELP = 1 << 12,
};

struct OptionInfo {
    const char *name;
    int bit;
    bool takesValue;
};

const OptionInfo kOptions[] = {
    {"--tcp", OPT_TCP, true},       {"--unix", OPT_UNIX, true},     {"--udp", OPT_UDP, false},
    {"--id", OPT_ID, true},         {"--name", OPT_NAME, true},     {"--src", OPT_SRC, true},
    {"--hex", OPT_HEX, true},       {"--text", OPT_TEXT, true},     {"--count", OPT_COUNT, true},
    {"--timeout", OPT_TIMEOUT, true}, {"--json", OPT_JSON, false}, {"--verbose", OPT_VERBOSE, false},
    {"--help", OPT_HELP, false},    {"-h", OPT_HELP, false},
};

const int kCommon = OPT_JSON | OPT_VERBOSE | OPT_HELP;
const int kWhere = OPT_TCP | OPT_UNIX;

struct CommandInfo {
    Command command;
    const char *name;
    int allowed;
};

const CommandInfo kCommands[] = {
    {Command::Send, "send", kCommon | kWhere | OPT_UDP | OPT_SRC | OPT_HEX | OPT_TEXT},
    {Command::Listen, "listen", kCommon | kWhere | OPT_ID | OPT_NAME | OPT_COUNT | OPT_TIMEOUT},
    {Command::Sub, "sub", kCommon | kWhere | OPT_ID | OPT_NAME | OPT_COUNT | OPT_TIMEOUT},
    {Command::Pub, "pub", kCommon | kWhere | OPT_UDP | OPT_SRC | OPT_HEX | OPT_TEXT},
    {Command::Dump, "dump", kCommon | kWhere | OPT_UDP | OPT_SRC},
    {Command::Print, "print", kCommon | kWhere | OPT_UDP | OPT_SRC},
    {Command::Level, "level", kCommon | kWhere | OPT_UDP | OPT_SRC},
    {Command::Help, "help", kCommon},
};

const CommandInfo *findCommand(const std::string &name)
{
    for (const CommandInfo &info : kCommands) {
        if (name == info.name) {
            return &info;
        }
    }
    return nullptr;
}

const CommandInfo *infoOf(Command command)
{
    for (const CommandInfo &info : kCommands) {
        if (info.command == command) {
            return &info;
        }
    }
    return nullptr;
}

// Decimal, or hexadecimal after "0x"; nothing else, no sign.
bool parseNumber(const std::string &text, long min, long max, long &out)
{
    if (text.empty()) {
        return false;
    }
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char *digits = text.c_str() + (hex ? 2 : 0);
    for (const char *p = digits; *p != '\0'; ++p) {
        if (hex ? !isxdigit(static_cast<unsigned char>(*p)) : !isdigit(static_cast<unsigned char>(*p))) {
            return false;
        }
    }
    errno = 0;
    char *end = nullptr;
    const long long value = strtoll(digits, &end, hex ? 16 : 10);
    if (errno != 0 || end == digits || *end != '\0' || value < min || value > max) {
        return false;
    }
    out = static_cast<long>(value);
    return true;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Pairs of hex digits; blanks, ':' and '-' between the pairs are skipped.
bool parseHex(const std::string &text, std::string &out, std::string &error)
{
    out.clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == ':' || c == '-') {
            if (high >= 0) {
                error = "--hex: a separator splits a byte in \"" + text + "\"";
                return false;
            }
            continue;
        }
        const int v = hexValue(c);
        if (v < 0) {
            error = std::string("--hex: '") + c + "' is not a hex digit";
            return false;
        }
        if (high < 0) {
            high = v;
        } else {
            out += static_cast<char>(high << 4 | v);
            high = -1;
        }
    }
    if (high >= 0) {
        error = "--hex: odd number of hex digits in \"" + text + "\"";
        return false;
    }
    return true;
}

std::string describe(long min, long max)
{
    char text[64];
    snprintf(text, sizeof text, "%ld to %ld (0x%lx)", min, max, max);
    return text;
}

bool number(const std::string &what, const std::string &text, long min, long max, long &out, std::string &error)
{
    if (!parseNumber(text, min, max, out)) {
        error = what + " must be a number from " + describe(min, max) + ", not \"" + text + "\"";
        return false;
    }
    return true;
}

bool intNumber(const std::string &what, const std::string &text, long min, long max, int &out,
               std::string &error)
{
    long value = 0;
    if (!number(what, text, min, max, value, error)) {
        return false;
    }
    out = static_cast<int>(value);
    return true;
}

// An event number as pub, sub and listen take it, with the reason a number
// is of no use.
bool eventNumber(const std::string &text, bool published, int &out, std::string &error)
{
    long value = 0;
    if (!parseNumber(text, 0, 0xFFFF, value)) {
        error = "EVENT must be a 16-bit number, not \"" + text + "\"";
        return false;
    }
    if (published && value == pellix::kDepartureEvent) {
        error = "event 0 is the hub's own departure notice and cannot be published";
        return false;
    }
    if (value > pellix::kMaxEvent) {
        error = "event " + text + " can never be delivered: " +
                (published ? "publications match events 1 to 0x7fff only" : "subscribe to events 0 to 0x7fff only");
        return false;
    }
    out = static_cast<int>(value);
    return true;
}

bool parseWhere(const std::string &text, CliArgs &args, std::string &error)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
        error = "--tcp wants HOST:PORT, not \"" + text + "\"";
        return false;
    }
    args.host = text.substr(0, colon);
    return intNumber("the port of --tcp", text.substr(colon + 1), 1, 65535, args.port, error);
}

} // namespace

const char *commandName(Command command)
{
    const CommandInfo *info = infoOf(command);
    return info != nullptr ? info->name : "";
}

bool parseArgs(int argc, char **argv, CliArgs &args, std::string &error)
{
    std::vector<std::string> positionals;
    std::map<int, std::string> values;
    int given = 0;
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsEnd || arg.empty() || arg[0] != '-' || arg == "-") {
            positionals.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnd = true;
            continue;
        }
        std::string value;
        bool inlineValue = false;
        const size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inlineValue = true;
        }
        const OptionInfo *option = nullptr;
        for (const OptionInfo &o : kOptions) {
            if (arg == o.name) {
                option = &o;
            }
        }
        if (option == nullptr) {
            // A negative number is never an argument here; say what it is.
            error = "unknown option " + arg;
            return false;
        }
        if (option->takesValue && !inlineValue) {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            value = argv[++i];
        } else if (!option->takesValue && inlineValue) {
            error = arg + " takes no value";
            return false;
        }
        if ((given & option->bit) != 0 && option->bit != OPT_HELP) {
            error = arg + " is given twice";
            return false;
        }
        given |= option->bit;
        values[option->bit] = value;
    }

    args.help = (given & OPT_HELP) != 0;
    if (positionals.empty()) {
        if (args.help) {
            args.command = Command::Help;
            return true;
        }
        error = "no command given";
        return false;
    }
    const CommandInfo *info = findCommand(positionals[0]);
    if (info == nullptr) {
        error = "unknown command \"" + positionals[0] + "\"";
        return false;
    }
    args.command = info->command;
    positionals.erase(positionals.begin());
    if (args.command == Command::Help) {
        args.help = true;
        if (positionals.size() > 1) {
            error = "help takes at most one command";
            return false;
        }
        if (!positionals.empty()) {
            const CommandInfo *about = findCommand(positionals[0]);
            if (about == nullptr) {
                error = "unknown command \"" + positionals[0] + "\"";
                return false;
            }
            args.helpFor = about->command;
        }
        return true;
    }
    if (args.help) {
        args.helpFor = args.command;
        return true;
    }
    for (const OptionInfo &o : kOptions) {
        if ((given & o.bit) != 0 && (info->allowed & o.bit) == 0) {
            error = std::string(o.name) + " does not apply to " + info->name;
            return false;
        }
    }

    args.json = (given & OPT_JSON) != 0;
    args.verbose = (given & OPT_VERBOSE) != 0;
    args.udp = (given & OPT_UDP) != 0;
    if ((given & OPT_TCP) != 0 && (given & OPT_UNIX) != 0) {
        error = "--tcp and --unix exclude each other";
        return false;
    }
    if ((given & OPT_TCP) != 0 && !parseWhere(values[OPT_TCP], args, error)) {
        return false;
    }
    if ((given & OPT_UNIX) != 0) {
        if (args.udp) {
            error = "--udp sends to the hub's UDP port and cannot go over --unix";
            return false;
        }
        struct sockaddr_un probe;
        args.useUnix = true;
        args.unixPath = values[OPT_UNIX];
        if (args.unixPath.empty() || args.unixPath.size() >= sizeof probe.sun_path) {
            error = "--unix wants a path of 1 to " + std::to_string(sizeof probe.sun_path - 1) + " bytes";
            return false;
        }
    }
    if ((given & OPT_ID) != 0) {
        if (!intNumber("--id", values[OPT_ID], 0, 0xFF, args.id, error)) {
            return false;
        }
        if (args.id == pellix::kHubId || args.id > pellix::kMaxModuleId) {
            error = "--id must be 0x00 or 0x02 to 0xe0: the hub forwards frames to no other id";
            return false;
        }
    }
    if ((given & OPT_NAME) != 0) {
        args.name = values[OPT_NAME];
        if (args.name.empty()) {
            error = "--name must not be empty";
            return false;
        }
    }
    if ((given & OPT_SRC) != 0 && !intNumber("--src", values[OPT_SRC], 0, 0xFF, args.src, error)) {
        return false;
    }
    if ((given & OPT_HEX) != 0 && (given & OPT_TEXT) != 0) {
        error = "--hex and --text exclude each other";
        return false;
    }
    if ((given & OPT_HEX) != 0) {
        if (!parseHex(values[OPT_HEX], args.payload, error)) {
            return false;
        }
        args.hasPayload = true;
    }
    if ((given & OPT_TEXT) != 0) {
        args.payload = values[OPT_TEXT];
        args.hasPayload = true;
    }
    if ((given & OPT_COUNT) != 0 && !number("--count", values[OPT_COUNT], 1, 1000000000L, args.count, error)) {
        return false;
    }
    if ((given & OPT_TIMEOUT) != 0) {
        const std::string &text = values[OPT_TIMEOUT];
        char *end = nullptr;
        errno = 0;
        args.timeout = strtod(text.c_str(), &end);
        if (text.empty() || errno != 0 || *end != '\0' || !(args.timeout > 0) || args.timeout > 1e7) {
            error = "--timeout must be a number of seconds above 0, not \"" + text + "\"";
            return false;
        }
    }

    // The command's own arguments.
    const size_t n = positionals.size();
    const std::string name = info->name;
    auto wantArgs = [&](size_t min, size_t max, const char *shape) {
        if (n < min || n > max) {
            error = name + " takes " + shape + " (got " + std::to_string(n) + " argument" + (n == 1 ? "" : "s") +
                    ")";
            return false;
        }
        return true;
    };
    auto payloadArg = [&](size_t at) {
        if (n > at) {
            if (args.hasPayload) {
                error = name + ": give the data once, as an argument or with --hex or --text";
                return false;
            }
            args.payload = positionals[at];
            args.hasPayload = true;
        }
        return true;
    };
    auto payloadFits = [&](size_t streamLimit, size_t udpLimit) {
        const size_t limit = args.udp ? udpLimit : streamLimit;
        if (args.payload.size() > limit) {
            error = name + ": " + std::to_string(args.payload.size()) + " bytes of data do not fit a " +
                    (args.udp ? "datagram" : "frame") + " (at most " + std::to_string(limit) + ")";
            return false;
        }
        return true;
    };
    switch (args.command) {
    case Command::Send:
        return wantArgs(2, 3, "DEST CMD [DATA]") && intNumber("DEST", positionals[0], 0, 0xFF, args.dest, error) &&
               intNumber("CMD", positionals[1], 0, 0xFFFF, args.cmd, error) && payloadArg(2) &&
               payloadFits(pellix::kMaxPayload, pellix::kMaxUdpPayload);
    case Command::Pub:
        if (!wantArgs(1, 2, "EVENT [DATA]") || !eventNumber(positionals[0], true, args.event, error)) {
            return false;
        }
        return payloadArg(1) && payloadFits(pellix::kMaxEventData, pellix::kMaxUdpPayload - 2);
    case Command::Listen:
    case Command::Sub:
        if (args.command == Command::Sub && n == 0) {
            error = "sub takes one or more events";
            return false;
        }
        for (const std::string &text : positionals) {
            int event = 0;
            if (!eventNumber(text, false, event, error)) {
                return false;
            }
            args.events.push_back(event);
        }
        if (args.id < 0) {
            error = name + " needs --id, the module id to register under";
            return false;
        }
        return true;
    case Command::Level:
        return wantArgs(1, 1, "the level N") && intNumber("N", positionals[0], 0, 6, args.level, error);
    case Command::Dump:
    case Command::Print:
        return wantArgs(0, 0, "no arguments");
    case Command::None:
    case Command::Help:
        break;
    }
    return true;
}

std::string helpText(Command command)
{
    const char *where = "Where the hub is (default: TCP 127.0.0.1:10032):\n"
                        "  --tcp HOST:PORT   TCP address of the hub\n"
                        "  --unix PATH       the hub's Unix-domain socket (it listens on /tmp/qm_sock)\n";
    const char *output = "  --json            one JSON object a line instead of plain text\n"
                         "  --verbose         show the framework's trace and error texts on standard error\n";
    const char *oneShot = "  --udp             send one datagram to the hub's UDP port (the TCP port number)\n"
                          "  --src ID          source id of the frame (default 0xfe, an id no module has)\n";
    std::string text;
    switch (command) {
    case Command::Send:
        text = "usage: pellix-cli send DEST CMD [DATA | --hex HEX | --text TEXT] [options]\n"
               "\n"
               "Sends one frame to module DEST (0 to 0xff) with the 16-bit command CMD. The data\n"
               "is text, or hex digits with --hex (\"aa bb\", \"aabb\"); at most 65529 bytes (2030\n"
               "over --udp). The hub forwards it as it is; nothing comes back.\n\n";
        text += where;
        text += oneShot;
        text += output;
        return text;
    case Command::Pub:
        text = "usage: pellix-cli pub EVENT [DATA | --hex HEX | --text TEXT] [options]\n"
               "\n"
               "Publishes event EVENT (1 to 0x7fff) with the data (at most 65527 bytes, 2028 over\n"
               "--udp); the hub passes it to every module subscribed to the event.\n\n";
        text += where;
        text += oneShot;
        text += output;
        return text;
    case Command::Listen:
    case Command::Sub:
        text = command == Command::Listen
                   ? "usage: pellix-cli listen [EVENT...] --id ID [--name NAME] [options]\n"
                     "\n"
                     "Registers as module ID and prints every frame that arrives for it, and every\n"
                     "delivery of the events listed (0 to 0x7fff, subscribed to until it ends),\n"
                     "until --count or --timeout ends it, or a signal does. Sends heartbeats, and\n"
                     "when the hub goes away, reconnects, registers and subscribes again by itself.\n\n"
                   : "usage: pellix-cli sub EVENT... --id ID [--name NAME] [options]\n"
                     "\n"
                     "Registers as module ID, subscribes to the events (0 to 0x7fff; 0 brings the\n"
                     "hub's notices of modules that went away) and prints each delivery and every\n"
                     "other frame for ID, until --count or --timeout ends it, or a signal does. On\n"
                     "the way out the events are unsubscribed again.\n\n";
        text += where;
        text += "  --id ID           module id to register under: 0x00 or 0x02 to 0xe0 (required)\n"
                "  --name NAME       registration name (default pellix-cli); the hub kills the\n"
                "                    processes of this name if the connection falls silent\n"
                "  --count N         stop after N frames, deliveries or notices\n"
                "  --timeout S       stop after S seconds (exit status 3 if --count was not reached)\n";
        text += output;
        text += "\nPlain output: one line per frame with the decoded header, then the payload as\n"
                "hex and printable text, 16 bytes a line.\n";
        return text;
    case Command::Dump:
    case Command::Print:
    case Command::Level:
        text = command == Command::Dump    ? "usage: pellix-cli dump [options]\n\n"
                                             "Makes the hub print its socket and timer tables on its standard output.\n\n"
               : command == Command::Print ? "usage: pellix-cli print [options]\n\n"
                                             "Switches the hub's hex dumps of all traffic on, or off again.\n\n"
                                           : "usage: pellix-cli level N [options]\n\n"
                                             "Sets the hub's trace level: 0 (fatal only) to 6 (debug).\n\n";
        text += where;
        text += oneShot;
        text += output;
        return text;
    case Command::None:
    case Command::Help:
        break;
    }
    return "usage: pellix-cli COMMAND [ARGUMENTS] [options]\n"
           "\n"
           "Talks to the Pellix hub from a shell or a script.\n"
           "\n"
           "Commands:\n"
           "  send DEST CMD [DATA]   send a frame to a module\n"
           "  listen --id ID         register and print every frame received (and events)\n"
           "  sub EVENT... --id ID   subscribe to events and print each delivery\n"
           "  pub EVENT [DATA]       publish an event\n"
           "  dump                   make the hub print its socket and timer tables\n"
           "  print                  switch the hub's hex dumps of traffic on or off\n"
           "  level N                set the hub's trace level (0 to 6)\n"
           "  help [COMMAND]         this text, or that of one command\n"
           "\n"
           "Options (each command takes those that apply to it; see pellix-cli COMMAND --help):\n"
           "  --tcp HOST:PORT, --unix PATH, --udp, --id ID, --name NAME, --src ID,\n"
           "  --hex HEX, --text TEXT, --count N, --timeout S, --json, --verbose, --help\n"
           "\n"
           "Numbers are decimal or hex with 0x. Exit status: 0 done; 1 the hub could not be\n"
           "reached or did not take the frame; 2 bad arguments; 3 --timeout came before --count.\n";
}

} // namespace cli
