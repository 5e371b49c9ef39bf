#pragma once
// The hub's frame sender.

#include <cstdint>

class CObjectBase;

// Builds one frame and sends it on the connection in one call. The command is
// taken as 8 bits. Returns the send's result, or -1 without sending when the
// payload does not fit len.
int sendPacket(CObjectBase *connection, int devId, uint8_t cmd, const void *data, int length, int srcId);
