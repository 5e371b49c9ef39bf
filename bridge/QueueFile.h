#pragma once
// The outbound queue kept in a file across a restart of the bridge.
//
// save() writes a temporary file beside the target (mkostemp, O_CLOEXEC),
// makes it 0600, fsyncs it and renames it over the target, so that the file
// is always either the old queue or the new one, whole. An empty queue
// removes the file. load() opens with O_NOFOLLOW and reads the file only
// when it is a regular file of our own user that nobody else can write, no
// larger than the queue's bounds allow; every record is checked before use.
//
// Layout: "PXBQ" 1, then per message qos (1 byte), retain (1 byte), topic
// length (u16 LE), payload length (u32 LE), topic, payload.

#include <string>
#include <vector>

#include "bridge/OutboundQueue.h"

namespace bridge {

class QueueFile {
public:
    explicit QueueFile(std::string path);

    const std::string &path() const { return target; }
    // False with `error` set; the old file is then left as it was.
    bool save(const OutboundQueue &queue, std::string &error) const;
    // A missing file is an empty queue. False with `error` set when the file
    // is there but cannot be trusted or read; nothing is taken from it then.
    bool load(size_t maxMessages, size_t maxBytes, std::vector<OutboundMessage> &out, std::string &error) const;

private:
    std::string target;
};

} // namespace bridge
