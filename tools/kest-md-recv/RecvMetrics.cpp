#include "RecvMetrics.h"

#include <chrono>
#include <cstdio>

#include "Metrics.h"
#include "recording/Recording.h"

namespace {

// The label of each feed's counters; the last counts types that are no feed.
const char* FeedLabel(int f) { return f < Kest_U50::FEED_COUNT ? Kest_U50::FEEDS[f].key : "other"; }

int64_t WallNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

constexpr uint64_t RecvMetrics::kBucketNs[];

RecvMetrics::RecvMetrics(int card, int channel, const char* mode, const char* version)
    : card_(card), channel_(channel), mode_(mode), version_(version), createdNs_(WallNs()) {}

bool RecvMetrics::Serve(const kest_tools::ListenAddress& at, std::string& error) {
    if (!server_.Bind(
            at, [this] { return Render(); }, error))
        return false;
    server_.Start();
    return true;
}

void RecvMetrics::Started(bool ok, const std::string& log) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = ok ? 1 : 2;
    log_ = log;
    logOffset_ = 0;
    // What the start itself logged is not counted: only what comes after it.
    if (FILE* f = log_.empty() ? nullptr : std::fopen(log_.c_str(), "r")) {
        if (std::fseek(f, 0, SEEK_END) == 0) {
            const long end = std::ftell(f);
            if (end > 0) logOffset_ = static_cast<uint64_t>(end);
        }
        std::fclose(f);
    }
}

void RecvMetrics::Stopping() {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = 3;
}

// The library says only in its log that a lost-packet event came and that it
// brought the card up again: read what it wrote since the last scrape.
void RecvMetrics::ReadLog() {
    if (log_.empty()) return;
    FILE* f = std::fopen(log_.c_str(), "r");
    if (f == nullptr) return;
    if (std::fseek(f, static_cast<long>(logOffset_), SEEK_SET) == 0) {
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
            logOffset_ += n;
            for (size_t i = 0; i < n; ++i) {
                if (buf[i] != '\n') {
                    if (logPartial_.size() < 4096) logPartial_ += buf[i];
                    continue;
                }
                if (logPartial_.find("received lost pkt event, ignore.") != std::string::npos) {
                    ++lostIgnored_;
                } else if (logPartial_.find("received lost pkt event") != std::string::npos) {
                    ++lostRecovered_;
                } else if (logPartial_.find("shfe2ps_max_inst_no[") != std::string::npos) {
                    // Written at the end of every bring-up, whatever log_level says.
                    ++bringUps_;
                }
                logPartial_.clear();
            }
        }
    }
    std::fclose(f);
}

std::string RecvMetrics::Render() {
    using kest_tools::Label;
    using kest_tools::Labels;
    std::lock_guard<std::mutex> lock(mutex_);
    ReadLog();
    const std::string where =
        Labels({Label("card", std::to_string(card_)), Label("channel", std::to_string(channel_))});
    std::string feedLabels[kFeeds];
    for (int f = 0; f < kFeeds; ++f) feedLabels[f] = Labels({where, Label("feed", FeedLabel(f))});
    // Quotes of a type the card does not name are shown only when there are some.
    const bool other = counters_.feeds[kFeeds - 1].quotes.load(std::memory_order_relaxed) != 0;
    const int feeds = other ? kFeeds : kFeeds - 1;
    auto load = [](const Counter& c) { return c.load(std::memory_order_relaxed); };

    kest_tools::MetricsText m;
    m.Family("kest_receiver_info", "gauge", "The receiver: version and delivery mode (value 1).");
    m.Sample("kest_receiver_info", Labels({where, Label("mode", mode_), Label("version", version_)}), 1.0);
    m.Family(
        "kest_receiver_running", "gauge",
        "1 once the start has returned and quotes are polled; 0 while starting, after a failed start and "
        "while stopping.");
    m.Sample("kest_receiver_running", where, state_ == 1 ? 1.0 : 0.0);
    m.Family("kest_receiver_start_time_seconds", "gauge",
             "When the receiver began its start, since the epoch.");
    m.Sample("kest_receiver_start_time_seconds", where, static_cast<double>(createdNs_) / 1e9);

    auto perFeed = [&](const char* name, const char* type, const char* help, Counter Feed::*field) {
        m.Family(name, type, help);
        for (int f = 0; f < feeds; ++f) m.Sample(name, feedLabels[f], load(counters_.feeds[f].*field));
    };
    perFeed("kest_quotes_delivered_total", "counter", "Quotes delivered to the application.", &Feed::quotes);
    perFeed("kest_change_number_gaps_total", "counter",
            "Quotes that arrived after a gap in their instrument's change number.", &Feed::gaps);
    perFeed("kest_quotes_missing_total", "counter",
            "Quotes never received: the sum of the change-number gaps.", &Feed::missing);
    perFeed("kest_instruments_with_gaps", "gauge",
            "Instruments that have had at least one change-number gap since the receiver started.",
            &Feed::instrumentsWithGaps);
    perFeed("kest_quotes_out_of_order_total", "counter",
            "Quotes whose change number did not grow (repeated or reordered).", &Feed::backwards);
    perFeed("kest_stale_quotes_total", "counter",
            "Quotes whose exchange time was more than --stale-ms behind the host's clock on arrival.",
            &Feed::stale);

    const char* latency = "kest_poll_to_delivery_latency_seconds";
    m.Family(latency, "histogram",
             "From the start of the poll to the delivery of the quote to the application.");
    for (int f = 0; f < feeds; ++f) {
        const Feed& feed = counters_.feeds[f];
        uint64_t cumulative = 0;
        for (int b = 0; b <= kBuckets; ++b) {
            cumulative += load(feed.latency[b]);
            const std::string le =
                b < kBuckets ? kest_tools::MetricValue(static_cast<double>(kBucketNs[b]) / 1e9) : "+Inf";
            m.Sample(std::string(latency) + "_bucket", Labels({feedLabels[f], Label("le", le)}), cumulative);
        }
        m.Sample(std::string(latency) + "_sum", feedLabels[f],
                 static_cast<double>(load(feed.latencySumNs)) / 1e9);
        m.Sample(std::string(latency) + "_count", feedLabels[f], cumulative);
    }

    const int64_t last = counters_.lastArrivalNs.load(std::memory_order_relaxed);
    m.Family("kest_last_quote_timestamp_seconds", "gauge",
             "When the last quote reached the application, since the epoch; 0 before the first.");
    m.Sample("kest_last_quote_timestamp_seconds", where, static_cast<double>(last) / 1e9);
    m.Family("kest_last_quote_age_seconds", "gauge",
             "Seconds since the last quote reached the application (since the receiver began, before the "
             "first).");
    m.Sample("kest_last_quote_age_seconds", where,
             static_cast<double>(WallNs() - (last != 0 ? last : createdNs_)) / 1e9);

    m.Family("kest_polls_total", "counter", "Polls of the library (KestRecv calls), counted every 4096.");
    m.Sample("kest_polls_total", where, load(counters_.polls));
    m.Family("kest_lost_packet_events_total", "counter",
             "Lost-packet events the library logged since the start: ignored (in the minutes around the "
             "sessions' openings and closings) or handled.");
    m.Sample("kest_lost_packet_events_total", Labels({where, Label("handling", "ignored")}), lostIgnored_);
    m.Sample("kest_lost_packet_events_total", Labels({where, Label("handling", "handled")}), lostRecovered_);
    m.Family("kest_rebringups_total", "counter",
             "Bring-ups of the card the library ran after its start (lost-packet recovery on channel 0).");
    m.Sample("kest_rebringups_total", where, bringUps_);

    const uint32_t files = counters_.recordFiles.load(std::memory_order_relaxed);
    m.Family("kest_record_bytes_total", "counter",
             "Bytes the --record recording wrote to its files: file headers and blocks as stored (compressed "
             "with --record-compress), without the indexes written at each file's close.");
    m.Sample("kest_record_bytes_total", where, load(counters_.recordBytes));
    m.Family("kest_record_rotations_total", "counter", "Times the --record recording went on in a new file.");
    m.Sample("kest_record_rotations_total", where, static_cast<uint64_t>(files > 0 ? files - 1 : 0));
    return m.Text();
}
