// pellix-bench-relay: the relay floor of bench/run.sh (see bench/Relay.h).
//
//   pellix-bench-relay --port P
//       listens on 127.0.0.1:P and relays until it is terminated

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/Relay.h"

int main(int argc, char **argv)
{
    char *end = nullptr;
    const long port = argc == 3 && std::string(argv[1]) == "--port" ? strtol(argv[2], &end, 10) : -1;
    if (end == nullptr || *end != '\0' || port < 1 || port > 65535) {
        fprintf(stderr, "usage: pellix-bench-relay --port P\n");
        return 2;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 1024) != 0) {
        fprintf(stderr, "pellix-bench-relay: cannot listen on 127.0.0.1:%ld: %s\n", port, strerror(errno));
        return 1;
    }
    bench::Relay relay(fd);
    if (!relay.ready() || !relay.run()) {
        fprintf(stderr, "pellix-bench-relay: %s\n", relay.error().c_str());
        return 1;
    }
    return 0;
}
