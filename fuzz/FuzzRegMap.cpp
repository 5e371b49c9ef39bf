// Fuzzes the subscription record: load, replay into the event table, new
// subscriptions on top, save, and reload of what was saved.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <boost/bind/bind.hpp>

#include "event/CEventManager.h"
#include "hub/CRegMap.h"
#include "trace/Trace.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static std::string path;
    if (path.empty()) {
        char dir[] = "/dev/shm/pellix-fuzz-XXXXXX";
        if (mkdtemp(dir) == nullptr || freopen("/dev/null", "w", stdout) == nullptr) {
            abort();
        }
        path = std::string(dir) + "/regMap.json";
        tm_set_level(TRACE_DEBUG);
    }
    FILE *file = fopen(path.c_str(), "wb");
    if (file == nullptr) {
        abort();
    }
    fwrite(data, 1, size, file);
    fclose(file);

    using namespace boost::placeholders;
    CEventManager events;
    CRegMap record;
    record.loadRegMap(path);
    record.replayRegMap(boost::bind(&CEventManager::RegEvent, &events, _1, _2));
    record.addRegMapEntry(3, 16);
    record.addRegMapEntry(3, 17);
    if (record.addRegMapEntry(3, 16) != 1) {
        abort(); // a pair just added must be found
    }
    if (record.saveRegMap(path) != 0) {
        abort();
    }
    // What the hub saved, it must load back and replay the same way (junk
    // strings inside the arrays may come back in the library's own escapes).
    CRegMap reloaded;
    if (reloaded.loadRegMap(path) != 0) {
        abort();
    }
    std::vector<std::pair<int, int>> before;
    std::vector<std::pair<int, int>> after;
    const int stoppedBefore = record.replayRegMap([&before](int e, int m) {
        before.emplace_back(e, m);
        return 0;
    });
    const int stoppedAfter = reloaded.replayRegMap([&after](int e, int m) {
        after.emplace_back(e, m);
        return 0;
    });
    if (stoppedBefore != stoppedAfter || before != after) {
        abort();
    }
    return 0;
}
