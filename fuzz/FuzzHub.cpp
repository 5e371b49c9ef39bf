// Fuzzes everything the hub does with bytes from the network: the frame
// splitter, registration, forwarding, every hub and event command (status
// and monitor included), removal and the heartbeat walk, over three stream
// connections and datagrams from several senders, under the hardened
// settings the input picks.
//
// Input: one byte of settings (bit 0 strictModules, bit 1 hub commands from
// this host only, bit 2 a small send queue, bits 3-4 the kill policy, bit 5
// recorded unsubscriptions, bit 6 a single monitor), then
// a sequence of operations, each one byte (low nibble: the operation, high
// nibble: which connection or sender) followed, for the data operations, by
// a 16-bit little-endian length and that many bytes.
//
// Nothing leaves the process: kills and record saves go to recorders, and
// traces are formatted into a fully buffered /dev/null.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "hub/CPellix.h"
#include "net/CTcpClient.h"
#include "trace/Trace.h"

namespace {

const int kConnections = 3;
// Small enough that a few frames fill the kernel's buffer and then the queue.
const int kSocketBuffer = 4096;
const size_t kSmallSendQueue = 512;

struct Connection {
    CSocketClient *client = nullptr; // owned by the hub's socket manager
    int peer = -1;                   // the module's end, drained after each step
    bool reading = true;             // false: a module that stopped reading
};

// What the hub asks of the outside world is only counted.
size_t requests = 0;
int recordCommand(const std::string &)
{
    ++requests;
    return 0;
}
int recordSignal(pid_t, int, int)
{
    ++requests;
    return 0;
}
int recordSave(const std::string &, const std::string &)
{
    ++requests;
    return 0;
}

std::string recordPath;

void setUp()
{
    static bool done = false;
    if (done) {
        return;
    }
    done = true;
    char dir[] = "/dev/shm/pellix-fuzz-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        abort();
    }
    recordPath = std::string(dir) + "/regMap.json";
    // Should anything still reach a shell, it finds no killall.
    setenv("PATH", "/nonexistent", 1);
    tm_set_level(TRACE_INFO);
    if (freopen("/dev/null", "w", stdout) == nullptr) {
        abort();
    }
    static char buffer[1 << 20];
    setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}

HubSettings settingsFrom(uint8_t bits)
{
    HubSettings settings;
    settings.strictModules = (bits & 1) != 0;
    settings.localHubCommands = (bits & 2) != 0;
    settings.sendQueueBytes = (bits & 4) != 0 ? kSmallSendQueue : 0;
    settings.killPolicy = static_cast<HubSettings::KillPolicy>(((bits >> 3) & 3) % 3);
    settings.recordUnsubscriptions = (bits & 0x20) != 0;
    settings.maxMonitors = (bits & 0x40) != 0 ? 1 : settings.maxMonitors;
    settings.servePauseUs = 0;
    return settings;
}

// Sixteen senders: eight on loopback, eight beyond this host.
struct sockaddr_in senderAddress(int index)
{
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(40000 + index));
    addr.sin_addr.s_addr = htonl(index < 8 ? 0x7f000001u : 0x0a000001u + static_cast<uint32_t>(index));
    return addr;
}

// One socket pair per connection slot, made once and kept across inputs:
// the hub gets a duplicate of its end, which it closes when it drops the
// connection, and the pair is drained before it serves again, so each
// input meets an empty socket without a socket being made and torn down.
struct SocketPair {
    int hubEnd = -1;
    int peerEnd = -1;
};
SocketPair pairs[kConnections];

void drainAll(int fd)
{
    char sink[65536];
    while (read(fd, sink, sizeof sink) > 0) {
    }
}

// Closes a slot's pair, for a peer that went away.
void dropPair(int slot)
{
    close(pairs[slot].hubEnd);
    close(pairs[slot].peerEnd);
    pairs[slot] = SocketPair();
}

void connect(CPellix &hub, Connection &conn, int slot)
{
    SocketPair &pair = pairs[slot];
    if (pair.hubEnd < 0) {
        int ends[2];
        // Non-blocking, so that a full peer makes sends fail instead of hanging.
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) != 0) {
            abort();
        }
        setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);
        // The daemon's send time-out, scaled down: a send the hub makes
        // blocking (after a monitor is switched off, say) gives up at once
        // instead of waiting for a peer that only reads after the operation.
        const struct timeval sendTimeout = {0, 1000};
        setsockopt(ends[0], SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
        pair.hubEnd = ends[0];
        pair.peerEnd = ends[1];
    }
    drainAll(pair.peerEnd);
    const int fd = fcntl(pair.hubEnd, F_DUPFD_CLOEXEC, 0);
    // The hub may have made the shared description blocking.
    if (fd < 0 || fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
        abort();
    }
    CTcpClient *client = new CTcpClient("", 0);
    client->setConnType(CObjectBase::kAccepted);
    client->setSocket(fd);
    hub.onAcceptNewTcpClient(client, nullptr, nullptr);
    conn.client = client;
    conn.peer = pair.peerEnd;
    conn.reading = true;
}

// What the hub sent to the modules that read, after each operation: one
// poll for all of them, then one read each where something waits (the
// kernel holds less than the sink for a socket of this buffer size).
void drain(const Connection *conns)
{
    struct pollfd fds[kConnections];
    nfds_t count = 0;
    for (int i = 0; i < kConnections; ++i) {
        if (conns[i].reading && conns[i].peer >= 0) {
            fds[count++] = {conns[i].peer, POLLIN, 0};
        }
    }
    if (count == 0 || poll(fds, count, 0) <= 0) {
        return;
    }
    char sink[65536];
    for (nfds_t i = 0; i < count; ++i) {
        if ((fds[i].revents & POLLIN) != 0) {
            const ssize_t got = read(fds[i].fd, sink, sizeof sink);
            (void)got; // an error here is the hub's to meet on its next send
        }
    }
}

// The length-prefixed bytes of a data operation; false at the input's end.
bool takeData(const uint8_t *data, size_t size, size_t &pos, const uint8_t *&bytes, size_t &len)
{
    if (pos + 2 > size) {
        pos = size;
        return false;
    }
    len = data[pos] | (data[pos + 1] << 8);
    pos += 2;
    if (len > size - pos) {
        len = size - pos;
    }
    bytes = data + pos;
    pos += len;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    setUp();
    if (size == 0) {
        return 0;
    }
    {
        CPellix hub(recordPath);
        hub.setKillActions(recordCommand, recordSignal);
        hub.regMapRecord().setWriter(recordSave);
        hub.setSettings(settingsFrom(data[0]));
        hub.initServers(0, "");
        // Modules connect when the input first speaks of them: an input that
        // needs one costs no more than that.
        Connection conns[kConnections];
        size_t pos = 1;
        while (pos < size) {
            const uint8_t op = data[pos++];
            const int slot = (op >> 4) % kConnections;
            Connection &conn = conns[slot];
            const uint8_t *bytes = nullptr;
            size_t len = 0;
            switch (op & 0x0f) {
            case 0:
            case 1:
            case 2: // bytes from a connection
                if (takeData(data, size, pos, bytes, len) && len > 0) {
                    if (conn.peer < 0) {
                        connect(hub, conn, slot);
                    }
                    if (conn.client != nullptr) {
                        hub.onReadSocketData(conn.client, bytes, static_cast<int>(len));
                    }
                }
                break;
            case 3: { // a datagram from one of the senders
                if (takeData(data, size, pos, bytes, len) && len > 0) {
                    const struct sockaddr_in from = senderAddress(op >> 4);
                    hub.onReadDatagram(-1, &from, bytes, static_cast<int>(std::min<size_t>(len, 2048)));
                }
                break;
            }
            case 4: // the peer goes away; a new module connects in its place
                if (conn.client != nullptr) {
                    conn.client->setConnected(false);
                    hub.onReadSocketData(conn.client, nullptr, 0);
                    dropPair(slot);
                    conn.client = nullptr;
                    conn.peer = -1;
                }
                hub.getSocketManager()->checkConnection(nullptr, 0);
                connect(hub, conn, slot);
                break;
            case 5: // a heartbeat tick; a dropped module connects again
                hub.heartCmdCheck(nullptr, 0);
                for (int i = 0; i < kConnections; ++i) {
                    if (conns[i].client != nullptr && hub.getSessions().find(conns[i].client) == nullptr) {
                        connect(hub, conns[i], i);
                    }
                }
                break;
            case 6: // the module stops reading, or reads again
                conn.reading = !conn.reading;
                break;
            case 7: // the loop finds the connection writable
                if (conn.client != nullptr && conn.client->hasUnsentBytes()) {
                    conn.client->flushUnsent();
                }
                break;
            default:
                break;
            }
            drain(conns);
        }
    }
    // Trace level may have been changed by a frame.
    tm_set_level(TRACE_INFO);
    return 0;
}
