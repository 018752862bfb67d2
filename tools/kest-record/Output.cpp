#include "Output.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Verbs.h"
#include "recording/ExchangeClock.h"
#include "recording/QuoteCsv.h"

namespace kest_record {

bool Output::Open(const kest_rec::FileHeader& like, bool compress) {
    temporary_ = path_.empty() ? std::string() : path_ + ".tmp-" + std::to_string(getpid());
    if (form_ == kRecording) {
        kest_rec::WriterOptions o;
        o.channel = like.channel;
        o.config_crc = like.config_crc;
        o.compress = compress;
        // The exchange's clock of the first file read goes with the records.
        if (kest_rec::HasExchangeClock(like)) {
            o.exchange_clock = [like](int64_t, kest_rec::FileHeader& h) {
                h.exchange_anchor_s = like.exchange_anchor_s;
                h.exchange_anchor_ns = like.exchange_anchor_ns;
                h.exchange_rate_milli = like.exchange_rate_milli;
                return true;
            };
        }
        std::string error;
        writer_ = kest_rec::Writer::Open(temporary_, o, &error);
        if (!writer_) std::fprintf(stderr, "%s: %s\n", kTool, error.c_str());
        return writer_ != nullptr;
    }
    out_ = path_.empty() ? stdout : std::fopen(temporary_.c_str(), "w");
    if (out_ == nullptr) {
        std::fprintf(stderr, "%s: %s: %s\n", kTool, path_.c_str(), std::strerror(errno));
        return false;
    }
    if (form_ == kCsv) kest_rec::WriteCsvHeader(out_);
    return true;
}
void Output::Put(const kest_rec::Entry& e, const kest_rec::FileHeader& from) {
    if (form_ == kRecording) {
        writer_->Append(e.arrival_ns, e.record);
    } else if (form_ == kCsv) {
        kest_rec::WriteCsvLine(out_, e.arrival_ns, e.record, kest_rec::EntryTradingDate(from, e));
    } else {
        kest_rec::WriteJsonLine(out_, e.arrival_ns, e.record, kest_rec::EntryTradingDate(from, e));
    }
}
bool Output::Close(bool keep) {
    bool ok = true;
    if (writer_) {
        ok = writer_->Flush();
        if (!ok) std::fprintf(stderr, "%s: %s\n", kTool, writer_->error().c_str());
        writer_.reset();
    } else if (out_ != nullptr) {
        const bool written = std::ferror(out_) == 0;
        ok = (out_ == stdout ? std::fflush(out_) == 0 : std::fclose(out_) == 0) && written;
        if (!ok) std::fprintf(stderr, "%s: writing the output failed\n", kTool);
    }
    if (temporary_.empty()) return ok;
    if (!keep || !ok) {
        std::remove(temporary_.c_str());
    } else if (std::rename(temporary_.c_str(), path_.c_str()) != 0) {
        std::fprintf(stderr, "%s: %s: %s\n", kTool, path_.c_str(), std::strerror(errno));
        std::remove(temporary_.c_str());
        return false;
    }
    return ok;
}

}  // namespace kest_record
