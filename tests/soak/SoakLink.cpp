#include "tests/soak/SoakLink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace soak {

namespace {

const char kStart[] = "<start>";

std::string errnoText(const char *what, int err)
{
    return std::string(what) + ": " + strerror(err);
}

} // namespace

SoakLink::~SoakLink()
{
    close(false);
}

SoakLink::ConnectResult SoakLink::open(uint16_t port, const std::string &unixPath, std::string *why)
{
    close(false);
    out.clear();
    outPos = 0;
    queued = 0;
    written = 0;
    in.clear();

    const int family = type == UNIX ? AF_UNIX : AF_INET;
    const int socktype = type == UDP ? SOCK_DGRAM : SOCK_STREAM;
    sock = socket(family, socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        *why = errnoText("socket", errno);
        return FAILED;
    }
    int result = 0;
    if (type == UNIX) {
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, unixPath.c_str(), sizeof addr.sun_path - 1);
        result = connect(sock, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr);
    } else {
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        result = connect(sock, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr);
    }
    const int err = errno;
    if (result == 0) {
        return CONNECTED;
    }
    if (err == EINPROGRESS) {
        return IN_PROGRESS;
    }
    // A Unix-domain listener whose backlog is full refuses at once instead
    // of letting the connect wait.
    if (err == EAGAIN) {
        close(false);
        return RETRY_LATER;
    }
    *why = errnoText("connect", err);
    close(false);
    return FAILED;
}

bool SoakLink::finishConnect(std::string *why)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
        err = errno;
    }
    if (err != 0) {
        *why = errnoText("connect", err);
        return false;
    }
    return true;
}

void SoakLink::close(bool reset)
{
    if (sock < 0) {
        return;
    }
    if (reset) {
        struct linger lin = {1, 0};
        setsockopt(sock, SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
    }
    ::close(sock);
    sock = -1;
}

bool SoakLink::send(const std::string &bytes)
{
    if (sock < 0) {
        return false;
    }
    if (type == UDP) {
        const ssize_t n = ::send(sock, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        return n == static_cast<ssize_t>(bytes.size());
    }
    out += bytes;
    queued += bytes.size();
    std::string ignored;
    flush(&ignored);
    return true;
}

bool SoakLink::flush(std::string *why)
{
    while (sock >= 0 && outPos < out.size()) {
        const ssize_t n = ::send(sock, out.data() + outPos, out.size() - outPos, MSG_NOSIGNAL);
        if (n < 0) {
            const int err = errno;
            if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
                break;
            }
            *why = errnoText("send", err);
            return false;
        }
        outPos += static_cast<size_t>(n);
        written += static_cast<uint64_t>(n);
    }
    if (outPos == out.size()) {
        out.clear();
        outPos = 0;
    } else if (outPos > 65536) {
        out.erase(0, outPos);
        outPos = 0;
    }
    return true;
}

bool SoakLink::receive(bool *closedByPeer, std::string *why)
{
    *closedByPeer = false;
    char buffer[65536];
    while (sock >= 0) {
        const ssize_t n = recv(sock, buffer, sizeof buffer, 0);
        if (n > 0) {
            in.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n == 0) {
            *closedByPeer = true;
            return true;
        }
        const int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
            return true;
        }
        if (err == ECONNRESET || err == EPIPE) {
            *closedByPeer = true;
            return true;
        }
        *why = errnoText("recv", err);
        return false;
    }
    return true;
}

bool SoakLink::answered(std::string *why)
{
    char byte;
    const ssize_t n = recv(sock, &byte, 1, MSG_DONTWAIT);
    const bool back = n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    *why = strerror(errno);
    return back;
}

void SoakLink::takeFrames(std::vector<e2e::CutFrame> *frames, std::string *bad)
{
    size_t at = 0;
    bool whole = true;
    for (const e2e::CutFrame &frame : e2e::cutFrames(in)) {
        // A frame must follow the last one and match its len field.
        if (in.compare(at, frame.bytes.size(), frame.bytes) != 0 || frame.bytes.size() < 18 ||
            frame.len + 12u != frame.bytes.size()) {
            whole = false;
            break;
        }
        at += frame.bytes.size();
        frames->push_back(frame);
    }
    const size_t check = std::min(in.size() - at, sizeof kStart - 1);
    if (!whole || in.compare(at, check, kStart, check) != 0) {
        *bad = in.substr(at, 64);
    }
    in.erase(0, at);
}

} // namespace soak
