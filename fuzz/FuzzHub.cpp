// Fuzzes everything the hub does with bytes from the network: the frame
// splitter, registration, forwarding, every hub and event command, removal
// and the heartbeat walk, over three stream connections and UDP.
//
// Input: a sequence of operations, each one byte (operation) followed, for
// the data operations, by a 16-bit little-endian length and that many bytes.

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

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

struct Connection {
    CSocketClient *client = nullptr; // owned by the hub's socket manager
    int peer = -1;                   // the module's end, drained after each step
};

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
    // The kill command of a timed-out module must find no killall.
    setenv("PATH", "/nonexistent", 1);
    tm_set_level(TRACE_DEBUG);
    if (freopen("/dev/null", "w", stdout) == nullptr) {
        abort();
    }
}

void connect(CPellix &hub, Connection &conn)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
        abort();
    }
    // Non-blocking, so that a full peer makes sends fail instead of hanging.
    fcntl(pair[0], F_SETFL, O_NONBLOCK);
    fcntl(pair[1], F_SETFL, O_NONBLOCK);
    CTcpClient *client = new CTcpClient("", 0);
    client->setConnType(CONN_TYPE_ACCEPTED);
    client->setSocket(pair[0]);
    hub.onAcceptNewTcpClient(client, nullptr, nullptr);
    conn.client = client;
    conn.peer = pair[1];
}

void drain(Connection &conn)
{
    char sink[4096];
    while (conn.peer >= 0 && read(conn.peer, sink, sizeof sink) > 0) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    setUp();
    unlink(recordPath.c_str());
    {
        CPellix hub(recordPath);
        hub.initServers(0, "");
        Connection conns[kConnections];
        for (Connection &conn : conns) {
            connect(hub, conn);
        }
        size_t pos = 0;
        while (pos < size) {
            const uint8_t op = data[pos++];
            Connection &conn = conns[(op >> 4) % kConnections];
            switch (op & 0x0f) {
            case 0:
            case 1:
            case 2: { // bytes from a connection
                if (pos + 2 > size) {
                    pos = size;
                    break;
                }
                size_t len = data[pos] | (data[pos + 1] << 8);
                pos += 2;
                if (len > size - pos) {
                    len = size - pos;
                }
                if (conn.client != nullptr && len > 0) {
                    hub.onReadSocketData(conn.client, data + pos, static_cast<int>(len));
                }
                pos += len;
                break;
            }
            case 3: { // a datagram
                if (pos + 2 > size) {
                    pos = size;
                    break;
                }
                size_t len = data[pos] | (data[pos + 1] << 8);
                pos += 2;
                if (len > size - pos) {
                    len = size - pos;
                }
                if (len > 2048) {
                    len = 2048;
                }
                if (len > 0) {
                    hub.onReadSocketData(-1, nullptr, data + pos, static_cast<int>(len));
                }
                pos += len;
                break;
            }
            case 4: // the peer goes away; a new module connects in its place
                if (conn.client != nullptr) {
                    conn.client->setConnected(false);
                    hub.onReadSocketData(conn.client, nullptr, 0);
                    close(conn.peer);
                    conn.client = nullptr;
                }
                hub.getSocketManager()->checkConnection(nullptr, 0);
                connect(hub, conn);
                break;
            case 5: // a heartbeat tick; a dropped module connects again
                hub.heartCmdCheck(nullptr, 0);
                for (Connection &each : conns) {
                    if (each.client != nullptr && !hub.hasDecoupler(each.client)) {
                        close(each.peer);
                        connect(hub, each);
                    }
                }
                break;
            default:
                break;
            }
            for (Connection &each : conns) {
                drain(each);
            }
        }
        for (Connection &conn : conns) {
            if (conn.peer >= 0) {
                close(conn.peer);
            }
        }
    }
    // Trace level may have been changed by a frame.
    tm_set_level(TRACE_DEBUG);
    return 0;
}
