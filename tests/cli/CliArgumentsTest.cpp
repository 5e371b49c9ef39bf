// The tool's help, its refusal of arguments it cannot use (status 2) and of
// a hub it cannot reach (status 1), each with one line on standard error.

#include "tests/cli/CliFixture.h"

namespace programs {
namespace {

class CliArguments : public CliFixture {};

void expectOneLineError(const Finished &f, int status, const std::string &part, const std::string &what)
{
    EXPECT_EQ(status, f.status) << what << "\n" << f.err;
    EXPECT_EQ("", f.out) << what;
    EXPECT_EQ(0u, plainError(f.err).find("pellix-cli: ")) << what << ": " << f.err;
    EXPECT_EQ(1u, countOf(f.err, "\n")) << what << ": " << f.err;
    EXPECT_NE(std::string::npos, f.err.find(part)) << what << ": " << f.err;
}

TEST_F(CliArguments, HelpForTheToolAndEveryCommand)
{
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{"--help"}, {"-h"}, {"help"}}) {
        const Finished f = cli(args);
        EXPECT_EQ(0, f.status) << args[0];
        EXPECT_EQ(0u, f.out.find("usage: pellix-cli COMMAND")) << f.out;
        EXPECT_NE(std::string::npos, f.out.find("Exit status: 0 done; 1 the hub could not be"));
        EXPECT_EQ("", f.err);
    }
    for (const char *command :
         {"send", "call", "listen", "sub", "pub", "dump", "print", "level", "status", "monitor", "capture"}) {
        for (const std::vector<std::string> &args :
             std::vector<std::vector<std::string>>{{command, "--help"}, {"help", command}, {"--help", command}}) {
            const Finished f = cli(args);
            EXPECT_EQ(0, f.status) << command;
            EXPECT_EQ(0u, f.out.find(std::string("usage: pellix-cli ") + command + " ")) << f.out;
            EXPECT_NE(std::string::npos, f.out.find("--tcp HOST:PORT")) << command;
            EXPECT_EQ("", f.err) << command;
        }
    }
}

TEST_F(CliArguments, BadArgumentsGiveOneLineAndStatusTwo)
{
    const struct {
        std::vector<std::string> args;
        const char *part;
    } cases[] = {
        {{}, "no command given"},
        {{"frob"}, "unknown command \"frob\""},
        {{"help", "frob"}, "unknown command \"frob\""},
        {{"send", "0x10", "1", "--frob"}, "unknown option --frob"},
        {{"send", "0x10"}, "send takes DEST CMD [DATA] (got 1 argument)"},
        {{"send", "0x100", "1"}, "DEST must be a number from 0 to 255"},
        {{"send", "16", "0x10000"}, "CMD must be a number from 0 to 65535"},
        {{"send", "16", "-1"}, "unknown option -1"},
        {{"send", "16", "1", "--hex", "abc"}, "odd number of hex digits"},
        {{"send", "16", "1", "--hex", "zz"}, "'z' is not a hex digit"},
        {{"send", "16", "1", "--hex", "aa", "--text", "b"}, "--hex and --text exclude each other"},
        {{"send", "16", "1", "data", "--text", "b"}, "give the data once"},
        {{"send", "16", "1", std::string(65530, 't')}, "65530 bytes of data do not fit a frame (at most 65529)"},
        {{"send", "16", "1", "--udp", std::string(2031, 't')}, "2031 bytes of data do not fit a datagram"},
        {{"send", "16", "1", "--udp", "--unix", "/tmp/x"}, "cannot go over --unix"},
        {{"send", "16", "1", "--tcp", "localhost"}, "--tcp wants HOST:PORT"},
        {{"send", "16", "1", "--tcp", "127.0.0.1:0"}, "the port of --tcp must be a number from 1 to 65535"},
        {{"send", "16", "1", "--tcp", "a:1", "--unix", "/x"}, "--tcp and --unix exclude each other"},
        {{"send", "16", "1", "--unix", "/" + std::string(108, 'u')}, "--unix wants a path of 1 to 107 bytes"},
        {{"send", "16", "1", "--count", "2"}, "--count does not apply to send"},
        {{"send", "16", "1", "--src"}, "--src needs a value"},
        {{"send", "16", "1", "--json=yes"}, "--json takes no value"},
        {{"send", "16", "1", "--src", "1", "--src", "2"}, "--src is given twice"},
        {{"pub", "0x8000"}, "event 0x8000 can never be delivered: publications match events 1 to 0x7fff only"},
        {{"pub", "0"}, "event 0 is the hub's own departure notice"},
        {{"pub", "0x10000"}, "EVENT must be a 16-bit number, not \"0x10000\""},
        {{"pub", "5", std::string(65528, 'p')}, "65528 bytes of data do not fit a frame (at most 65527)"},
        {{"sub", "--id", "0x10"}, "sub takes one or more events"},
        {{"sub", "5", "32768", "--id", "0x10"}, "event 32768 can never be delivered: subscribe to events 0 to 0x7fff"},
        {{"sub", "5"}, "sub needs --id"},
        {{"listen"}, "listen needs --id"},
        {{"listen", "--id", "1"}, "--id must be 0x00 or 0x02 to 0xe0"},
        {{"listen", "--id", "0xe1"}, "--id must be 0x00 or 0x02 to 0xe0"},
        {{"listen", "extra", "--id", "16"}, "EVENT must be a 16-bit number, not \"extra\""},
        {{"listen", "--id", "16", "--udp"}, "--udp does not apply to listen"},
        {{"listen", "--id", "16", "--name="}, "--name must not be empty"},
        {{"listen", "--id", "16", "--count", "0"}, "--count must be a number from 1"},
        {{"listen", "--id", "16", "--timeout", "-1"}, "--timeout must be a number of seconds above 0"},
        {{"listen", "--id", "16", "--timeout", "soon"}, "--timeout must be a number of seconds above 0"},
        {{"level"}, "level takes the level N"},
        {{"level", "7"}, "N must be a number from 0 to 6"},
        {{"level", "010x"}, "N must be a number from 0 to 6"},
        {{"dump", "now"}, "dump takes no arguments"},
        {{"reload-access", "now"}, "reload-access takes no arguments"},
        {{"reload-access", "--tcp", "127.0.0.1:1"}, "--tcp does not apply to reload-access"},
        {{"reload-access", "--udp"}, "--udp does not apply to reload-access"},
        {{"print", "--hex", "aa"}, "--hex does not apply to print"},
        {{"status", "--count", "2"}, "status: --count needs --watch"},
        {{"status", "--watch", "0.01"}, "--watch must be a number of seconds 0.1 or more"},
        {{"status", "--id", "3"}, "--id does not apply to status"},
        {{"monitor", "--udp"}, "--udp does not apply to monitor"},
        {{"monitor", "--cmd", "0x10000"}, "--cmd must be a number from 0 to 65535"},
        {{"listen", "--id", "16", "--id", "17"}, "--id is given twice"},
    };
    for (const auto &c : cases) {
        std::string what;
        for (const std::string &arg : c.args) {
            what += (arg.size() > 20 ? arg.substr(0, 20) + "..." : arg) + " ";
        }
        const Finished f = cli(c.args);
        expectOneLineError(f, 2, c.part, what);
        EXPECT_NE(std::string::npos, f.err.find("(see pellix-cli --help)")) << what;
    }
}

TEST_F(CliArguments, UnreachableHubGivesOneLineAndStatusOne)
{
    const std::string nobody = "127.0.0.1:" + std::to_string(e2e::pickFreePort());
    const std::string noPath = dir.path() + "/no-hub";
    const struct {
        std::vector<std::string> args;
        std::string part;
    } cases[] = {
        {{"send", "16", "66", "--tcp", nobody}, "cannot reach the hub at " + nobody + ": Connection refused"},
        {{"pub", "5", "x", "--tcp", nobody, "--json"}, "cannot reach the hub at " + nobody},
        {{"dump", "--tcp", nobody}, "cannot reach the hub at " + nobody},
        {{"level", "3", "--tcp", nobody, "--verbose"}, "cannot reach the hub at " + nobody},
        {{"listen", "--id", "16", "--tcp", nobody}, "cannot reach the hub at " + nobody},
        {{"sub", "5", "--id", "16", "--tcp", nobody, "--json"}, "cannot reach the hub at " + nobody},
        {{"send", "16", "66", "--unix", noPath},
         "cannot reach the hub at unix socket " + noPath + ": No such file or directory"},
    };
    for (const auto &c : cases) {
        const Finished f = cli(c.args);
        if (c.args.back() == "--verbose") {
            // The framework's own texts are on standard error then, with
            // the tool's line last.
            EXPECT_EQ(1, f.status);
            EXPECT_EQ("", f.out);
            EXPECT_NE(std::string::npos, f.err.find("pellix-cli: " + c.part + ": Connection refused\n")) << f.err;
            continue;
        }
        expectOneLineError(f, 1, c.part, c.args[0]);
    }
}

} // namespace
} // namespace programs
