#include "hub/CRegMap.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "hub/ModuleName.h"
#include "trace/Trace.h"

namespace {

// Member names are written by the hub with "%d"; anything else is not a
// saved event number.
bool parseEventName(const std::string &name, int &event)
{
    // The whole name must be the number: a zero byte inside it would end
    // strtol's view of it early.
    if (name.empty() || name.size() > 11) {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    const long value = strtol(name.c_str(), &end, 10);
    if (errno != 0 || end != name.c_str() + name.size() || value < INT_MIN || value > INT_MAX) {
        return false;
    }
    event = static_cast<int>(value);
    return true;
}

bool writeAll(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

int CRegMap::loadRegMap(const std::string &path)
{
    if (access(path.c_str(), F_OK) != 0) {
        printf("file not exist!\n");
        saveRegMap(path);
    }
    Json::Value loaded;
    try {
        std::ifstream in(path.c_str(), std::ios::in | std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        Json::Reader reader;
        if (!reader.parse(text, loaded, true)) {
            return 2;
        }
    } catch (const std::exception &) {
        // The file is left as it is: it may still hold subscriptions that a
        // later start can read.
        return 1;
    }
    if (!loaded.isObject()) {
        printf("not objectValue\n");
        return 1;
    }
    // Keep only members of the saved shape, so that later subscriptions can
    // extend the document without tripping over a wrong value. (Copied, not
    // removed in place: the library cannot remove a name holding a zero.)
    Json::Value kept(Json::objectValue);
    for (const std::string &name : loaded.getMemberNames()) {
        int event = 0;
        const Json::Value &modules = loaded[name];
        if (modules.isArray() && parseEventName(name, event)) {
            kept[name] = modules;
        } else {
            tm_printf(TRACE_WARM, "loadRegMap", __LINE__, "ignore saved member \"%s\" of the wrong shape\n",
                      ModuleName::printable(name).c_str());
        }
    }
    regMap.swap(kept);
    return 0;
}

int CRegMap::replayRegMap(const ReplayCallback &callback)
{
    if (!regMap.isObject()) {
        return 0;
    }
    for (const std::string &name : regMap.getMemberNames()) {
        int event = 0;
        if (!parseEventName(name, event)) {
            continue;
        }
        const Json::Value &modules = regMap[name];
        for (Json::ArrayIndex i = 0; i < modules.size(); ++i) {
            if (!modules[i].isInt() || modules[i].type() != Json::intValue) {
                return 1;
            }
            if (callback) {
                callback(event, modules[i].asInt());
            }
        }
    }
    return 0;
}

int CRegMap::addRegMapEntry(int iEvent, int iModId)
{
    char key[16];
    snprintf(key, sizeof key, "%d", iEvent);
    if (!regMap.isObject()) {
        regMap = Json::Value(Json::objectValue);
    }
    Json::Value &modules = regMap[key];
    if (!modules.isArray()) {
        modules = Json::Value(Json::arrayValue);
    }
    for (Json::ArrayIndex i = 0; i < modules.size(); ++i) {
        if (modules[i].isInt() && modules[i].asInt() == iModId) {
            return 1;
        }
    }
    modules.append(iModId);
    return 0;
}

int CRegMap::saveRegMap(const std::string &path)
{
    Json::StyledWriter writer;
    const std::string text = writer.write(regMap);
    const std::string temporary = path + ".tmp";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return -1;
    }
    const bool written = writeAll(fd, text) && fsync(fd) == 0;
    const bool closed = close(fd) == 0;
    if (!written || !closed || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return -1;
    }
    return 0;
}
