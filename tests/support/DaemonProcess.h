#pragma once
// The real pellix binary, run as a child process under its own root.
//
// PELLIX_ROOT points the daemon at <root>/work/pellixPara.json,
// <root>/work/data/log, <root>/tmp/regMap.json and <root>/tmp/qm_sock; the
// constructor creates the two directories the daemon does not create itself.
// Its standard output and error go to files beside them. A daemon still
// running when the object goes is killed with SIGKILL and reaped, so no test
// leaves one behind, whatever assertion stopped it.
//
// When the environment variable PELLIX_TEST_DAEMON_WRAPPER is set (for
// example "valgrind --error-exitcode=99 -q"), the daemon runs under that
// command line, split at spaces, and gets more time to become ready and to
// end.

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace e2e {

class DaemonProcess {
public:
    explicit DaemonProcess(const TempDir &dir);
    ~DaemonProcess();
    DaemonProcess(const DaemonProcess &) = delete;
    DaemonProcess &operator=(const DaemonProcess &) = delete;

    const std::string &root() const { return rootDir; }
    std::string configPath() const { return rootDir + "/work/pellixPara.json"; }
    std::string logPath() const { return rootDir + "/work/data/log/Pellix.txt"; }
    std::string regMapPath() const { return rootDir + "/tmp/regMap.json"; }
    std::string unixSocketPath() const { return rootDir + "/tmp/qm_sock"; }
    uint16_t port() const { return tcpPort; }
    pid_t pid() const { return process.pid(); }

    // Sets a variable in the daemon's environment (NOTIFY_SOCKET, say).
    void setEnvironment(const std::string &name, const std::string &value);
    // Puts a directory in front of the daemon's PATH (for a stand-in of a
    // program it runs through the shell).
    void prependToPath(const std::string &dir);
    // Runs the daemon in a network namespace of its own, where it can
    // listen on any port without touching the machine's.
    void usePrivateNetwork() { privateNetwork = true; }
    // Whether this machine lets a child enter a network namespace of its own.
    static bool privateNetworkAvailable();

    // The daemon's RLIMIT_NOFILE, set in the child before it starts.
    void setFileLimit(rlim_t soft, rlim_t hard);

    // What <root>/tmp (the record and the Unix socket) is for the daemon:
    // the directory as it is, a tmpfs mounted with `tmpfsOptions` (such as
    // "size=64k" or "nr_inodes=1"), or the directory bound read-only. The
    // mounts live in a mount namespace of the daemon's own; the test sees
    // them through seenByDaemon().
    enum TmpCover { TMP_AS_IS, TMP_TMPFS, TMP_READ_ONLY };
    void coverTmp(TmpCover cover, const std::string &tmpfsOptions = std::string());
    // Whether this machine lets a child make such a cover.
    static bool tmpCoverAvailable(TmpCover cover);
    // `path` as the running daemon sees it: through /proc/<pid>/root when
    // it has mounts of its own. Files and Unix sockets can be reached that way.
    std::string seenByDaemon(const std::string &path) const;

    // The daemon is expected to fail to bind the Unix socket: readiness is
    // then TCP and UDP only, and its one "bind error" is not taken for a
    // port clash.
    void expectNoUnixSocket() { unixSocketExpected = false; }

    // The words of PELLIX_TEST_DAEMON_WRAPPER; empty when it is not set.
    static std::vector<std::string> wrapperCommand();

    // Picks a free port, writes {"tcpListenPort": port} to the configuration
    // file and starts the daemon; returns once it listens on TCP, UDP and
    // the Unix socket. A port that someone else took in the meantime makes it
    // try again with another one. False (with the reason in lastError()) if
    // the daemon never got ready.
    bool start();
    // Writes the hardened configuration the package ships, with a free port
    // and `overrides` (members such as "\"sendQueueBytes\" : 262144") in front
    // of its keys, and the access rules it names (the package's example) at
    // their place under the root; then starts the daemon with them.
    bool startHardened(const std::string &overrides = std::string());
    // Starts with whatever configuration the root holds and waits until the
    // daemon listens on `expectedPort` and on the Unix socket.
    bool startExpecting(uint16_t expectedPort);
    // Writes {"tcpListenPort": port} to the configuration file and starts
    // the daemon, returning at once: for a test that watches it get ready by
    // other means.
    bool launch(uint16_t port);
    const std::string &lastError() const { return error; }

    bool running();
    bool sendSignal(int sig);
    // Sends `sig` and waits for the end; returns the exit status (0 to 255),
    // or -1 if the daemon died of a signal or did not end in time (it is
    // then killed).
    int stop(int sig);
    // Waits for the end without sending anything.
    int waitForExit(int timeoutMs);
    // The raw wait status of the last run, for failure messages.
    std::string describeEnd() const;

    std::string stdoutText() const;
    std::string stderrText() const;
    std::string logText() const;
    // The first line of a sanitizer report in the daemon's standard error,
    // or an empty string.
    std::string sanitizerReport() const;

    // Polls until `path` exists / contains `needle`; false on time-out.
    static bool waitForFile(const std::string &path, int timeoutMs);
    static bool waitForText(const std::string &path, const std::string &needle, int timeoutMs);

private:
    bool spawn();
    bool waitReady(uint16_t expectedPort, int timeoutMs);
    bool portClash() const;
    static int readyTimeoutMs();
    bool ownsInetSocket(const char *table, uint16_t port, bool listening) const;
    std::string outputPath(const char *stream) const;

    std::string rootDir;
    std::string extraPath;
    std::vector<std::string> extraEnv; // NAME=value
    bool privateNetwork = false;
    bool fileLimitSet = false;
    struct rlimit fileLimit = {0, 0};
    TmpCover tmpCover = TMP_AS_IS;
    std::string tmpfsMountOptions;
    bool unixSocketExpected = true;
    uint16_t tcpPort = 0;
    Subprocess process;
    int runs = 0;
    std::string error;
};

// A port on which both TCP and UDP were free a moment ago.
uint16_t pickFreePort();
// Whether both TCP and UDP can bind `port` right now.
bool portIsFree(uint16_t port);

} // namespace e2e
