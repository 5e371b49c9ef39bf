#include "tests/cli/ProgramProcess.h"
#include "tests/support/Clock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "tests/support/TempDir.h"

namespace programs {

namespace {


int serial = 0;

// A wrapper's program as a path that execv() takes.
std::string findProgram(const std::string &name)
{
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const char *path = getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return name;
}

} // namespace

std::vector<std::string> ProgramProcess::wrapperCommand()
{
    std::vector<std::string> words;
    const char *wrapper = getenv("PELLIX_TEST_PROGRAM_WRAPPER");
    if (wrapper == nullptr) {
        return words;
    }
    std::istringstream in(wrapper);
    std::string word;
    while (in >> word) {
        words.push_back(word);
    }
    return words;
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

ProgramProcess::~ProgramProcess()
{
    if (child > 0) {
        kill(child, SIGKILL);
        int ignored = 0;
        while (waitpid(child, &ignored, 0) < 0 && errno == EINTR) {
        }
    }
}

bool ProgramProcess::start(const std::vector<std::string> &args)
{
    std::vector<std::string> argvText = wrapperCommand();
    if (!argvText.empty()) {
        argvText[0] = findProgram(argvText[0]);
    }
    argvText.push_back(binary);
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &arg : argvText) {
        argv.push_back(&arg[0]);
    }
    argv.push_back(nullptr);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0 || err < 0) {
        return false;
    }
    child = fork();
    if (child == 0) {
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out);
    close(err);
    return child > 0;
}

int ProgramProcess::wait(int timeoutMs)
{
    if (child <= 0) {
        return status;
    }
    const int64_t deadline = nowMs() + static_cast<int64_t>(timeoutMs) * timeScale();
    int raw = 0;
    for (;;) {
        const pid_t done = waitpid(child, &raw, WNOHANG);
        if (done == child) {
            break;
        }
        if (done < 0 && errno != EINTR) {
            child = -1;
            return -1;
        }
        if (nowMs() >= deadline) {
            kill(child, SIGKILL);
            waitpid(child, &raw, 0);
            child = -1;
            status = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    child = -1;
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return status;
}

bool ProgramProcess::signal(int sig)
{
    return child > 0 && kill(child, sig) == 0;
}

bool ProgramProcess::waitForOutput(const std::string &needle, int timeoutMs)
{
    const int64_t deadline = nowMs() + static_cast<int64_t>(timeoutMs) * timeScale();
    for (;;) {
        if (out().find(needle) != std::string::npos) {
            return true;
        }
        if (nowMs() >= deadline) {
            return false;
        }
        siginfo_t info;
        info.si_pid = 0;
        if (child > 0 && waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == child) {
            // Ended: one last look at what it wrote.
            return out().find(needle) != std::string::npos;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
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
