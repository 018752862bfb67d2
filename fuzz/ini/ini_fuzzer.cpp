// libFuzzer target: arbitrary bytes as the content of a configuration file,
// loaded by CIniReader and queried through every lookup; each line of the
// input is also classified on its own.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "config/IniReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The input lives in an anonymous memory file so that no disk is touched.
    static const int fd = ::memfd_create("kest_ini_fuzz", 0);
    Kest_U50::CIniReader reader;
    if (fd < 0 || ::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size) ||
        !reader.ReadConfig("/proc/self/fd/" + std::to_string(fd))) {
        std::abort();  // the file exists: only an unopenable file may fail
    }
    for (const char* section : {"config", "channel0", "", " channel3 ", "old"}) {
        for (const char* key : {"log_level", "insts", "a", "", "k"}) {
            (void)reader.ReadString(section, key, "");
            (void)reader.ReadInt32(section, key, -1);
            (void)reader.ReadUInt32(section, key, 1);
            (void)reader.ReadUInt16(section, key, 2);
        }
    }
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (size_t start = 0, end; start <= size; start = end + 1) {
        end = std::min(text.find('\n', start), size);
        std::string section, key, value;
        // A key line has a trimmed, non-empty key.
        if (reader.AnalyseLine(text.substr(start, end - start), section, key, value) && !key.empty() &&
            (reader.IsSpace(key.front()) || reader.IsSpace(key.back()))) {
            std::abort();
        }
    }
    return 0;
}
