#include "hub/Supervisor.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "hub/HubLog.h"
#include "hub/ModuleName.h"
#include "hub/ShellCommand.h"
#include "net/CSocketClient.h"
#include "net/PeerProcess.h"
#include "net/SocketOptions.h"
#include "trace/Trace.h"

Supervisor::Supervisor(const HubSettings &hardened, SessionTable &table, const Forget &forget)
    : settings(hardened), sessions(table), forgetSession(forget), runCommand(ShellCommand::run),
      signalProcess(PeerProcess::signal)
{
    // What killall would take for this very process: the kernel's name for
    // it (which an emulator or a wrapper may change) and the program's own.
    char comm[64] = "";
    const int fd = open("/proc/self/comm", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        const ssize_t got = read(fd, comm, sizeof comm - 1);
        close(fd);
        comm[got > 0 ? got : 0] = '\0';
        comm[strcspn(comm, "\n")] = '\0';
    }
    ownNames.insert(comm);
    ownNames.insert(program_invocation_short_name);
}

void Supervisor::setKillActions(const CommandRunner &runner, const ProcessSignaller &signaller)
{
    runCommand = runner ? runner : CommandRunner(ShellCommand::run);
    signalProcess = signaller ? signaller : ProcessSignaller(PeerProcess::signal);
}

void Supervisor::check()
{
    killedThisPeriod.clear();
    SessionTable::Map::iterator it = sessions.all().begin();
    while (it != sessions.all().end()) {
        Session &session = *it->second;
        if (session.missCount < kHeartMissLimit) {
            ++session.missCount;
            ++it;
            continue;
        }
        CSocketClient *client = session.endpoint;
        HubLog::log(spdlog::level::err, "module {} heart time out, restart app...",
                    ModuleName::printable(client->getName()));
        // Asked before the close: a module on another machine is not
        // restarted by a local killall, and the process at the other end
        // can only be found while the connection is there.
        const bool byName = settings.killPolicy == HubSettings::KILL_BY_NAME;
        const bool onThisHost = byName && peerOnThisHost(client->getFd());
        int pidfd = -1;
        const char *noPeer = nullptr;
        const pid_t peer =
            settings.killPolicy == HubSettings::KILL_PEER ? PeerProcess::pinPeer(client->getFd(), pidfd, noPeer) : -1;
        client->closeSocket();
        if (byName) {
            killModule(client->getName(), onThisHost);
        } else if (settings.killPolicy == HubSettings::KILL_PEER) {
            killPeer(client, peer, pidfd, noPeer);
        } else {
            tm_printf(TRACE_WARM, "heartCmdCheck", __LINE__, "no kill for module \"%s\": kills are off\n",
                      ModuleName::printable(client->getName()).c_str());
        }
        forgetSession(it++);
    }
}

const char *Supervisor::killRefusal(const std::string &name, bool onThisHost) const
{
    if (!onThisHost) {
        return "its peer is not on this host";
    }
    // killall takes a name with a slash for a file and kills every process
    // running it (a shell, init, the hub itself).
    if (name.find('/') != std::string::npos) {
        return "it holds a '/'";
    }
    if (ownNames.count(name) != 0) {
        return "it is the hub's own";
    }
    if (name.find('\0') != std::string::npos) {
        return "it holds a zero byte";
    }
    if (killedThisPeriod.count(name) != 0) {
        return "it was killed in this period already";
    }
    return nullptr;
}

void Supervisor::killModule(const std::string &name, bool onThisHost)
{
    const char *why = killRefusal(name, onThisHost);
    const std::string command = why == nullptr ? ModuleName::killCommand(name) : std::string();
    if (why == nullptr && command.empty()) {
        why = "its command would be too long";
    }
    if (why != nullptr) {
        tm_printf(TRACE_WARM, "heartCmdCheck", __LINE__, "no kill command for module name \"%s\": %s\n",
                  ModuleName::printable(name).c_str(), why);
        if (!onThisHost) {
            HubLog::log(spdlog::level::warn, "module {} is not on this host, no kill made", ModuleName::printable(name));
        }
        return;
    }
    killedThisPeriod.insert(name);
    // The trailing " &" lets the shell return at once; killall's own result
    // is the device's business.
    runCommand(command);
}

void Supervisor::killPeer(CSocketClient *client, pid_t pid, int pidfd, const char *why)
{
    const std::string name = ModuleName::printable(client->getName());
    if (pid <= 1 || pid == getpid()) {
        tm_printf(TRACE_WARM, "heartCmdCheck", __LINE__, "no kill for module \"%s\": no process found at its end\n",
                  name.c_str());
        HubLog::log(spdlog::level::warn, "module {} only closed: {}", name,
                    why != nullptr ? why : "its peer is the hub or init");
    } else if (signalProcess(pid, pidfd, SIGKILL) != 0) {
        const int err = errno;
        tm_printf(TRACE_WARM, "heartCmdCheck", __LINE__, "kill of pid %d failed: %s\n", static_cast<int>(pid),
                  strerror(err));
        HubLog::log(spdlog::level::warn, "module {} only closed: the kill of pid {} failed: {}", name,
                    static_cast<int>(pid), strerror(err));
    } else {
        HubLog::log(spdlog::level::warn, "module {} killed, pid {}", name, static_cast<int>(pid));
    }
    if (pidfd >= 0) {
        close(pidfd);
    }
}
