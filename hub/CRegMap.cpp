#include "hub/CRegMap.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

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

// The file's text, if it may be trusted; otherwise why not, in `why`.
bool readTrusted(const std::string &path, std::string &text, std::string &why)
{
    // O_NONBLOCK: a FIFO planted at the path must not hang the start.
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int err = errno;
        why = err == ELOOP ? "it is a symbolic link" : std::string("it cannot be opened: ") + strerror(err);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        why = std::string("it cannot be examined: ") + strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        why = "it is not a regular file";
    } else if (st.st_uid != geteuid()) {
        why = "it is owned by uid " + std::to_string(st.st_uid);
    } else if ((st.st_mode & S_IWOTH) != 0) {
        why = "it is writable by others";
    } else if (static_cast<unsigned long long>(st.st_size) > CRegMap::kMaxFileBytes) {
        why = "it holds " + std::to_string(st.st_size) + " bytes";
    }
    if (!why.empty()) {
        close(fd);
        return false;
    }
    char chunk[65536];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || text.size() + static_cast<size_t>(n) > CRegMap::kMaxFileBytes) {
            break;
        }
        text.append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

} // namespace

int CRegMap::loadRegMap(const std::string &path)
{
    refused.clear();
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
        printf("file not exist!\n");
        saveRegMap(path);
    }
    std::string text;
    if (!readTrusted(path, text, refused)) {
        return refused.empty() ? 1 : 3;
    }
    Json::Value loaded;
    try {
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
    countPairs();
    return 0;
}

// What was saved stays, even beyond the bounds: they only hold back new
// pairs.
void CRegMap::countPairs()
{
    pairs = 0;
    eventsOfModule.clear();
    for (const std::string &name : regMap.getMemberNames()) {
        const Json::Value &modules = regMap[name];
        for (Json::ArrayIndex i = 0; i < modules.size(); ++i) {
            ++pairs;
            if (modules[i].isInt()) {
                ++eventsOfModule[modules[i].asInt()];
            }
        }
    }
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
    const Json::Value *existing = regMap.find(key, key + strlen(key));
    if (existing != nullptr && existing->isArray()) {
        for (Json::ArrayIndex i = 0; i < existing->size(); ++i) {
            if ((*existing)[i].isInt() && (*existing)[i].asInt() == iModId) {
                return 1;
            }
        }
    }
    int &held = eventsOfModule[iModId];
    if (held >= kMaxEventsPerModule) {
        return -1;
    }
    if (pairs >= kMaxPairs) {
        return -2;
    }
    Json::Value &modules = regMap[key];
    if (!modules.isArray()) {
        modules = Json::Value(Json::arrayValue);
    }
    modules.append(iModId);
    ++held;
    ++pairs;
    return 0;
}

bool CRegMap::removeRegMapEntry(int iEvent, int iModId)
{
    char key[16];
    snprintf(key, sizeof key, "%d", iEvent);
    if (!regMap.isObject()) {
        return false;
    }
    Json::Value *modules = regMap.find(key, key + strlen(key)) != nullptr ? &regMap[key] : nullptr;
    if (modules == nullptr || !modules->isArray()) {
        return false;
    }
    for (Json::ArrayIndex i = 0; i < modules->size(); ++i) {
        if (!(*modules)[i].isInt() || (*modules)[i].asInt() != iModId) {
            continue;
        }
        Json::Value gone;
        modules->removeIndex(i, &gone);
        if (modules->empty()) {
            regMap.removeMember(key);
        }
        --eventsOfModule[iModId];
        --pairs;
        return true;
    }
    return false;
}

int CRegMap::saveRegMap(const std::string &path)
{
    Json::StyledWriter writer;
    const std::string text = writer.write(regMap);
    return fileWriter ? fileWriter(path, text) : writeFileSafely(path, text);
}

int CRegMap::writeFileSafely(const std::string &path, const std::string &text)
{
    // A unique name, created exclusively: nothing planted in the directory
    // (a link to some other file above all) is ever opened for writing.
    std::vector<char> temporary(path.begin(), path.end());
    const char suffix[] = ".XXXXXX";
    temporary.insert(temporary.end(), suffix, suffix + sizeof suffix);
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    const bool written = fchmod(fd, 0644) == 0 && writeAll(fd, text) && fsync(fd) == 0;
    const bool closed = close(fd) == 0;
    if (!written || !closed || rename(temporary.data(), path.c_str()) != 0) {
        unlink(temporary.data());
        return -1;
    }
    return 0;
}
