#include "client/HubAddress.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstring>

namespace pellix {

Result resolveHub(const std::string &host, struct in_addr &address)
{
    if (inet_pton(AF_INET, host.c_str(), &address) == 1) {
        return Result();
    }
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM; // one entry per address is enough
    struct addrinfo *found = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        if (found != nullptr) {
            freeaddrinfo(found);
        }
        return Result(Status::Unreachable,
                      "cannot resolve hub host " + host + ": " + (rc != 0 ? gai_strerror(rc) : "no IPv4 address"));
    }
    address = reinterpret_cast<const struct sockaddr_in *>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return Result();
}

} // namespace pellix
