#include "tests/support/DaemonProcess.h"
#include "tests/support/Clock.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

namespace e2e {

namespace {

const int kReadyTimeoutMs = 15000;
const int kStopTimeoutMs = 15000;
const int kStartAttempts = 5;
// A daemon under a wrapper such as valgrind starts many times slower, and
// its end (with the wrapper's own checks) takes longer too.
const int kWrappedReadyScale = 20;
const int kWrappedStopScale = 4;
const int kProbeTimeoutMs = 10000;

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

// Whether `check` succeeds in a child of its own, so that namespaces it
// enters stay there.
bool succeedsInChild(const std::function<bool()> &check)
{
    Subprocess probe;
    return probe.start([&] { return check() ? 0 : 1; }) && probe.waitFor(kProbeTimeoutMs) &&
           probe.exitStatus() == 0;
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

DaemonProcess::~DaemonProcess() = default;

void DaemonProcess::setEnvironment(const std::string &name, const std::string &value)
{
    extraEnv.push_back(name + "=" + value);
}

void DaemonProcess::prependToPath(const std::string &dir)
{
    extraPath = extraPath.empty() ? dir : dir + ":" + extraPath;
}

bool DaemonProcess::privateNetworkAvailable()
{
    return succeedsInChild([] { return enterNamespaces(CLONE_NEWNET); });
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
    return succeedsInChild([&] {
        return enterNamespaces(CLONE_NEWNS) && coverDirectory(cover, dir.c_str(), "size=64k", locked);
    });
}

std::string DaemonProcess::seenByDaemon(const std::string &path) const
{
    if (tmpCover == TMP_AS_IS || pid() <= 0) {
        return path;
    }
    return "/proc/" + std::to_string(pid()) + "/root" + path;
}

std::vector<std::string> DaemonProcess::wrapperCommand()
{
    return Subprocess::commandFrom("PELLIX_TEST_DAEMON_WRAPPER");
}

std::string DaemonProcess::outputPath(const char *stream) const
{
    return rootDir + "/" + stream + "-" + std::to_string(runs) + ".txt";
}

bool DaemonProcess::spawn()
{
    ++runs;
    std::vector<std::string> env;
    for (const std::string &entry : Subprocess::environment()) {
        const std::string name = entry.substr(0, entry.find('='));
        const bool replaced = std::any_of(extraEnv.begin(), extraEnv.end(), [&](const std::string &extra) {
            return extra.compare(0, name.size() + 1, name + "=") == 0;
        });
        // A test run under a service manager does not lend the daemons its
        // notification socket.
        const bool managers = name == "NOTIFY_SOCKET" || name == "WATCHDOG_USEC" || name == "WATCHDOG_PID";
        if (name != "PELLIX_ROOT" && name != "PATH" && !replaced && !managers) {
            env.push_back(entry);
        }
    }
    env.push_back("PELLIX_ROOT=" + rootDir);
    const char *path = getenv("PATH");
    std::string daemonPath = path != nullptr ? path : "/usr/bin:/bin";
    if (!extraPath.empty()) {
        daemonPath = extraPath + ":" + daemonPath;
    }
    env.push_back("PATH=" + daemonPath);
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<std::string> command = wrapperCommand();
    command.push_back(PELLIX_BINARY_PATH);
    const std::string tmpDir = rootDir + "/tmp";
    const unsigned long lockedFlags = tmpCover == TMP_READ_ONLY ? lockedMountFlags(tmpDir) : 0;
    int namespaces = 0;
    if (privateNetwork) {
        namespaces |= CLONE_NEWNET;
    }
    if (tmpCover != TMP_AS_IS) {
        namespaces |= CLONE_NEWNS;
    }
    // In the child, just before the exec.
    const auto isolate = [&]() -> int {
        if (namespaces != 0 && !enterNamespaces(namespaces)) {
            return 126;
        }
        if (tmpCover != TMP_AS_IS &&
            !coverDirectory(tmpCover, tmpDir.c_str(), tmpfsMountOptions.c_str(), lockedFlags)) {
            return 125;
        }
        if (fileLimitSet && setrlimit(RLIMIT_NOFILE, &fileLimit) != 0) {
            return 124;
        }
        return 0;
    };
    if (!process.exec(command, env, {outputPath("stdout"), outputPath("stderr")}, isolate)) {
        error = process.error();
        return false;
    }
    return true;
}

bool DaemonProcess::ownsInetSocket(const char *table, uint16_t port, bool listening) const
{
    const std::set<std::string> inodes = socketInodes(pid());
    std::ifstream in("/proc/" + std::to_string(pid()) + "/net/" + table);
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
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
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
        process.kill();
        if (!clash) {
            return false;
        }
    }
    return false;
}

bool DaemonProcess::startHardened(const std::string &overrides)
{
    const std::string source = PELLIX_SOURCE_PATH;
    std::string text = readFile(source + "/packaging/pellixPara.hardened.json");
    const uint16_t port = pickFreePort();
    text = std::regex_replace(text, std::regex("\"tcpListenPort\" : 10032"),
                              "\"tcpListenPort\" : " + std::to_string(port) + (overrides.empty() ? "" : ", ") +
                                  overrides);
    writeFile(configPath(), text);
    mkdir((rootDir + "/etc").c_str(), 0755);
    mkdir((rootDir + "/etc/pellix").c_str(), 0755);
    const std::string rules = rootDir + "/etc/pellix/access.json";
    writeFile(rules, readFile(source + "/packaging/pellixAccess.json"));
    chmod(rules.c_str(), 0644);
    return startExpecting(port);
}

bool DaemonProcess::launch(uint16_t port)
{
    tcpPort = port;
    writeFile(configPath(), "{\"tcpListenPort\": " + std::to_string(port) + "}\n");
    return spawn();
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
    process.kill();
    return false;
}

bool DaemonProcess::running()
{
    return process.running();
}

bool DaemonProcess::sendSignal(int sig)
{
    return process.signal(sig);
}

int DaemonProcess::waitForExit(int timeoutMs)
{
    if (!process.waitFor(timeoutMs)) {
        process.kill();
        return -1;
    }
    return process.exitStatus();
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
    return process.describeEnd();
}

std::string DaemonProcess::stdoutText() const
{
    return readFile(outputPath("stdout"));
}

std::string DaemonProcess::stderrText() const
{
    return readFile(outputPath("stderr"));
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
    return waitUntil(timeoutMs, 5, [&] { return fileExists(path); });
}

bool DaemonProcess::waitForText(const std::string &path, const std::string &needle, int timeoutMs)
{
    return waitUntil(timeoutMs, 5, [&] { return readFile(path).find(needle) != std::string::npos; });
}

} // namespace e2e
