#include "hub/CDatagramSplitters.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>

#include "proto/PacketFrame.h"

CDatagramSplitters::CDatagramSplitters(size_t max) : maxSenders(max == 0 ? 1 : max)
{
}

void CDatagramSplitters::keyOf(const void *from, std::string &out)
{
    out.clear();
    if (from == nullptr) {
        return;
    }
    sa_family_t family;
    memcpy(&family, from, sizeof family);
    if (family == AF_INET) {
        const struct sockaddr_in *in = static_cast<const struct sockaddr_in *>(from);
        out.append(reinterpret_cast<const char *>(&in->sin_addr), sizeof in->sin_addr);
        out.append(reinterpret_cast<const char *>(&in->sin_port), sizeof in->sin_port);
    } else if (family == AF_UNIX) {
        const struct sockaddr_un *un = static_cast<const struct sockaddr_un *>(from);
        out.assign(un->sun_path, strnlen(un->sun_path, sizeof un->sun_path));
        out.insert(out.begin(), 'u');
    }
}

CDecoupler &CDatagramSplitters::splitterFor(const void *from)
{
    keyOf(from, key);
    ++uses;
    size_t found = senders.size();
    if (last < senders.size() && senders[last].key == key) {
        found = last;
    } else {
        for (size_t i = 0; i < senders.size(); ++i) {
            if (senders[i].key == key) {
                found = i;
                break;
            }
        }
    }
    if (found == senders.size()) {
        if (senders.size() < maxSenders) {
            senders.emplace_back();
        } else {
            found = 0;
            for (size_t i = 1; i < senders.size(); ++i) {
                if (senders[i].lastUse < senders[found].lastUse) {
                    found = i;
                }
            }
        }
        Sender &fresh = senders[found];
        fresh.key = key;
        fresh.splitter.reset(new CDecoupler(PacketFrame::kStartMark, PacketFrame::kEndMark));
    }
    Sender &sender = senders[found];
    sender.lastUse = uses;
    sender.heard = true;
    last = found;
    return *sender.splitter;
}

void CDatagramSplitters::expireIdle()
{
    std::vector<Sender> kept;
    for (Sender &sender : senders) {
        if (sender.heard) {
            sender.heard = false;
            kept.push_back(std::move(sender));
        }
    }
    senders.swap(kept);
    last = 0;
}
