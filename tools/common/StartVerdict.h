// One reading of a configuration file for what a start with it would do
// before and at the card: whether the start fails before touching the card
// and why, the checksum the library compares with the card's, and the keys
// that decide (device, crc_mux_check), read with the library's own reader.
// kest-config-check and kest-card-info --config both decide from it, so
// they cannot disagree.
#pragma once

#include <cstdint>
#include <string>

namespace kest_tools {

struct StartVerdict {
    bool opened = false;     // the library's reader can open it
    std::string openError;   // strerror when not
    std::string startFails;  // why a start fails before touching the card, "" when it need not
    int startFailsLine = 0;  // the line that makes it fail (0: the file as a whole)
    bool checksumOk = false;
    uint32_t checksum = 0;  // CRC-32C as the library takes it, when checksumOk
    int bus = 0;
    int channel = 0;
    bool crcMuxCheck = false;

    static StartVerdict Read(const std::string& path);
};

}  // namespace kest_tools
