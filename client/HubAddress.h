#pragma once
// The hub's IPv4 address from a dotted address or a host name, for the
// stream client and the datagram sender alike. Not installed.

#include <netinet/in.h>

#include <string>

#include <pellix/PellixTypes.h>

namespace pellix {

// Unreachable, with the resolver's reason, when host has no IPv4 address.
Result resolveHub(const std::string &host, struct in_addr &address);

} // namespace pellix
