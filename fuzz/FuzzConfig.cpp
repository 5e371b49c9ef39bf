// Fuzzes the configuration file reader: any file content must leave a usable
// record and never end the process.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/PellixPara.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static std::string path;
    if (path.empty()) {
        char dir[] = "/dev/shm/pellix-fuzz-XXXXXX";
        if (mkdtemp(dir) == nullptr) {
            abort();
        }
        path = std::string(dir) + "/pellixPara.json";
    }
    FILE *file = fopen(path.c_str(), "wb");
    if (file == nullptr) {
        abort();
    }
    fwrite(data, 1, size, file);
    fclose(file);

    PellixPara para;
    const int result = readParaFile(para, path);
    if (result < 0 || result > 2) {
        abort();
    }
    // Whatever was read must be writable and read back the same (for paths
    // of plain text: the library rewrites other bytes in its own escapes).
    bool plain = true;
    for (unsigned char c : para.unixSocketPath) {
        plain = plain && c >= 0x20 && c < 0x7f;
    }
    if (result == 0 && plain) {
        const std::string copy = path + ".out";
        if (writeParaFile(para, copy) != 0) {
            abort();
        }
        PellixPara again;
        again.tcpListenPort = -7;
        if (readParaFile(again, copy) != 0 || again.tcpListenPort != para.tcpListenPort ||
            again.unixSocketPath != para.unixSocketPath) {
            abort();
        }
    }
    return 0;
}
