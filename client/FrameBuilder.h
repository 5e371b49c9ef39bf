#pragma once
// The frames a stream client sends, from its source id: each call checks
// what the hub could never deliver first (InvalidArgument, nothing built),
// then appends the whole frame to out. Not installed.

#include <cstddef>
#include <string>
#include <vector>

#include <pellix/PellixTypes.h>

namespace pellix {

class FrameBuilder {
public:
    explicit FrameBuilder(int sourceId) : srcId(sourceId) {}

    Result frame(int devId, int cmd, const void *data, size_t size, std::string &out) const;
    Result publish(int event, const void *data, size_t size, std::string &out) const;
    Result traceLevel(int level, std::string &out) const;
    Result report(const std::string &json, std::string &out) const;
    // Unchecked: what the client itself sends.
    void registration(const std::string &name, std::string &out) const;
    void hubCommand(int cmd, std::string &out) const;
    void monitorSwitch(bool on, std::string &out) const;
    // As many frames as the list needs, at most 255 events each.
    void eventLists(int cmd, const std::vector<int> &events, std::string &out);

private:
    Result append(std::string &out, int devId, int cmd, const void *head, size_t headSize, const void *body,
                  size_t bodySize, const char *what) const;

    int srcId;
    std::string list; // one event list, reused
};

} // namespace pellix
