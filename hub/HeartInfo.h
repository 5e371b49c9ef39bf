#pragma once

// Heartbeat record of one accepted stream connection: the heartbeat periods
// that passed since bytes last arrived on it.
struct HeartInfo {
    int missCount = 0;
    // The peer is this host's own (Unix socket or loopback), asked at accept
    // only where a setting needs it.
    bool loopbackPeer = false;
};
