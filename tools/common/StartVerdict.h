// One reading of a configuration file for what a start with it would do
// before and at the card: whether the start fails before touching the card
// and why, whether it would silence the card (dangers), the checksum the
// library compares with the card's, and the keys that decide (device,
// crc_mux_check), read with the library's own reader. kest-config-check,
// kest-card-info --config and kest-md-recv's refusal all decide from it, so
// they cannot disagree.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
    bool recognised = false;           // the library reads at least one key of the file
    std::vector<std::string> dangers;  // why a start (of channel 0) would silence the card

    static StartVerdict Read(const std::string& path);

    // The verdict's first line: "PATH: START FAILS: ..." or "PATH: DANGEROUS:
    // ...", or "" when a start may go ahead.
    std::string Headline(const std::string& path) const;
};

// A receiver's check before its start touches the card: false, with the
// verdict line and what to do on stderr, for a file a start cannot succeed
// with or that would silence the card. A file that cannot be opened is left
// to the library, which says so.
bool StartAllowed(const char* tool, const std::string& path);

}  // namespace kest_tools
