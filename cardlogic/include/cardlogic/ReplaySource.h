// Where a replay's entries come from: the files of one or more recordings in
// order, handed out as runs of contiguous, trusted entries that stay valid
// until the next call. The replay reads nothing else of a file, so a reader
// of another format version plugs in here alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "recording/Recording.h"
#include "recording/TimeWindow.h"

namespace kest_cardlogic {

class ReplaySource {
public:
    // The files in the order given; each is opened when the one before it is
    // done, so a bad file stops the replay there (Error()).
    static std::unique_ptr<ReplaySource> Open(std::vector<std::string> files);
    virtual ~ReplaySource() = default;

    // A hint before the first run: the replay plays only arrivals in the
    // window of these contracts (empty: all), so a reader with an index may
    // skip what holds none of them. Runs may still hold others: the replay
    // selects the entries itself. Mapped files read everything.
    virtual void Select(const kest_rec::TimeWindow& window, const std::vector<std::string>& contracts) {
        (void)window, (void)contracts;
    }
    // The next run of entries: false after the last file, or at a file that
    // cannot be read (Error() then names it).
    virtual bool NextRun(const kest_rec::Entry** entries, size_t* count) = 0;
    // Entries of the files read so far that were not handed out because they
    // are damaged (a cut entry at the end of a file counts as one).
    virtual uint64_t Skipped() const = 0;
    // Entries of the files read so far that the selection let the reader pass
    // over unread (whole blocks the index shows hold none of it).
    virtual uint64_t PassedOver() const { return 0; }
    // Bytes after the last whole entry of the files read so far: a recorder
    // stopped in the middle of a block write.
    virtual uint64_t TrailingBytes() const = 0;
    virtual const std::string& Error() const = 0;
};

// A replay's file list from what the user named: each name is a file or a
// glob(7) pattern (matches in name order), and each recording it names is
// followed by its rotated files (PATH.1, PATH.2, ...). A file is listed once.
// Empty, with *error set, when a name matches nothing.
std::vector<std::string> ReplayFiles(const std::vector<std::string>& names, std::string* error);

}  // namespace kest_cardlogic
