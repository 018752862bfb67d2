#include "RunReports.h"

#include <sys/statvfs.h>

#include <cstdio>

#include "RecvOptions.h"

namespace kest_md_recv {

void ReportProgress(RecvMetrics& metrics, uint64_t polls, const kest_rec::Writer* recorder) {
    if (recorder == nullptr) return metrics.Progress(polls, 0, 0);
    metrics.Progress(polls, recorder->Files(),
                     recorder->Files() * sizeof(kest_rec::FileHeader) + recorder->StoredBytes());
}

void ReportLoss(const LossCounts& now, LossCounts& reported) {
    if (now.missing != reported.missing || now.backwards != reported.backwards) {
        std::fprintf(
            stderr,
            "%s: %llu quotes missing in %llu change-number gaps, %llu out of order (total %llu missing)\n",
            kTool, static_cast<unsigned long long>(now.missing - reported.missing),
            static_cast<unsigned long long>(now.gapEvents - reported.gapEvents),
            static_cast<unsigned long long>(now.backwards - reported.backwards),
            static_cast<unsigned long long>(now.missing));
    }
    if (now.stale != reported.stale) {
        std::fprintf(stderr, "%s: %llu stale quotes arrived (oldest so far %lld ms behind the local clock)\n",
                     kTool, static_cast<unsigned long long>(now.stale - reported.stale),
                     static_cast<long long>(now.oldestMs));
    }
    reported = now;
}

bool LogDeviceFull() {
    struct statvfs fs;
    return statvfs(".", &fs) == 0 && fs.f_bavail == 0;
}

void ReportRecordingFailure(const kest_rec::Writer* recorder, bool& reported) {
    if (recorder == nullptr || reported || !recorder->Failed()) return;
    reported = true;
    std::fprintf(stderr, "%s: recording failed: %s; no more quotes are recorded\n", kTool,
                 recorder->error().c_str());
}

void WarnIfLogDeviceFull(bool& warned) {
    if (warned || !LogDeviceFull()) return;
    warned = true;
    std::fprintf(stderr,
                 "%s: the file system of the working directory is full: the library's log lines are being "
                 "lost\n",
                 kTool);
}

}  // namespace kest_md_recv
