// libFuzzer target: arbitrary bytes as the content of a configuration file,
// loaded by CIniReader and queried through every lookup; each line of the
// input is also classified on its own.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/IniReader.h"

namespace {

// The input lives in an anonymous memory file so that no disk is touched.
int InputFd() {
    static const int fd = [] {
        const int created = ::memfd_create("kest_ini_fuzz", 0);
        if (created < 0) {
            std::perror("memfd_create");
            std::abort();
        }
        return created;
    }();
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int fd = InputFd();
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
        return 0;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    Kest_U50::CIniReader reader;
    if (!reader.ReadConfig(path)) {
        std::abort();  // the file exists: only an unopenable file may fail
    }
    const char* sections[] = {"config", "channel0", "channel15", "", " channel3 ", "old"};
    const char* keys[] = {"log_level", "cpucore", "insts", "device", "a", "", "k"};
    for (const char* section : sections) {
        for (const char* key : keys) {
            (void)reader.ReadString(section, key, "default");
            (void)reader.ReadInt32(section, key, -1);
            (void)reader.ReadUInt32(section, key, 1u);
            (void)reader.ReadUInt16(section, key, 2u);
        }
    }

    const std::string text(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string section;
        std::string key;
        std::string value;
        if (reader.AnalyseLine(text.substr(start, end - start), section, key, value) && !key.empty()) {
            // A key line has a trimmed, non-empty key.
            if (reader.IsSpace(key.front()) || reader.IsSpace(key.back())) {
                std::abort();
            }
        }
        start = end + 1;
    }
    return 0;
}
