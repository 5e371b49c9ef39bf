#include "app/PellixPara.h"

#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>
#include <sstream>

#include <json/json.h>

namespace {

// The library's conversions throw on a string or an out-of-range number for
// the port and on an array or object for either key; a bad key falls back to
// its default instead of stopping the daemon.
template <typename T, typename Convert>
T convertMember(const Json::Value &root, const char *key, const T &fallback, Convert convert)
{
    const Json::Value &member = root[key];
    if (member.isNull() && !root.isMember(key)) {
        return fallback;
    }
    try {
        return convert(member);
    } catch (const Json::Exception &) {
        fprintf(stderr, "pellixPara: cannot convert \"%s\", using its default\n", key);
        return fallback;
    }
}

} // namespace

int readParaFile(PellixPara &para, const std::string &path)
{
    std::string text;
    try {
        std::ifstream in(path.c_str(), std::ios::in | std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::exception &) {
        // A read error (a directory in place of the file, an I/O error)
        // throws out of the stream buffer; such a file reads as empty.
        text.clear();
    }

    Json::Reader reader;
    Json::Value root;
    if (!reader.parse(text, root, true)) {
        return 2;
    }
    if (!root.isObject()) {
        return 1;
    }
    para.tcpListenPort = convertMember(root, "tcpListenPort", PellixPaths::kTcpListenPort,
                                       [](const Json::Value &v) { return v.asInt(); });
    para.unixSocketPath = convertMember(root, "unixSocketPath", PellixPaths::unixSocketPath(),
                                        [](const Json::Value &v) { return v.asString(); });
    return 0;
}

int writeParaFile(const PellixPara &para, const std::string &path)
{
    Json::Value root(Json::objectValue);
    root["tcpListenPort"] = para.tcpListenPort;
    root["unixSocketPath"] = para.unixSocketPath;
    Json::StyledWriter writer;
    const std::string text = writer.write(root);
    try {
        std::ofstream out;
        out.exceptions(std::ios::badbit);
        out.open(path.c_str(), std::ios::out | std::ios::trunc | std::ios::binary);
        if (out.is_open()) {
            out << text;
            out.close();
        }
    } catch (const std::exception &) {
        return 1;
    }
    return 0;
}
