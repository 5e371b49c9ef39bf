// Fuzzes the access rules reader: any text is read as rules or refused with a
// reason, never ends the process, and rules that were read grant each kind
// of peer something consistent.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "hub/AccessRules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    AccessRules rules;
    std::string why;
    const std::string text(reinterpret_cast<const char *>(data), size);
    const bool read = rules.parse(text, why);
    if (read == !why.empty()) {
        abort(); // a refusal always says why, a reading never does
    }
    if (!read) {
        return 0;
    }
    PeerIdentity who;
    for (int kind = PeerIdentity::kUnixSocket; kind <= PeerIdentity::kDatagram; ++kind) {
        who.kind = static_cast<PeerIdentity::Kind>(kind);
        who.known = kind != PeerIdentity::kDatagram;
        who.uid = static_cast<uid_t>(kind * 1000);
        who.gid = static_cast<gid_t>(kind * 1000);
        who.groups = {0, 3000};
        AccessGrant granted;
        rules.grant(who, granted);
        AccessGrant again;
        rules.grant(who, again);
        if (granted.registerIds != again.registerIds || granted.publish != again.publish) {
            abort();
        }
    }
    return 0;
}
