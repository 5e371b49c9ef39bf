// Fuzzes the bridge's configuration and its topic mapping: any file content
// is either refused with a reason or gives mappings whose topics and
// filters are valid, and every topic a broker could send is matched
// against every filter without fault.
//
// Input: the configuration text, then optionally a zero byte and a topic
// to match against the in filters and to expand out templates with.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "bridge/BridgeConfig.h"
#include "bridge/TopicRules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    const size_t split = input.find('\0');
    const std::string text = input.substr(0, split);
    const std::string topic = split == std::string::npos ? std::string("fleet/dev1/cmd/x") : input.substr(split + 1);

    bridge::BridgeConfig config;
    std::string error;
    if (!bridge::BridgeConfig::parse(text, config, error)) {
        if (error.empty()) {
            abort(); // a refusal always says why
        }
        return 0;
    }
    for (const bridge::OutMapping &out : config.out) {
        for (int event : out.events) {
            if (!bridge::TopicRules::validTopic(bridge::TopicRules::expandEvent(out.topic, event))) {
                abort(); // an accepted template makes only topics a broker takes
            }
        }
    }
    const bool validTopic = bridge::TopicRules::validTopic(topic);
    for (const bridge::InMapping &in : config.in) {
        if (!bridge::TopicRules::validFilter(in.filter)) {
            abort();
        }
        if (validTopic) {
            bridge::TopicRules::matches(in.filter, topic);
        }
    }
    return 0;
}
