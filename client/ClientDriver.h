#pragma once
// The stream client's I/O, around a ClientSession that holds everything the
// connection knows: the endpoint to the hub (TCP or the Unix-domain
// socket), the select loop with its timers (the heartbeat, and the
// endpoint check that reconnects), and the bounded waits of connect(),
// requestStatus() and startMonitor(). What it reads goes to the session;
// what the session builds it writes. CPellixClient is this class behind its
// public face. Not installed.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "client/ClientSession.h"
#include "net/CSocketClient.h"
#include "net/CSocketManager.h"

namespace pellix {

class ClientDriver {
public:
    explicit ClientDriver(const ClientOptions &options);
    ~ClientDriver();
    ClientDriver(const ClientDriver &) = delete;
    ClientDriver &operator=(const ClientDriver &) = delete;

    ClientSession &session() { return state; }
    const ClientSession &session() const { return state; }

    Result connect();
    // Ends the connection and the reconnecting.
    void close();
    bool linkUp() const { return open && endpoint && endpoint->isConnected(); }
    int fd() const { return linkUp() ? endpoint->getFd() : -1; }

    // The buffer a call builds its frames in, emptied.
    std::string &outbox()
    {
        out.clear();
        return out;
    }
    // Writes what the outbox holds; what names it in the sentence of a
    // failure. A failed write drops the connection (part of a frame may
    // have gone out), and the reconnecting starts clean.
    Result write(const char *what);

    Result requestStatus(std::string &json, int timeoutMs);
    Result startMonitor(int timeoutMs);
    Result request(int devId, int cmd, const void *data, size_t size, Reply &reply, int timeoutMs, int replyCmd);

    int poll(int timeoutMs);
    int run();
    void stop() { stopRequested.store(true); }

private:
    // Framework callbacks.
    void onConnected(CSocketClient *client);
    void onRead(CSocketClient *client, const void *data, int len);
    void onHeartbeatTimer(const void *data, int len);

    // Serves the connection (callbacks included) until done() holds;
    // NoReply after timeoutMs or when the connection goes first.
    Result serveUntil(const std::function<bool()> &done, int timeoutMs, const char *what);
    Result waitForRegistration();

    ClientSession state;
    // Declared before the manager, so that the manager is gone (and has let
    // go of its pointer) before the endpoint is deleted.
    std::unique_ptr<CSocketClient> endpoint;
    CSocketManager manager;
    bool inManager = false;
    bool open = false;          // from connect() until close() or a failed connect()
    bool everConnected = false; // later connections are reconnects
    std::string out;
    std::atomic<bool> stopRequested{false};
};

} // namespace pellix
