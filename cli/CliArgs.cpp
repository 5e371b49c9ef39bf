#include "cli/CliArgs.h"

#include <CLI/CLI.hpp>
#include <pellix/Checks.h>
#include <pellix/PellixTypes.h>

#include "cli/CliPrinter.h"

#include <fcntl.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>

namespace cli {

namespace {


enum Opt {
    TCP = 1 << 0, UNIX = 1 << 1, UDP = 1 << 2, SRC = 1 << 3, HEX = 1 << 4, TEXT = 1 << 5,
    ID = 1 << 6, NAME = 1 << 7, COUNT = 1 << 8, TIMEOUT = 1 << 9, JSON = 1 << 10, VERBOSE = 1 << 11,
    WATCH = 1 << 12, EVENT = 1 << 13, CMD = 1 << 14, WRITE = 1 << 15, REPLY_CMD = 1 << 16, FILE_DATA = 1 << 17,
    NO_CHECK = 1 << 18, OPENMETRICS = 1 << 19,
};
// Filters of monitor, which may be given many times.
const int kRepeatable = ID | EVENT | CMD;

struct OptionInfo {
    int bit;
    const char *name;
    const char *value; // nullptr: a flag
    const char *about;
};

const OptionInfo kOptions[] = {
    {TCP, "--tcp", "HOST:PORT", "TCP address of the hub"},
    {UNIX, "--unix", "PATH", "the hub's Unix-domain socket (it listens on /tmp/qm_sock)"},
    {UDP, "--udp", nullptr, "send one datagram to the hub's UDP port (the TCP port number)"},
    {SRC, "--src", "ID", "source id of the frame (default 0xfe, an id no module has)"},
    {HEX, "--hex", "HEX", "the data as hex digits (\"aa bb\", \"aabb\")"},
    {TEXT, "--text", "TEXT", "the data as text, even when it looks like an option"},
    {ID, "--id", "ID",
     "listen, sub: module id to register under: 0x00 or 0x02 to 0xe0 (required);\n"
     "call: the id to register under (default: a free one, from the hub's status);\n"
     "monitor, capture: keep only frames from or to ID (may be repeated)"},
    {NAME, "--name", "NAME",
     "registration name; the hub kills the processes of this name if\n"
     "the connection falls silent. Default pellix-cli-PID, with this\n"
     "tool's process id: no process has that name, so a stalled tool\n"
     "gets nothing killed"},
    {COUNT, "--count", "N", "stop after N frames, deliveries, notices or records (status: redraws)"},
    {TIMEOUT, "--timeout", "S",
     "stop after S seconds (exit status 3 if --count was not reached);\n"
     "call: wait at most S seconds for the reply (default 5; exit status 3)"},
    {JSON, "--json", nullptr, "one JSON object a line instead of plain text"},
    {VERBOSE, "--verbose", nullptr, "show the framework's trace and error texts on standard error"},
    {WATCH, "--watch", "S", "redraw every S seconds until a signal or --count ends it"},
    {EVENT, "--event", "N", "show only publications of event N (may be repeated)"},
    {CMD, "--cmd", "C", "show only frames with command C (may be repeated)"},
    {WRITE, "--write", "FILE", "the pcapng file to write (- for standard output)"},
    {REPLY_CMD, "--reply-cmd", "C", "take as the reply only a frame with command C"},
    {FILE_DATA, "--file", "PATH", "the data from a file (- for standard input)"},
    {NO_CHECK, "--no-check", nullptr, "send without asking the hub first whether a module holds DEST"},
    {OPENMETRICS, "--openmetrics", nullptr, "the status as OpenMetrics text, for a scraper or a textfile collector"},
};

struct CommandInfo {
    Command command;
    const char *name;
    int options;
    const char *shape; // its arguments, on the usage line and in the list of commands
    const char *summary;
    const char *about;
};

const int kOneShot = TCP | UNIX | UDP | SRC | JSON | VERBOSE;
const int kReceiver = TCP | UNIX | ID | NAME | COUNT | TIMEOUT | JSON | VERBOSE;
const int kStatus = TCP | UNIX | UDP | SRC | JSON | VERBOSE | WATCH | COUNT;
const int kMonitor = TCP | UNIX | SRC | ID | EVENT | CMD | COUNT | TIMEOUT | JSON | VERBOSE;
const int kRootOnly = UNIX | JSON | VERBOSE; // the hub takes these from root over its Unix socket only
const int kData = HEX | TEXT | FILE_DATA;
const int kCall = TCP | UNIX | ID | NAME | TIMEOUT | JSON | VERBOSE | kData | REPLY_CMD;

const CommandInfo kCommands[] = {
    {Command::Send, "send", kOneShot | kData | NO_CHECK, "DEST CMD [DATA]", "send a frame to a module",
     "Sends one frame to module DEST (0 to 0xff) with the 16-bit command CMD. The data\n"
     "is text, or hex digits with --hex (\"aa bb\", \"aabb\"), or a file's bytes with\n"
     "--file (- for standard input); at most 65529 bytes (2030 over --udp). The hub\n"
     "forwards it as it is; nothing comes back. First the tool asks the hub's status\n"
     "(one request) whether a module holds DEST, and exits with 5 when none does;\n"
     "frames to 0xe1 to 0xff must be event commands (5, 6, 7). --no-check skips\n"
     "that. Over --udp the datagram goes unchecked; a hub with strictModules drops\n"
     "a datagram to a module from the anonymous 0xfe: give --src an id of your own.\n"
     "\nExample: pellix-cli send 0x10 0x42 --hex \"aa bb\"\n"},
    {Command::Call, "call", kCall, "DEST CMD [DATA]", "send a frame to a module and print its reply",
     "Registers (under --id, or a free id the hub's status shows), sends one frame to\n"
     "module DEST with command CMD and the data (as for send), and prints the first\n"
     "frame that comes back from DEST (with command C only, given --reply-cmd C).\n"
     "Exit status 3 when no reply came within --timeout (5 s by default), 5 when no\n"
     "module is registered under DEST.\n"
     "\nExample: pellix-cli call 0x42 0x10 ping --reply-cmd 0x11 --timeout 2\n"},
    {Command::Listen, "listen", kReceiver, "[EVENT...] --id ID", "register and print every frame received (and events)",
     "Registers as module ID and prints every frame that arrives for it, and every\n"
     "delivery of the events listed (0 to 0x7fff, subscribed to until it ends),\n"
     "until --count or --timeout ends it, or a signal does. Sends heartbeats, and\n"
     "when the hub goes away, reconnects, registers and subscribes again by itself.\n"
     "\nExample: pellix-cli listen 3 --id 0x10 --name demo-listener\n"},
    {Command::Sub, "sub", kReceiver, "EVENT... --id ID", "subscribe to events and print each delivery",
     "Registers as module ID, subscribes to the events (0 to 0x7fff; 0 brings the\n"
     "hub's notices of modules that went away) and prints each delivery and every\n"
     "other frame for ID, until --count or --timeout ends it, or a signal does. On\n"
     "the way out the events are unsubscribed again.\n"
     "\nExample: pellix-cli sub 0 100 --id 0x11 --json\n"},
    {Command::Pub, "pub", kOneShot | kData, "EVENT [DATA]", "publish an event",
     "Publishes event EVENT (1 to 0x7fff) with the data (at most 65527 bytes, 2028 over\n"
     "--udp); the hub passes it to every module subscribed to the event.\n"
     "\nExample: pellix-cli pub 3 temperature=21.5\n"},
    {Command::Dump, "dump", kOneShot, "", "make the hub print its socket and timer tables (in its own output)",
     "Makes the hub print its socket and timer tables on its own standard output\n"
     "(its console or log), not here. To see the hub's state here, use status.\n"
     "\nExample: pellix-cli dump --unix /tmp/qm_sock\n"},
    {Command::Print, "print", kOneShot, "", "switch the hub's hex dumps of traffic (in its own output)",
     "Switches the hub's hex dumps of all traffic on, or off again. The dumps go to\n"
     "the hub's own standard output (its console or log), not here. To see the\n"
     "traffic here, use monitor.\n"
     "\nExample: pellix-cli print\n"},
    {Command::ReloadAccess, "reload-access", kRootOnly, "", "make the hub read its access rules again",
     "Makes the hub read its accessFile again and put the new rules in force. The\n"
     "hub takes this from root over its Unix socket only (--unix, else /tmp/qm_sock),\n"
     "so the tool refuses to send it as another user. The hub answers nothing: its\n"
     "log says whether the file was taken, and status shows the rules in force.\n"
     "\nExample: sudo pellix-cli reload-access\n"},
    {Command::Level, "level", kOneShot, "N", "set the hub's trace level (0 to 6)",
     "Sets the hub's trace level: 0 (fatal only) to 6 (debug).\n"
     "\nExample: pellix-cli level 6\n"},
    {Command::Status, "status", kStatus | OPENMETRICS, "", "show the hub's settings, connections, traffic and events",
     "Asks the hub for its status and shows it as tables: version, uptime, settings,\n"
     "totals, descriptors and memory; every connection with its descriptor,\n"
     "transport, ids, name, peer, traffic, drops, queued bytes and idle time; every\n"
     "event with its subscribers. --json prints the hub's document as one line.\n"
     "--watch S asks again every S seconds and redraws (the screen is cleared when\n"
     "the output is a terminal). Over --udp the reply comes in datagrams: the request\n"
     "is padded to 2048 bytes, since the hub answers a datagram with at most three\n"
     "times its size; a larger status is refused (exit status 4), and a request\n"
     "beyond the hub's rate goes unanswered. --openmetrics prints it as OpenMetrics\n"
     "text: counters, gauges, one series per connection (labelled with its fd, module\n"
     "ids, name and transport) and per event, ending with # EOF.\n"
     "\nExample: pellix-cli status --openmetrics > /var/lib/node_exporter/pellix.prom\n"},
    {Command::Monitor, "monitor", kMonitor, "", "print a line for every frame the hub routes",
     "Switches the hub's monitor on and prints one line for every frame the hub\n"
     "routes: time of day, what happened (forwarded, published, registered,\n"
     "hub-command, dropped), src -> dev, command, payload length, and the payload's\n"
     "start as hex and text. --id, --event and --cmd keep only the matching frames\n"
     "(a frame must match each kind of filter given); reports of lost copies are\n"
     "always shown. Ends with --count, --timeout or a signal, and switches the\n"
     "monitor off on the way out. A hub that has as many monitors as it takes\n"
     "refuses one more: the tool then says why on standard error and exits with 4.\n"
     "\nExample: pellix-cli monitor --id 0x10 --count 20\n"},
    {Command::Capture, "capture", kMonitor | WRITE, "--write FILE", "write what the hub routes to a pcapng file",
     "Switches the hub's monitor on, as monitor does (with its filters), and writes\n"
     "each record to FILE as pcapng, at the time the hub routed the frame, for\n"
     "Wireshark with contrib/wireshark/pellix.lua (link type 252, exported PDUs\n"
     "naming the dissector \"pellix\"); - writes to standard output, which a\n"
     "Wireshark started with -k -i - reads live. Ends with --count, --timeout or a\n"
     "signal; a refused monitor ends with 4.\n"
     "\nExample: pellix-cli capture --write hub.pcapng --timeout 60\n"},
    {Command::Help, "help", 0, "[COMMAND]", "this text, or that of one command", ""},
};

template <typename Info, size_t N> const Info *lookup(const Info (&table)[N], const std::string &name)
{
    const Info *info = std::find_if(table, table + N, [&](const Info &i) { return name == i.name; });
    return info != table + N ? info : nullptr;
}

// Every refusal ends the parse with its one line.
void expect(bool ok, const std::string &why)
{
    if (!ok) {
        throw std::invalid_argument(why);
    }
}

// The tool's or a command's help: its prose around CLI11's lists of the
// options that apply.
std::string helpOf(const CLI::App *app)
{
    const CommandInfo *info = app->get_parent() != nullptr ? lookup(kCommands, app->get_name()) : nullptr;
    const CLI::App *root = info != nullptr ? app->get_parent() : app;
    const bool tool = info == nullptr || info->command == Command::Help;
    std::string text;
    if (tool) {
        text = "usage: pellix-cli COMMAND [ARGUMENTS] [options]\n\n" + root->get_description() + "\n\nCommands:\n";
        for (const CommandInfo &c : kCommands) {
            std::string left = std::string("  ") + c.name + " " + c.shape;
            left.resize(std::max<size_t>(left.size() + 1, 29), ' ');
            text += left + c.summary + "\n";
        }
    } else {
        text = std::string("usage: pellix-cli ") + info->name + (*info->shape != '\0' ? " " : "") + info->shape +
               " [options]\n\n" + info->about;
    }
    CLI::Formatter lists;
    lists.column_width(20);
    for (const std::string &group : root->get_groups()) {
        const std::vector<const CLI::Option *> options = root->get_options([&](const CLI::Option *option) {
            const OptionInfo *o = lookup(kOptions, option->get_name());
            return option->get_group() == group && (tool || (o != nullptr && (info->options & o->bit) != 0));
        });
        text += group.empty() || options.empty() ? "" : lists.make_group(group, false, options);
    }
    if (tool) {
        return text + "\n" + root->get_footer() + "\n";
    }
    return text + ((info->options & NAME) == 0 ? ""
                                             : "\nPlain output: one line per frame with the decoded header, then the "
                                               "payload as\nhex and printable text, 16 bytes a line.\n");
}

// Decimal, or hexadecimal after "0x"; nothing else, no sign.
bool parseNumber(const std::string &text, long long &value)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = text.substr(hex ? 2 : 0);
    errno = 0;
    value = strtoll(digits.c_str(), nullptr, hex ? 16 : 10);
    return !digits.empty() && errno == 0 &&
           digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") == std::string::npos;
}

int number(const std::string &what, const std::string &text, long min, long max)
{
    long long value = 0;
    char range[64];
    snprintf(range, sizeof range, "%ld to %ld (0x%lx)", min, max, max);
    expect(parseNumber(text, value) && value >= min && value <= max,
           what + " must be a number from " + range + ", not \"" + text + "\"");
    return static_cast<int>(value);
}

// An event number as pub, sub and listen take it; the SDK knows which
// events can be delivered.
int eventNumber(const std::string &text, bool published)
{
    long long value = 0;
    expect(parseNumber(text, value) && value <= 0xFFFF, "EVENT must be a 16-bit number, not \"" + text + "\"");
    const int event = static_cast<int>(value);
    const pellix::Result r = published ? pellix::checkPublishedEvent(event) : pellix::checkSubscribedEvent(event);
    expect(r.ok(), event == pellix::kDepartureEvent ? r.message()
                                                    : "event " + text + " can never be delivered: " +
                                                          (published ? "publications match events 1 to 0x7fff only"
                                                                     : "subscribe to events 0 to 0x7fff only"));
    return event;
}

// At most limit + 1 bytes of a file, or of standard input for "-": enough
// to tell that the data does not fit.
std::string readData(const std::string &path, size_t limit)
{
    const bool standardInput = path == "-";
    const int fd = standardInput ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    expect(fd >= 0, "--file: cannot open " + printable(path) + ": " + strerror(errno));
    std::string data;
    char chunk[65536];
    while (data.size() <= limit) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            const int err = got < 0 ? errno : 0;
            if (!standardInput) {
                close(fd);
            }
            expect(err == 0, "--file: cannot read " + (standardInput ? "standard input" : printable(path)) + ": " +
                                 strerror(err));
            return data;
        }
        data.append(chunk, static_cast<size_t>(got));
    }
    if (!standardInput) {
        close(fd);
    }
    return data;
}

// Pairs of hex digits; blanks, ':' and '-' between the pairs are skipped.
std::string hexBytes(const std::string &text)
{
    std::string bytes;
    std::string pair;
    for (char c : text) {
        const bool separator = c == ' ' || c == '\t' || c == ':' || c == '-';
        expect(!separator || pair.empty(), "--hex: a separator splits a byte in \"" + text + "\"");
        expect(separator || isxdigit(static_cast<unsigned char>(c)),
               std::string("--hex: '") + c + "' is not a hex digit");
        if (!separator && (pair += c).size() == 2) {
            bytes += static_cast<char>(strtol(pair.c_str(), nullptr, 16));
            pair.clear();
        }
    }
    expect(pair.empty(), "--hex: odd number of hex digits in \"" + text + "\"");
    return bytes;
}

// The words before "--" as the tool has always read them, where CLI11 reads
// them otherwise: every unknown word with a dash is an option ("-1" too), a
// flag takes no value, "--name=" gives an empty one, and "--" before the
// command leaves the command in front of it.
void prepare(std::vector<std::string> &line)
{
    bool command = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const std::string word = line[i];
        const std::string key = word.compare(0, 2, "--") == 0 ? word.substr(0, word.find('=')) : word;
        const OptionInfo *o = lookup(kOptions, key);
        const bool takesValue = o != nullptr && o->value != nullptr;
        if (word == "--") {
            if (!command && i + 1 < line.size() && lookup(kCommands, line[i + 1]) != nullptr) {
                std::swap(line[i], line[i + 1]);
            }
            return;
        }
        expect(word.size() < 2 || word[0] != '-' || o != nullptr || key == "--help" || key == "-h" ||
                   key == "--version",
               "unknown option " + key);
        expect(key == word || takesValue, key + " takes no value");
        if (takesValue && word == key + "=") {
            line[i] = key;
            line.insert(line.begin() + static_cast<long>(i) + 1, "");
        }
        i += takesValue && key == line[i] ? 1 : 0; // its value, whatever it looks like
        command = command || word.empty() || word[0] != '-' || word == "-";
    }
}

void parse(int argc, char **argv, CliArgs &args)
{
    CLI::App app("Talks to the Pellix hub from a shell or a script.", "pellix-cli");
    app.footer("Each command takes the options that apply to it: pellix-cli COMMAND --help.\n"
               "Without --tcp or --unix the hub is at $PELLIX_HUB (tcp:HOST:PORT or unix:PATH)\n"
               "when it is set. Numbers are decimal or hex with 0x.\n"
               "Exit status: 0 done; 1 the hub could not be reached or did not take the frame;\n"
               "2 bad arguments; 3 --timeout came before --count, or before call's reply; 4 the\n"
               "hub refused: monitor and capture when it has as many monitors as it takes,\n"
               "status --udp when its status does not fit an answer to a datagram; 5 no module\n"
               "holds DEST (send, call). Errors are one line on standard error (a JSON object\n"
               "with --json).\n"
               "\n"
               "Example: pellix-cli status --tcp 192.168.1.20:10032");
    app.set_help_flag(); // ours works before the command too: pellix-cli --help send
    app.allow_extras();  // unknown commands are named below, in the tool's words
    app.fallthrough();   // every option may come before or after the command
    app.require_subcommand(0, 1);
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.formatter_fn([](const CLI::App *about, std::string, CLI::AppFormatMode) { return helpOf(about); });
    for (const OptionInfo &o : kOptions) {
        (o.value != nullptr ? app.add_option(o.name, o.about)->type_name(o.value) : app.add_flag(o.name, o.about))
            ->group(o.bit == TCP || o.bit == UNIX ? "Where the hub is (default: TCP 127.0.0.1:10032)" : "Options");
    }
    const CLI::Option *help = app.add_flag("-h,--help", "this text; after a command, that command's")->group("Options");
    const CLI::Option *version = app.add_flag("--version", "print the tool's version and do nothing else")->group("Options");
    for (const CommandInfo &c : kCommands) {
        // The command's words: a count CLI11 never reaches keeps "--" inside the command.
        app.add_subcommand(c.name, c.summary)->add_option("words")->expected(1 << 30)->group("");
    }

    std::vector<std::string> line(argv + 1, argv + argc);
    prepare(line);
    std::reverse(line.begin(), line.end());
    try {
        app.parse(line);
    } catch (const CLI::ArgumentMismatch &) {
        throw std::invalid_argument(std::string(argv[argc - 1]) + " needs a value"); // only the last can miss it
    }
    int givenBits = 0;
    std::map<int, std::string> values;
    std::map<int, std::vector<std::string>> allValues;
    for (const OptionInfo &o : kOptions) {
        const std::vector<std::string> &results = app.get_option(o.name)->results();
        givenBits |= results.empty() ? 0 : o.bit;
        values[o.bit] = results.empty() ? "" : results[0];
        allValues[o.bit] = results;
    }
    auto given = [&](int bits) { return (givenBits & bits) != 0; };
    std::vector<std::string> stray = app.remaining(true);
    stray.erase(std::remove(stray.begin(), stray.end(), "--"), stray.end());
    expect(stray.empty(), stray.empty() ? "" : "unknown command \"" + stray[0] + "\"");
    if (version->count() > 0) {
        args.command = Command::Help;
        args.help = std::string("pellix-cli ") + PELLIX_VERSION + "\n";
        return;
    }
    if (app.get_subcommands().empty()) {
        expect(help->count() > 0, "no command given");
        args.command = Command::Help;
        args.help = app.help();
        return;
    }
    const CLI::App &sub = *app.get_subcommands()[0];
    const std::vector<std::string> &words = sub.get_option("words")->results();
    const CommandInfo &info = *lookup(kCommands, sub.get_name());
    const std::string name = info.name;
    args.command = info.command;
    if (info.command == Command::Help || help->count() > 0) {
        const CommandInfo *about = info.command != Command::Help || words.empty() ? &info : lookup(kCommands, words[0]);
        expect(info.command != Command::Help || words.size() < 2, "help takes at most one command");
        expect(about != nullptr, "unknown command \"" + (words.empty() ? "" : words[0]) + "\"");
        args.help = app.get_subcommand(about->name)->help();
        return;
    }
    for (const OptionInfo &o : kOptions) {
        expect(!given(o.bit) || (info.options & o.bit) != 0, std::string(o.name) + " does not apply to " + name);
        const bool filters = info.command == Command::Monitor || info.command == Command::Capture;
        expect(allValues[o.bit].size() < 2 || (filters && (o.bit & kRepeatable) != 0),
               std::string(o.name) + " is given twice");
    }

    args.json = given(JSON);
    args.verbose = given(VERBOSE);
    args.udp = given(UDP);
    expect(!given(TCP) || !given(UNIX), "--tcp and --unix exclude each other");
    std::string tcp = values[TCP];
    std::string unixPath = values[UNIX];
    bool viaTcp = given(TCP);
    bool viaUnix = given(UNIX);
    const char *environment = getenv("PELLIX_HUB");
    if (!viaTcp && !viaUnix && environment != nullptr && *environment != '\0') {
        // One address for the tool, the Python twin and the scripts around them.
        const std::string hub = environment;
        viaTcp = hub.compare(0, 4, "tcp:") == 0;
        viaUnix = hub.compare(0, 5, "unix:") == 0;
        expect(viaTcp || viaUnix, "PELLIX_HUB wants tcp:HOST:PORT or unix:PATH, not \"" + printable(hub) + "\"");
        (viaTcp ? tcp : unixPath) = hub.substr(viaTcp ? 4 : 5);
        args.hubFrom = "PELLIX_HUB";
    }
    const bool fromEnvironment = !args.hubFrom.empty();
    if (viaTcp) {
        const std::string what = fromEnvironment ? "PELLIX_HUB" : "--tcp";
        const size_t colon = tcp.rfind(':');
        expect(colon != std::string::npos && colon != 0 && colon + 1 != tcp.size(),
               what + " wants HOST:PORT, not \"" + printable(tcp) + "\"");
        args.host = tcp.substr(0, colon);
        args.port = number("the port of " + what, tcp.substr(colon + 1), 1, 65535);
    }
    if (viaUnix) {
        struct sockaddr_un probe;
        args.useUnix = true;
        args.unixPath = unixPath;
        expect(!args.udp, fromEnvironment ? "--udp sends to the hub's UDP port, and PELLIX_HUB names a Unix socket"
                                          : "--udp sends to the hub's UDP port and cannot go over --unix");
        expect(!args.unixPath.empty() && args.unixPath.size() < sizeof probe.sun_path,
               std::string(fromEnvironment ? "PELLIX_HUB" : "--unix") + " wants a path of 1 to " +
                   std::to_string(sizeof probe.sun_path - 1) + " bytes");
    }
    if (given(ID) && (info.command == Command::Monitor || info.command == Command::Capture)) {
        for (const std::string &text : allValues[ID]) {
            args.filterIds.push_back(number("--id", text, 0, 0xFF));
        }
    } else if (given(ID)) {
        args.id = number("--id", values[ID], 0, 0xFF);
        expect(pellix::checkRegistrationId(args.id).ok(),
               "--id must be 0x00 or 0x02 to 0xe0: the hub forwards frames to no other id");
    }
    // The pid makes the default a name no process has (the tool's own is
    // "pellix-cli"), and its first digits fall within the 15 characters
    // killall compares of a name.
    args.name = given(NAME) ? values[NAME] : "pellix-cli-" + std::to_string(getpid());
    expect(!args.name.empty(), "--name must not be empty");
    args.src = given(SRC) ? number("--src", values[SRC], 0, 0xFF) : args.src;
    expect(!given(HEX) || !given(TEXT), "--hex and --text exclude each other");
    expect(!given(FILE_DATA) || !given(HEX | TEXT), "--file excludes --hex and --text");
    const bool hasData = given(kData);
    args.payload = given(HEX) ? hexBytes(values[HEX]) : values[TEXT]; // "" without either
    args.count = given(COUNT) ? number("--count", values[COUNT], 1, 1000000000L) : 0;
    auto seconds = [&](int bit, const char *option, double least) {
        const std::string &text = values[bit];
        char *end = nullptr;
        errno = 0;
        const double value = strtod(text.c_str(), &end);
        char floor[32];
        snprintf(floor, sizeof floor, least > 0 ? "%g or more" : "above 0", least);
        expect(!text.empty() && errno == 0 && *end == '\0' && value > 0 && value >= least && value <= 1e7,
               std::string(option) + " must be a number of seconds " + floor + ", not \"" + text + "\"");
        return value;
    };
    args.timeout = given(TIMEOUT) ? seconds(TIMEOUT, "--timeout", 0) : args.command == Command::Call ? 5 : 0;
    args.watch = given(WATCH) ? seconds(WATCH, "--watch", 0.1) : 0;
    for (const std::string &text : allValues[EVENT]) {
        args.filterEvents.push_back(number("--event", text, 0, 0xFFFF));
    }
    for (const std::string &text : allValues[CMD]) {
        args.filterCmds.push_back(number("--cmd", text, 0, 0xFFFF));
    }

    // The command's own arguments.
    const size_t n = words.size();
    auto arity = [&](size_t min, size_t max, const char *shape) {
        expect(n >= min && n <= max, name + " takes " + shape + " (got " + std::to_string(n) + " argument" +
                                         (n == 1 ? "" : "s") + ")");
    };
    auto data = [&](size_t at, size_t streamLimit, size_t udpLimit) {
        expect(n <= at || !hasData, name + ": give the data once, as an argument or with --hex, --text or --file");
        args.payload = n > at ? words[at] : args.payload;
        const size_t limit = args.udp ? udpLimit : streamLimit;
        if (given(FILE_DATA)) {
            args.payload = readData(values[FILE_DATA], limit);
            expect(args.payload.size() <= limit, name + ": the data of --file passes " + std::to_string(limit) +
                                                     " bytes, the most a " + (args.udp ? "datagram" : "frame") +
                                                     " takes");
        }
        expect(pellix::checkPayload(args.payload.size(), limit, "data").ok(),
               name + ": " + std::to_string(args.payload.size()) + " bytes of data do not fit a " +
                   (args.udp ? "datagram" : "frame") + " (at most " + std::to_string(limit) + ")");
    };
    switch (args.command) {
    case Command::Send:
        arity(2, 3, "DEST CMD [DATA]");
        args.dest = number("DEST", words[0], 0, 0xFF);
        args.cmd = number("CMD", words[1], 0, 0xFFFF);
        args.check = !given(NO_CHECK);
        return data(2, pellix::kMaxPayload, pellix::kMaxUdpPayload);
    case Command::Call:
        arity(2, 3, "DEST CMD [DATA]");
        args.dest = number("DEST", words[0], 0, 0xFF);
        expect(pellix::checkRegistrationId(args.dest).ok(),
               "call: DEST must be a module id, 0x00 or 0x02 to 0xe0: nothing else replies");
        args.cmd = number("CMD", words[1], 0, 0xFFFF);
        args.replyCmd = given(REPLY_CMD) ? number("--reply-cmd", values[REPLY_CMD], 0, 0xFFFF) : -1;
        return data(2, pellix::kMaxPayload, pellix::kMaxPayload);
    case Command::Capture:
        expect(!values[WRITE].empty(), "capture needs --write FILE (- for standard output)");
        args.write = values[WRITE];
        return arity(0, 0, "no arguments but its options");
    case Command::Pub:
        arity(1, 2, "EVENT [DATA]");
        args.event = eventNumber(words[0], true);
        return data(1, pellix::kMaxEventData, pellix::kMaxUdpPayload - 2);
    case Command::Listen:
    case Command::Sub:
        expect(args.command == Command::Listen || n > 0, "sub takes one or more events");
        for (const std::string &word : words) {
            args.events.push_back(eventNumber(word, false));
        }
        return expect(args.id >= 0, name + " needs --id, the module id to register under");
    case Command::Status:
        expect(!given(COUNT) || given(WATCH), "status: --count needs --watch");
        args.openMetrics = given(OPENMETRICS);
        expect(!args.openMetrics || !given(JSON | WATCH), "status: --openmetrics excludes --json and --watch");
        return arity(0, 0, "no arguments");
    case Command::ReloadAccess:
        expect(!viaTcp, "reload-access goes over the hub's Unix socket, and PELLIX_HUB names a TCP address");
        args.useUnix = true;
        args.unixPath = viaUnix ? args.unixPath : pellix::kDefaultUnixPath;
        expect(geteuid() == 0, "reload-access needs root: the hub takes it from root over its Unix socket only");
        return arity(0, 0, "no arguments");
    case Command::Level:
        arity(1, 1, "the level N");
        args.level = number("N", words[0], 0, 6);
        return;
    default:
        return arity(0, 0, "no arguments");
    }
}

} // namespace

bool wantsJson(int argc, char **argv)
{
    for (int i = 1; i < argc && std::string(argv[i]) != "--"; ++i) {
        if (std::string(argv[i]) == "--json") {
            return true;
        }
    }
    return false;
}

bool parseArgs(int argc, char **argv, CliArgs &args, std::string &error)
{
    try {
        parse(argc, argv, args);
        return true;
    } catch (const std::exception &e) {
        error = e.what();
        return false;
    }
}

} // namespace cli
