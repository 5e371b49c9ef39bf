#include "bridge/QueueFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace bridge {

namespace {

const char kMagic[5] = {'P', 'X', 'B', 'Q', 1};
const size_t kRecordHead = 8;

void putLE(std::string &out, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xff);
    }
}

uint32_t getLE(const std::string &in, size_t at, int bytes)
{
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value |= static_cast<uint32_t>(static_cast<unsigned char>(in[at + i])) << (8 * i);
    }
    return value;
}

std::string errnoText(const char *what, const std::string &path)
{
    return std::string(what) + " " + path + ": " + strerror(errno);
}

bool writeAll(int fd, const std::string &data)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t put = write(fd, data.data() + done, data.size() - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

} // namespace

QueueFile::QueueFile(std::string path) : target(std::move(path))
{
}

bool QueueFile::save(const OutboundQueue &queue, std::string &error) const
{
    if (queue.size() == 0) {
        if (unlink(target.c_str()) != 0 && errno != ENOENT) {
            error = errnoText("cannot remove", target);
            return false;
        }
        return true;
    }
    std::string data(kMagic, sizeof kMagic);
    data.reserve(sizeof kMagic + queue.bytes() + queue.size() * kRecordHead);
    for (const OutboundMessage &m : queue.all()) {
        data += static_cast<char>(m.qos);
        data += static_cast<char>(m.retain ? 1 : 0);
        putLE(data, static_cast<uint32_t>(m.topic.size()), 2);
        putLE(data, static_cast<uint32_t>(m.payload.size()), 4);
        data += m.topic;
        data += m.payload;
    }
    std::string temp = target + ".XXXXXX";
    const int fd = mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0) {
        error = errnoText("cannot create a temporary file beside", target);
        return false;
    }
    // mkostemp makes 0600 already; fchmod says so whatever the umask did.
    bool ok = fchmod(fd, S_IRUSR | S_IWUSR) == 0;
    if (!ok) {
        error = errnoText("cannot set the mode of", temp);
    } else if (!(ok = writeAll(fd, data))) {
        error = errnoText("cannot write", temp);
    } else if (!(ok = fsync(fd) == 0)) {
        error = errnoText("cannot sync", temp);
    }
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errnoText("cannot close", temp);
    }
    if (ok && rename(temp.c_str(), target.c_str()) != 0) {
        ok = false;
        error = errnoText("cannot rename over", target);
    }
    if (!ok) {
        unlink(temp.c_str());
    }
    return ok;
}

bool QueueFile::load(size_t maxMessages, size_t maxBytes, std::vector<OutboundMessage> &out, std::string &error) const
{
    out.clear();
    const int fd = open(target.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) {
            return true;
        }
        error = errnoText("cannot open", target);
        return false;
    }
    struct stat st;
    const size_t limit = sizeof kMagic + maxBytes + maxMessages * kRecordHead;
    std::string data;
    bool ok = fstat(fd, &st) == 0;
    if (!ok) {
        error = errnoText("cannot stat", target);
    } else if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        ok = false;
        error = target + " is not a regular file of this user that only it may write";
    } else if (static_cast<uint64_t>(st.st_size) > limit) {
        ok = false;
        error = target + " is larger than the queue's bounds allow";
    } else {
        data.resize(static_cast<size_t>(st.st_size));
        size_t got = 0;
        while (ok && got < data.size()) {
            const ssize_t n = read(fd, &data[got], data.size() - got);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                ok = false;
                error = errnoText("cannot read", target);
            } else {
                got += static_cast<size_t>(n);
            }
        }
    }
    close(fd);
    if (!ok) {
        return false;
    }
    if (data.size() < sizeof kMagic || data.compare(0, sizeof kMagic, kMagic, sizeof kMagic) != 0) {
        error = target + " is not a queue file";
        return false;
    }
    std::vector<OutboundMessage> messages;
    size_t at = sizeof kMagic;
    size_t bytes = 0;
    while (at < data.size()) {
        if (data.size() - at < kRecordHead) {
            error = target + " ends inside a record";
            return false;
        }
        OutboundMessage m;
        m.qos = static_cast<unsigned char>(data[at]);
        m.retain = data[at + 1] != 0;
        const size_t topicSize = getLE(data, at + 2, 2);
        const size_t payloadSize = getLE(data, at + 4, 4);
        at += kRecordHead;
        if (m.qos > 1 || topicSize == 0 || data.size() - at < topicSize ||
            data.size() - at - topicSize < payloadSize) {
            error = target + " holds a damaged record";
            return false;
        }
        m.topic.assign(data, at, topicSize);
        m.payload.assign(data, at + topicSize, payloadSize);
        at += topicSize + payloadSize;
        bytes += m.bytes();
        if (messages.size() + 1 > maxMessages || bytes > maxBytes) {
            error = target + " holds more than the queue's bounds";
            return false;
        }
        messages.push_back(std::move(m));
    }
    out.swap(messages);
    return true;
}

} // namespace bridge
