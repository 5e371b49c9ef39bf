#pragma once
// MQTT topic names, filters and the bridge's topic templates.
//
// Validity and matching are libmosquitto's own, so the bridge agrees with
// the library that sends and subscribes; templates are the bridge's:
// "{prefix}" and "{event}" are the only placeholders.

#include <cstddef>
#include <string>

namespace bridge {

class TopicRules {
public:
    // A topic to publish to: 1 to 65535 bytes of UTF-8 without + or #.
    static bool validTopic(const std::string &topic);
    // A subscription filter: + and # only as whole levels, # last.
    static bool validFilter(const std::string &filter);
    // Whether `topic` falls under `filter` (a topic starting with $ never
    // falls under a filter starting with a wildcard).
    static bool matches(const std::string &filter, const std::string &topic);
    // The longest topic a valid `filter` matches: the filter itself, or the
    // longest topic MQTT has when it holds a wildcard.
    static size_t longestMatch(const std::string &filter);

    // Puts `prefix` in for every {prefix}; false with `why` for any other
    // brace, and for {event} when `allowEvent` is false.
    static bool applyPrefix(const std::string &text, const std::string &prefix, bool allowEvent, std::string &out,
                            std::string &why);
    // Puts the decimal event number in for every {event}.
    static std::string expandEvent(const std::string &topicTemplate, int event);
};

} // namespace bridge
