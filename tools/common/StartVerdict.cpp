#include "StartVerdict.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "ConfigFileKind.h"
#include "config/IniReader.h"
#include "crc/Crc32.h"

namespace kest_tools {

StartVerdict StartVerdict::Read(const std::string& path) {
    StartVerdict v;
    Kest_U50::CIniReader ini;
    errno = 0;
    v.opened = ini.ReadConfig(path);
    if (!v.opened) {
        v.openError = std::strerror(errno != 0 ? errno : ENOENT);
        return v;
    }
    const std::string problem = ConfigFileProblem(path);
    if (!problem.empty()) {
        v.startFails = "the file " + problem;
        return v;
    }
    // The checksum over every byte, as the library takes it before it
    // decides whether to program the card.
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Kest_U50::CCrc32 crc;
    v.checksumOk =
        !bytes.empty() && crc.calculate_crc32c(v.checksum, reinterpret_cast<const uint8_t*>(bytes.data()),
                                               static_cast<int32_t>(bytes.size())) == 0;
    if (!v.checksumOk) {
        v.startFails = "the library cannot checksum the file";
        return v;
    }
    // The same reads as the start.
    const std::string device = ini.ReadString("config", "device", "xilinx0:0");
    (void)std::sscanf(device.c_str(), "xilinx%d:%d", &v.bus, &v.channel);
    v.crcMuxCheck = ini.ReadUInt16("config", "crc_mux_check", 0) == 1;
    if (v.channel < 0 || v.channel > 15) {
        v.startFails = "channel " + std::to_string(v.channel) +
                       " does not exist (0 to 15): the start finds no DMA stream CUSTOM_CHAN" +
                       std::to_string(v.channel) + "_DATA";
        // The line of the device key that counts (the last one in [config]).
        std::ifstream lines(path);
        std::string line, current, section, key, value;
        for (int n = 1; std::getline(lines, line); ++n) {
            if (!ini.AnalyseLine(line, section, key, value)) continue;
            if (key.empty()) {
                current = section;
            } else if (key == "device" && current == "config") {
                v.startFailsLine = n;
            }
        }
    }
    return v;
}

}  // namespace kest_tools
