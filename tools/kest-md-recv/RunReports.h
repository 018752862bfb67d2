// What kest-md-recv says on standard error while it runs: loss, a full log
// file system, a failed recording, and the metrics' progress.
#pragma once

#include <cstdint>

#include "QuoteBook.h"
#include "RecvMetrics.h"
#include "recording/Recording.h"

namespace kest_md_recv {

void ReportProgress(RecvMetrics& metrics, uint64_t polls, const kest_rec::Writer* recorder);

// One line on standard error for what was lost or stale since the last line.
void ReportLoss(const LossCounts& now, LossCounts& reported);

// The library writes its log in the working directory and cannot say when a
// write fails: a full file system there means lines silently lost.
bool LogDeviceFull();

void ReportRecordingFailure(const kest_rec::Writer* recorder, bool& reported);

void WarnIfLogDeviceFull(bool& warned);

}  // namespace kest_md_recv
