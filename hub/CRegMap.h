#pragma once
// The saved record of event subscriptions, kept as a JSON document:
//
//   { "3": [16, 17], "5": [16] }
//
// member names are event numbers in decimal, values the subscribed module
// ids in the order they first subscribed. It only grows unless a setting
// takes unsubscriptions out: removed modules are not taken out, so every
// saved pair is replayed at the next start. The file is replaced atomically on every save. The record
// lives in a directory others can write to: it is never read through a
// link or from a file that someone else could have written.

#include <cstddef>
#include <functional>
#include <map>
#include <string>

#include <boost/function.hpp>
#include <json/json.h>

class CRegMap {
public:
    typedef boost::function<int(int iEvent, int iModId)> ReplayCallback;
    // Puts the record's text at path; 0 on success. The daemon's is
    // writeFileSafely; a fuzzer or a test may put its own in.
    typedef std::function<int(const std::string &path, const std::string &text)> Writer;

    // Bounds on what subscriptions can make the record (and the hub's
    // memory, and every save) grow to.
    static constexpr int kMaxEventsPerModule = 4096;
    static constexpr size_t kMaxPairs = 65536;
    // A record larger than this was not written by the hub.
    static constexpr size_t kMaxFileBytes = 64u << 20;

    // 0 when loaded, 1 when the file held something other than an object
    // (or could not be read), 2 when it could not be parsed, 3 when it is
    // not to be trusted (not a regular file, a link, owned by another user,
    // writable by others: see refusal()). A missing file is created holding
    // null; a refused one is left as it is until the next save replaces it.
    int loadRegMap(const std::string &path);
    // Why the last load refused the file; empty when it did not.
    const std::string &refusal() const { return refused; }
    // Calls back once per saved (event, module) pair, members in the
    // library's string order; 1 when it stopped at an element that is not an
    // integer, else 0.
    int replayRegMap(const ReplayCallback &callback);
    // 1 when the pair was there already, 0 when it was added; -1 when it was
    // refused because the module holds kMaxEventsPerModule events, -2
    // because the record holds kMaxPairs pairs.
    int addRegMapEntry(int iEvent, int iModId);
    // Takes the pair out; true when it was there. An event left without
    // subscribers leaves the record.
    bool removeRegMapEntry(int iEvent, int iModId);
    // Writes a new file of a unique name beside path (never following a
    // link), syncs it and renames it over path, so that a crash or a full
    // disk leaves the previous record whole. 0 on success.
    int saveRegMap(const std::string &path);
    // Another writer for saveRegMap; an empty one restores writeFileSafely.
    void setWriter(const Writer &writer) { fileWriter = writer; }
    // A new file of a unique name beside path, synced and renamed over it.
    static int writeFileSafely(const std::string &path, const std::string &text);

    const Json::Value &document() const { return regMap; }
    size_t pairCount() const { return pairs; }

private:
    void countPairs();

    Json::Value regMap;
    size_t pairs = 0;
    std::map<int, int> eventsOfModule;
    std::string refused;
    Writer fileWriter;
};
