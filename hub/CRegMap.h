#pragma once
// The saved record of event subscriptions, kept as a JSON document:
//
//   { "3": [16, 17], "5": [16] }
//
// member names are event numbers in decimal, values the subscribed module
// ids in the order they first subscribed. It only grows: unsubscriptions and
// removed modules are not taken out, so every saved pair is replayed at the
// next start. The file is replaced atomically on every save.

#include <string>

#include <boost/function.hpp>
#include <json/json.h>

class CRegMap {
public:
    typedef boost::function<int(int iEvent, int iModId)> ReplayCallback;

    // 0 when loaded, 1 when the file held something other than an object
    // (or could not be read), 2 when it could not be parsed. A missing file
    // is created holding null.
    int loadRegMap(const std::string &path);
    // Calls back once per saved (event, module) pair, members in the
    // library's string order; 1 when it stopped at an element that is not an
    // integer, else 0.
    int replayRegMap(const ReplayCallback &callback);
    // 1 when the pair was there already, 0 when it was added.
    int addRegMapEntry(int iEvent, int iModId);
    // Writes a temporary file beside path and renames it over path, so that
    // a crash or a full disk leaves the previous record whole. 0 on success.
    int saveRegMap(const std::string &path);

    const Json::Value &document() const { return regMap; }

private:
    Json::Value regMap;
};
