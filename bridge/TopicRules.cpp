#include "bridge/TopicRules.h"

#include <mosquitto.h>

namespace bridge {

namespace {

const size_t kMaxTopic = 65535;
const char *const kPrefix = "{prefix}";
const char *const kEvent = "{event}";

bool sizedUtf8(const std::string &text)
{
    return !text.empty() && text.size() <= kMaxTopic && text.find('\0') == std::string::npos &&
           mosquitto_validate_utf8(text.data(), static_cast<int>(text.size())) == MOSQ_ERR_SUCCESS;
}

} // namespace

bool TopicRules::validTopic(const std::string &topic)
{
    return sizedUtf8(topic) && mosquitto_pub_topic_check2(topic.data(), topic.size()) == MOSQ_ERR_SUCCESS;
}

bool TopicRules::validFilter(const std::string &filter)
{
    return sizedUtf8(filter) && mosquitto_sub_topic_check2(filter.data(), filter.size()) == MOSQ_ERR_SUCCESS;
}

bool TopicRules::matches(const std::string &filter, const std::string &topic)
{
    bool result = false;
    if (mosquitto_topic_matches_sub2(filter.data(), filter.size(), topic.data(), topic.size(), &result) !=
        MOSQ_ERR_SUCCESS) {
        return false;
    }
    return result;
}

size_t TopicRules::longestMatch(const std::string &filter)
{
    return filter.find_first_of("+#") == std::string::npos ? filter.size() : kMaxTopic;
}

bool TopicRules::applyPrefix(const std::string &text, const std::string &prefix, bool allowEvent, std::string &out,
                             std::string &why)
{
    out.clear();
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t open = text.find_first_of("{}", pos);
        if (open == std::string::npos) {
            out.append(text, pos, std::string::npos);
            break;
        }
        out.append(text, pos, open - pos);
        if (text.compare(open, 8, kPrefix) == 0) {
            out += prefix;
            pos = open + 8;
        } else if (allowEvent && text.compare(open, 7, kEvent) == 0) {
            out += kEvent; // left for expandEvent
            pos = open + 7;
        } else {
            why = allowEvent ? "only {prefix} and {event} may stand in braces" : "only {prefix} may stand in braces";
            return false;
        }
    }
    return true;
}

std::string TopicRules::expandEvent(const std::string &topicTemplate, int event)
{
    std::string out;
    out.reserve(topicTemplate.size() + 4);
    size_t pos = 0;
    for (;;) {
        const size_t at = topicTemplate.find(kEvent, pos);
        if (at == std::string::npos) {
            out.append(topicTemplate, pos, std::string::npos);
            return out;
        }
        out.append(topicTemplate, pos, at - pos);
        out += std::to_string(event);
        pos = at + 7;
    }
}

} // namespace bridge
