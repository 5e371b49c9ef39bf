#include "tests/cli/ProgramProcess.h"
#include "tests/support/Clock.h"

#include <cstdlib>
#include <sstream>

#include "tests/support/TempDir.h"

namespace programs {

namespace {

int serial = 0;

} // namespace

std::vector<std::string> ProgramProcess::wrapperCommand()
{
    return Subprocess::commandFrom("PELLIX_TEST_PROGRAM_WRAPPER");
}

int ProgramProcess::timeScale()
{
    const char *text = getenv("PELLIX_TEST_TIME_SCALE");
    const int scale = text != nullptr ? atoi(text) : 1;
    return scale > 1 ? scale : 1;
}

ProgramProcess::ProgramProcess(const std::string &path, const std::string &dir) : binary(path)
{
    ++serial;
    outPath = dir + "/program-" + std::to_string(serial) + ".out";
    errPath = dir + "/program-" + std::to_string(serial) + ".err";
}

ProgramProcess::~ProgramProcess() = default;

bool ProgramProcess::start(const std::vector<std::string> &args)
{
    std::vector<std::string> command = wrapperCommand();
    command.push_back(binary);
    command.insert(command.end(), args.begin(), args.end());
    return process.exec(command, Subprocess::environment(), {outPath, errPath});
}

int ProgramProcess::wait(int timeoutMs)
{
    if (!process.waitFor(static_cast<int64_t>(timeoutMs) * timeScale())) {
        process.kill();
        return -1;
    }
    return process.exitStatus();
}

bool ProgramProcess::signal(int sig)
{
    return process.signal(sig);
}

bool ProgramProcess::waitForOutput(const std::string &needle, int timeoutMs)
{
    const auto seen = [&] { return out().find(needle) != std::string::npos; };
    // A program that has ended writes no more: one last look then.
    waitUntil(static_cast<int64_t>(timeoutMs) * timeScale(), 5, [&] { return seen() || !process.running(); });
    return seen();
}

std::string ProgramProcess::out() const
{
    return readFile(outPath);
}

std::string ProgramProcess::err() const
{
    return readFile(errPath);
}

std::vector<std::string> ProgramProcess::outLines() const
{
    std::vector<std::string> lines;
    std::istringstream in(out());
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

Finished run(const std::string &binary, const std::string &dir, const std::vector<std::string> &args, int timeoutMs)
{
    ProgramProcess program(binary, dir);
    Finished result;
    if (!program.start(args)) {
        return result;
    }
    result.status = program.wait(timeoutMs);
    result.out = program.out();
    result.err = program.err();
    return result;
}

} // namespace programs
