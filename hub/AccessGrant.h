#pragma once
// What one identity may do, as the access rules grant it: the module ids it
// may register, the ids it may send frames to, the events it may publish
// and subscribe to, and whether it may look inside (status, monitor) and
// throw the hub's diagnostic switches. Computed once per identity, when a
// connection is accepted or the rules are read again, and then only tested.

#include <bitset>

struct AccessGrant {
    std::bitset<256> registerIds;
    std::bitset<256> sendTo;
    std::bitset<65536> publish;
    std::bitset<65536> subscribe;
    bool inspect = false;
    bool commands = false;

    void allowAll()
    {
        registerIds.set();
        sendTo.set();
        publish.set();
        subscribe.set();
        inspect = true;
        commands = true;
    }
};
