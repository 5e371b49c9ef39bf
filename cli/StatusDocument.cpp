#include "cli/StatusDocument.h"

#include <json/reader.h>

#include <exception>
#include <memory>

namespace cli {

bool parseStatus(const std::string &text, Json::Value &document, std::string &why)
{
    static const Json::CharReaderBuilder builder = [] {
        Json::CharReaderBuilder b;
        b["stackLimit"] = kMaxStatusDepth;
        return b;
    }();
    try {
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        Json::Value parsed;
        if (!reader->parse(text.data(), text.data() + text.size(), &parsed, &why)) {
            return false;
        }
        if (!parsed.isObject()) {
            why = "not an object";
            return false;
        }
        document.swap(parsed);
        return true;
    } catch (const std::exception &e) {
        // jsoncpp throws when the nesting passes stackLimit.
        why = std::string(e.what()).find("stackLimit") != std::string::npos
                  ? "nested deeper than " + std::to_string(kMaxStatusDepth) + " levels"
                  : e.what();
        return false;
    }
}

const Json::Value &memberOf(const Json::Value &object, const char *key)
{
    static const Json::Value missing;
    if (!object.isObject()) {
        return missing;
    }
    const Json::Value *found = object.find(key, key + std::char_traits<char>::length(key));
    return found != nullptr ? *found : missing;
}

} // namespace cli
