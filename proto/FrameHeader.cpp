#include "proto/FrameHeader.h"

#include <pellix/Wire.h>

namespace {

int readU16LE(const unsigned char *at)
{
    return at[0] | (at[1] << 8);
}

} // namespace

bool FrameHeader::decode(const unsigned char *frame, int size, FrameHeader &out)
{
    using namespace pellix::wire;
    if (frame == nullptr || size < kMinFrameSize) {
        return false;
    }
    out.len = readU16LE(frame + kLenOffset);
    out.devId = frame[kDevIdOffset];
    out.srcId = frame[kSrcIdOffset];
    out.cmd = readU16LE(frame + kCmdOffset);
    out.payload = frame + kPayloadOffset;
    out.payloadSize = size - kMinFrameSize;
    return true;
}

int FrameHeader::claimedPayload() const
{
    const int claimed = len - pellix::wire::kHeaderSize;
    return claimed < 0 ? 0 : (claimed > payloadSize ? payloadSize : claimed);
}
