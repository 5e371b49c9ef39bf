#pragma once

// Heartbeat record of one accepted stream connection: the heartbeat periods
// that passed since bytes last arrived on it.
struct HeartInfo {
    int missCount = 0;
};
