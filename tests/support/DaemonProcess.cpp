#include "tests/support/DaemonProcess.h"
#include "tests/support/Clock.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

extern char **environ;

namespace e2e {

namespace {

const int kReadyTimeoutMs = 15000;
const int kStopTimeoutMs = 15000;
const int kStartAttempts = 5;
// A daemon under a wrapper such as valgrind starts many times slower, and
// its end (with the wrapper's own checks) takes longer too.
const int kWrappedReadyScale = 20;
const int kWrappedStopScale = 4;


void pause(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool bindsTo(int type, uint16_t port, uint16_t *boundPort)
{
    const int s = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return false;
    }
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY); // where the daemon binds
    addr.sin_port = htons(port);
    bool ok = bind(s, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0;
    if (ok && boundPort != nullptr) {
        socklen_t len = sizeof addr;
        ok = getsockname(s, reinterpret_cast<struct sockaddr *>(&addr), &len) == 0;
        *boundPort = ntohs(addr.sin_port);
    }
    close(s);
    return ok;
}

bool writeText(const char *path, const std::string &text)
{
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// In the child, before exec: namespaces of its own (CLONE_NEWNET,
// CLONE_NEWNS). An unprivileged user gets them inside a user namespace that
// maps it to itself.
bool enterNamespaces(int flags)
{
    if (unshare(flags) == 0) {
        return true;
    }
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | flags) != 0) {
        return false;
    }
    writeText("/proc/self/setgroups", "deny");
    return writeText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
           writeText("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

bool enterPrivateNetwork()
{
    return enterNamespaces(CLONE_NEWNET);
}

// The mount flags of the file system holding `dir` that a read-only bind
// has to keep (a user namespace may not drop them).
unsigned long lockedMountFlags(const std::string &dir)
{
    struct statvfs fs;
    if (statvfs(dir.c_str(), &fs) != 0) {
        return 0;
    }
    unsigned long flags = 0;
    if (fs.f_flag & ST_NOSUID) {
        flags |= MS_NOSUID;
    }
    if (fs.f_flag & ST_NODEV) {
        flags |= MS_NODEV;
    }
    if (fs.f_flag & ST_NOEXEC) {
        flags |= MS_NOEXEC;
    }
    if (fs.f_flag & ST_NOATIME) {
        flags |= MS_NOATIME;
    }
    if (fs.f_flag & ST_NODIRATIME) {
        flags |= MS_NODIRATIME;
    }
    if (fs.f_flag & ST_RELATIME) {
        flags |= MS_RELATIME;
    }
    return flags;
}

// In the child, inside its own mount namespace: covers `dir`. Nothing done
// here reaches the test's view of the file system: propagation is cut first.
bool coverDirectory(DaemonProcess::TmpCover cover, const char *dir, const char *tmpfsOptions,
                    unsigned long lockedFlags)
{
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return false;
    }
    if (cover == DaemonProcess::TMP_TMPFS) {
        return mount("pellix-test-tmp", dir, "tmpfs", MS_NOSUID | MS_NODEV, tmpfsOptions) == 0;
    }
    if (cover == DaemonProcess::TMP_READ_ONLY) {
        return mount(dir, dir, nullptr, MS_BIND, nullptr) == 0 &&
               mount(nullptr, dir, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY | lockedFlags, nullptr) == 0;
    }
    return true;
}

// The wrapper's program as a path that execve() takes.
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

size_t occurrences(const std::string &text, const std::string &needle)
{
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

std::set<std::string> socketInodes(pid_t pid)
{
    std::set<std::string> inodes;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        return inodes;
    }
    while (struct dirent *entry = readdir(d)) {
        char target[256];
        const std::string link = dir + "/" + entry->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) {
            continue;
        }
        target[n] = '\0';
        // "socket:[12345]"
        if (strncmp(target, "socket:[", 8) == 0) {
            std::string inode(target + 8);
            if (!inode.empty() && inode.back() == ']') {
                inode.pop_back();
            }
            inodes.insert(inode);
        }
    }
    closedir(d);
    return inodes;
}

} // namespace

uint16_t pickFreePort()
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        uint16_t port = 0;
        if (bindsTo(SOCK_STREAM, 0, &port) && port != 0 && bindsTo(SOCK_DGRAM, port, nullptr)) {
            return port;
        }
    }
    return 0;
}

bool portIsFree(uint16_t port)
{
    return bindsTo(SOCK_STREAM, port, nullptr) && bindsTo(SOCK_DGRAM, port, nullptr);
}

DaemonProcess::DaemonProcess(const TempDir &dir) : rootDir(dir.path())
{
    dir.makeDirs("work/data/log");
    dir.makeDirs("tmp");
}

DaemonProcess::~DaemonProcess()
{
    kill9();
}

void DaemonProcess::kill9()
{
    if (child > 0) {
        kill(child, SIGKILL);
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        waitStatus = status;
        child = -1;
    }
}

void DaemonProcess::prependToPath(const std::string &dir)
{
    extraPath = extraPath.empty() ? dir : dir + ":" + extraPath;
}

bool DaemonProcess::privateNetworkAvailable()
{
    const pid_t probe = fork();
    if (probe < 0) {
        return false;
    }
    if (probe == 0) {
        _exit(enterPrivateNetwork() ? 0 : 1);
    }
    int status = 0;
    while (waitpid(probe, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void DaemonProcess::setFileLimit(rlim_t soft, rlim_t hard)
{
    fileLimitSet = true;
    fileLimit.rlim_cur = soft;
    fileLimit.rlim_max = hard;
}

void DaemonProcess::coverTmp(TmpCover cover, const std::string &tmpfsOptions)
{
    tmpCover = cover;
    tmpfsMountOptions = tmpfsOptions;
}

bool DaemonProcess::tmpCoverAvailable(TmpCover cover)
{
    if (cover == TMP_AS_IS) {
        return true;
    }
    TempDir probeDir;
    const std::string dir = probeDir.path();
    const unsigned long locked = lockedMountFlags(dir);
    const pid_t probe = fork();
    if (probe < 0) {
        return false;
    }
    if (probe == 0) {
        _exit(enterNamespaces(CLONE_NEWNS) && coverDirectory(cover, dir.c_str(), "size=64k", locked) ? 0 : 1);
    }
    int status = 0;
    while (waitpid(probe, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string DaemonProcess::seenByDaemon(const std::string &path) const
{
    if (tmpCover == TMP_AS_IS || child <= 0) {
        return path;
    }
    return "/proc/" + std::to_string(child) + "/root" + path;
}

std::vector<std::string> DaemonProcess::wrapperCommand()
{
    std::vector<std::string> words;
    const char *wrapper = getenv("PELLIX_TEST_DAEMON_WRAPPER");
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

bool DaemonProcess::spawn()
{
    ++runs;
    const std::string outPath = rootDir + "/stdout-" + std::to_string(runs) + ".txt";
    const std::string errPath = rootDir + "/stderr-" + std::to_string(runs) + ".txt";

    // The environment is built here: after fork() the child only calls
    // what is safe there.
    std::vector<std::string> env;
    const char *path = getenv("PATH");
    for (char **e = environ; *e != nullptr; ++e) {
        if (strncmp(*e, "PELLIX_ROOT=", 12) != 0 && strncmp(*e, "PATH=", 5) != 0) {
            env.push_back(*e);
        }
    }
    env.push_back("PELLIX_ROOT=" + rootDir);
    std::string daemonPath = path != nullptr ? path : "/usr/bin:/bin";
    if (!extraPath.empty()) {
        daemonPath = extraPath + ":" + daemonPath;
    }
    env.push_back("PATH=" + daemonPath);
    std::vector<char *> envp;
    for (std::string &entry : env) {
        envp.push_back(&entry[0]);
    }
    envp.push_back(nullptr);
    char binary[] = PELLIX_BINARY_PATH;
    std::vector<std::string> command = wrapperCommand();
    if (!command.empty()) {
        command[0] = findProgram(command[0]);
    }
    command.push_back(binary);
    std::vector<char *> argv;
    for (std::string &word : command) {
        argv.push_back(&word[0]);
    }
    argv.push_back(nullptr);
    const std::string tmpDir = rootDir + "/tmp";
    const unsigned long lockedFlags = tmpCover == TMP_READ_ONLY ? lockedMountFlags(tmpDir) : 0;
    int namespaces = 0;
    if (privateNetwork) {
        namespaces |= CLONE_NEWNET;
    }
    if (tmpCover != TMP_AS_IS) {
        namespaces |= CLONE_NEWNS;
    }

    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0 || err < 0) {
        error = "cannot create " + outPath + " or " + errPath;
        if (out >= 0) {
            close(out);
        }
        if (err >= 0) {
            close(err);
        }
        return false;
    }
    waitStatus = -1;
    child = fork();
    if (child == 0) {
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        // The test process may have signals blocked or ignored that the
        // daemon must see as a fresh process would.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        signal(SIGCHLD, SIG_DFL);
        signal(SIGWINCH, SIG_DFL);
        if (namespaces != 0 && !enterNamespaces(namespaces)) {
            _exit(126);
        }
        if (tmpCover != TMP_AS_IS &&
            !coverDirectory(tmpCover, tmpDir.c_str(), tmpfsMountOptions.c_str(), lockedFlags)) {
            _exit(125);
        }
        if (fileLimitSet && setrlimit(RLIMIT_NOFILE, &fileLimit) != 0) {
            _exit(124);
        }
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out);
    close(err);
    if (child < 0) {
        error = std::string("fork: ") + strerror(errno);
        return false;
    }
    return true;
}

bool DaemonProcess::ownsInetSocket(const char *table, uint16_t port, bool listening) const
{
    const std::set<std::string> inodes = socketInodes(child);
    std::ifstream in("/proc/" + std::to_string(child) + "/net/" + table);
    std::string line;
    std::getline(in, line); // column titles
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
        const size_t colon = local.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        const unsigned long localPort = strtoul(local.c_str() + colon + 1, nullptr, 16);
        if (localPort != port || (listening && state != "0A")) {
            continue;
        }
        if (inodes.count(inode) != 0) {
            return true;
        }
    }
    return false;
}

bool DaemonProcess::waitReady(uint16_t expectedPort, int timeoutMs)
{
    const int64_t deadline = nowMs() + timeoutMs;
    while (nowMs() < deadline) {
        if (!running()) {
            error = "the daemon ended before it was ready: " + describeEnd();
            return false;
        }
        if (portClash()) {
            error = "the daemon could not bind: " + stderrText();
            return false;
        }
        // The servers start in the order TCP, Unix, UDP, and the loop
        // follows at once.
        struct stat st;
        const bool unixReady = !unixSocketExpected ||
                               (stat(seenByDaemon(unixSocketPath()).c_str(), &st) == 0 && S_ISSOCK(st.st_mode));
        if (unixReady && ownsInetSocket("tcp", expectedPort, true) && ownsInetSocket("udp", expectedPort, false)) {
            return true;
        }
        pause(5);
    }
    error = "the daemon did not listen on port " + std::to_string(expectedPort) + " and " + unixSocketPath() +
            " in time";
    return false;
}

bool DaemonProcess::portClash() const
{
    // A Unix socket that is expected to fail brings one "bind error" of its own.
    return occurrences(stderrText(), "bind error") > (unixSocketExpected ? 0u : 1u);
}

int DaemonProcess::readyTimeoutMs()
{
    return wrapperCommand().empty() ? kReadyTimeoutMs : kReadyTimeoutMs * kWrappedReadyScale;
}

bool DaemonProcess::start()
{
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        tcpPort = pickFreePort();
        if (tcpPort == 0) {
            error = "no free port";
            return false;
        }
        writeFile(configPath(), "{\"tcpListenPort\": " + std::to_string(tcpPort) + "}\n");
        if (!spawn()) {
            return false;
        }
        if (waitReady(tcpPort, readyTimeoutMs())) {
            return true;
        }
        const bool clash = portClash();
        kill9();
        if (!clash) {
            return false;
        }
    }
    return false;
}

bool DaemonProcess::startExpecting(uint16_t expectedPort)
{
    tcpPort = expectedPort;
    if (!spawn()) {
        return false;
    }
    if (waitReady(expectedPort, readyTimeoutMs())) {
        return true;
    }
    kill9();
    return false;
}

bool DaemonProcess::running()
{
    if (child <= 0) {
        return false;
    }
    int status = 0;
    const pid_t r = waitpid(child, &status, WNOHANG);
    if (r == child) {
        waitStatus = status;
        child = -1;
        return false;
    }
    return true;
}

bool DaemonProcess::sendSignal(int sig)
{
    return child > 0 && kill(child, sig) == 0;
}

int DaemonProcess::waitForExit(int timeoutMs)
{
    const int64_t deadline = nowMs() + timeoutMs;
    while (running()) {
        if (nowMs() >= deadline) {
            kill9();
            return -1;
        }
        pause(2);
    }
    if (waitStatus != -1 && WIFEXITED(waitStatus)) {
        return WEXITSTATUS(waitStatus);
    }
    return -1;
}

int DaemonProcess::stop(int sig)
{
    if (!sendSignal(sig)) {
        return waitForExit(0);
    }
    return waitForExit(wrapperCommand().empty() ? kStopTimeoutMs : kStopTimeoutMs * kWrappedStopScale);
}

std::string DaemonProcess::describeEnd() const
{
    if (waitStatus == -1) {
        return "still running or never started";
    }
    if (WIFEXITED(waitStatus)) {
        return "exit status " + std::to_string(WEXITSTATUS(waitStatus));
    }
    if (WIFSIGNALED(waitStatus)) {
        return "killed by signal " + std::to_string(WTERMSIG(waitStatus));
    }
    return "wait status " + std::to_string(waitStatus);
}

std::string DaemonProcess::stdoutText() const
{
    return readFile(rootDir + "/stdout-" + std::to_string(runs) + ".txt");
}

std::string DaemonProcess::stderrText() const
{
    return readFile(rootDir + "/stderr-" + std::to_string(runs) + ".txt");
}

std::string DaemonProcess::logText() const
{
    return readFile(logPath());
}

std::string DaemonProcess::sanitizerReport() const
{
    const std::string text = stderrText();
    const char *const markers[] = {"ERROR: AddressSanitizer", "runtime error", "LeakSanitizer",
                                   "ERROR: UndefinedBehavior"};
    for (const char *marker : markers) {
        const size_t at = text.find(marker);
        if (at != std::string::npos) {
            const size_t begin = text.rfind('\n', at);
            const size_t end = text.find('\n', at);
            return text.substr(begin == std::string::npos ? 0 : begin + 1,
                               end == std::string::npos ? std::string::npos : end - (begin + 1));
        }
    }
    // A wrapper such as valgrind run with -q writes only its reports, each
    // line led by "==<pid>==".
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.size() > 4 && line.compare(0, 2, "==") == 0) {
            const size_t close = line.find("==", 2);
            if (close != std::string::npos && close > 2 &&
                line.find_first_not_of("0123456789", 2) == close) {
                return line;
            }
        }
    }
    return std::string();
}

bool DaemonProcess::waitForFile(const std::string &path, int timeoutMs)
{
    const int64_t deadline = nowMs() + timeoutMs;
    while (!fileExists(path)) {
        if (nowMs() >= deadline) {
            return false;
        }
        pause(5);
    }
    return true;
}

bool DaemonProcess::waitForText(const std::string &path, const std::string &needle, int timeoutMs)
{
    const int64_t deadline = nowMs() + timeoutMs;
    while (readFile(path).find(needle) == std::string::npos) {
        if (nowMs() >= deadline) {
            return false;
        }
        pause(5);
    }
    return true;
}

} // namespace e2e
