// The trace format through its writer and reader: what is written reads
// back call for call; a cut file reads to its last whole block; a damaged
// block ends the reading and is named; the size limit stops the trace with
// an entry that says so; a newer version is refused. The quote summary
// counts each stream's quotes and writes them once a minute.
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "FpgaRegisterCommon.h"
#include "cardtrace/Phases.h"
#include "cardtrace/QuoteSummary.h"
#include "cardtrace/Trace.h"

namespace {

using kest_trace::Call;
using kest_trace::Fn;
namespace R = Kest_U50::Reg;

std::vector<Call> ReadAll(const std::string& bytes, std::string* problem = nullptr,
                          uint64_t* trailing = nullptr) {
    std::string error;
    auto r = kest_trace::Reader::FromBytes(bytes.data(), bytes.size(), &error);
    EXPECT_TRUE(r) << error;
    std::vector<Call> out;
    if (!r) return out;
    Call c;
    while (r->Next(c)) out.push_back(c);
    if (problem) *problem = r->Problem();
    if (trailing) *trailing = r->TrailingBytes();
    return out;
}

// A call of `fn` at `t` with these arguments (then zeros), its result and errno.
Call Make(Fn fn, std::initializer_list<uint64_t> args, int64_t t, int64_t rc = 0, int32_t err = 0) {
    Call c;
    c.fn = fn;
    c.t_ns = t;
    c.rc = rc;
    c.err = err;
    std::copy(args.begin(), args.end(), c.arg);
    return c;
}
Call Write(uint32_t reg, uint64_t value, int64_t t) {
    return Make(Fn::kWrite, {3, R::ByteAddress(reg), kest_trace::Bits(0, 32), value}, t);
}
// An enumeration that failed with ENODEV.
Call FailedEnumeration(int64_t t) { return Make(Fn::kEnumerateAccelerators, {1, 1}, t, -1, 19); }

// A bring-up's worth of register writes and a few other kinds, enough for several blocks.
std::vector<Call> Sample(size_t writes) {
    std::vector<Call> calls{Make(Fn::kFilterSetName, {1}, 1000), FailedEnumeration(1500)};
    calls[0].data = "CUSTOM_CHAN0_DATA";
    for (size_t i = 0; i < writes; ++i)
        calls.push_back(Write(R::SHFE2PS_TABLE_WDATA, i * 7919, 2000 + 40 * static_cast<int64_t>(i)));
    calls.push_back(Make(Fn::kA2cPoll, {9, 12345}, 2000 + 40 * static_cast<int64_t>(writes), 1));
    calls.back().data.assign(168, '\x01');
    return calls;
}

std::string Written(const std::vector<Call>& calls, kest_trace::WriterOptions opt = {}) {
    std::string bytes;
    auto w = kest_trace::Writer::ToString(&bytes, opt);
    for (const Call& c : calls) w->Add(c);
    w.reset();
    return bytes;
}

void ExpectSame(const std::vector<Call>& want, const std::vector<Call>& got, size_t n) {
    ASSERT_GE(got.size(), n);
    for (size_t i = 0; i < n; ++i) {
        EXPECT_TRUE(kest_trace::SameCall(want[i], got[i]))
            << i << ": " << kest_trace::Describe(want[i]) << " / " << kest_trace::Describe(got[i]);
        EXPECT_EQ(want[i].t_ns, got[i].t_ns) << i;
        EXPECT_EQ(got[i].number, i + 1);
    }
}

TEST(TraceFormat, WhatIsWrittenReadsBackCallForCallAndEndsWithTheEndEntry) {
    for (bool compress : {false, true}) {
        const std::vector<Call> calls = Sample(40000);
        kest_trace::WriterOptions opt;
        opt.compress = compress;
        const std::string bytes = Written(calls, opt);
        std::string problem;
        const std::vector<Call> got = ReadAll(bytes, &problem);
        EXPECT_EQ(problem, "");
        ASSERT_EQ(got.size(), calls.size() + 1);
        ExpectSame(calls, got, calls.size());
        EXPECT_EQ(got.back().fn, Fn::kEnd);
        if (compress) {
            kest_trace::WriterOptions plain;
            plain.compress = false;
            EXPECT_LT(bytes.size() * 4, Written(calls, plain).size()) << "register traffic compresses";
        }
    }
}

TEST(TraceFormat, ACutFileReadsToItsLastWholeBlockAndADamagedBlockEndsTheReadingAndIsNamed) {
    kest_trace::WriterOptions opt;
    opt.compress = false;
    const std::vector<Call> calls = Sample(20000);
    std::string bytes = Written(calls, opt);
    std::string problem;
    uint64_t trailing = 0;
    const std::vector<Call> cut = ReadAll(bytes.substr(0, bytes.size() * 2 / 3), &problem, &trailing);
    EXPECT_EQ(problem, "") << "a cut is not damage";
    EXPECT_GT(trailing, 0u);
    EXPECT_GT(cut.size(), calls.size() / 3);
    EXPECT_LT(cut.size(), calls.size());
    ExpectSame(calls, cut, cut.size());

    bytes[64 + 48 + kest_trace::kBlockBytes + 48 + 1000] ^= 0x40;  // in the second block's data
    const std::vector<Call> damaged = ReadAll(bytes, &problem);
    EXPECT_NE(problem.find("block 1 at offset"), std::string::npos) << problem;
    EXPECT_NE(problem.find("CRC-32C"), std::string::npos) << problem;
    ASSERT_FALSE(damaged.empty());
    EXPECT_LT(damaged.size(), calls.size() / 2);
    ExpectSame(calls, damaged, damaged.size());
}

TEST(TraceFormat, TheSizeLimitStopsTheTraceWithAnEntryThatSaysSo) {
    kest_trace::WriterOptions opt;
    opt.compress = false;
    opt.max_bytes = 200 * 1024;
    std::string bytes;
    auto w = kest_trace::Writer::ToString(&bytes, opt);
    const std::vector<Call> calls = Sample(100000);
    for (const Call& c : calls) w->Add(c);
    EXPECT_TRUE(w->Stopped());
    EXPECT_GT(w->Dropped(), 0u);
    w.reset();
    EXPECT_LE(bytes.size(), opt.max_bytes);
    const std::vector<Call> got = ReadAll(bytes);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back().fn, Fn::kLimit);
    EXPECT_EQ(got.back().arg[0], opt.max_bytes);
    ExpectSame(calls, got, got.size() - 1);
}

TEST(TraceFormat, ANewerVersionOrAnotherFileIsRefusedInOneLine) {
    std::string bytes = Written(Sample(10));
    std::string error;
    EXPECT_FALSE(kest_trace::Reader::FromBytes("KESTREC\0", 8, &error));
    EXPECT_NE(error.find("not a trace"), std::string::npos) << error;
    bytes[8] = 2;  // version, without fixing the CRC
    EXPECT_FALSE(kest_trace::Reader::FromBytes(bytes.data(), bytes.size(), &error));
    EXPECT_NE(error.find("CRC-32C"), std::string::npos) << error;
}

TEST(TraceFormat, ACallIsShownWithItsRegisterNumberValueAndResult) {
    Call c = Write(R::ROUTE, 3, 0);
    EXPECT_EQ(kest_trace::Describe(c), "enyx_hw_write(core #3, reg 0x03000 32/0, value 0x3) = 0");
    EXPECT_EQ(kest_trace::Describe(FailedEnumeration(0)),
              "enyx_hw_enumerate_accelerators(filter #1, capacity 1, 0 bytes) = -1 errno 19");
}

TEST(TraceQuoteSummary, EachStreamsQuotesAreCountedWithTheFirstAndTheLastAndWrittenOnceAMinute) {
    std::string bytes;
    auto w = kest_trace::Writer::ToString(&bytes, {});
    kest_trace::QuoteSummary summary(*w);
    const int streams[kest_trace::QuoteSummary::kMaxStreams + 1] = {};
    uint8_t message[160] = {};
    for (int i = 0; i < 1500; ++i) {  // stream 7: one quote every 100 ms for 150 s; stream 9: ten
        message[8] = static_cast<uint8_t>(i);
        ASSERT_TRUE(summary.Add(&streams[0], 7, message, sizeof message, i * int64_t{100'000'000}));
        if (i < 10) summary.Add(&streams[1], 9, message, sizeof message, i * int64_t{100'000'000});
    }
    for (uint32_t k = 2; k < kest_trace::QuoteSummary::kMaxStreams; ++k)
        EXPECT_TRUE(summary.Add(&streams[k], 100 + k, message, sizeof message, 0));
    EXPECT_FALSE(summary.Add(&streams[kest_trace::QuoteSummary::kMaxStreams], 99, message, sizeof message, 0))
        << "no stream is left: the caller stores the message";
    EXPECT_TRUE(summary.Pending());
    summary.Flush(150'000'000'000);
    EXPECT_FALSE(summary.Pending());
    EXPECT_EQ(summary.Summarised(), 1500u + 10 + kest_trace::QuoteSummary::kMaxStreams - 2);
    w.reset();
    std::vector<uint64_t> counts;
    std::string first_last;
    for (const Call& c : ReadAll(bytes)) {
        if (c.fn != Fn::kQuoteSummary || c.arg[0] > 9) continue;
        counts.push_back(c.arg[0] * 10000 + c.arg[1]);
        first_last +=
            std::to_string(c.data[4 + 8] & 0xFF) + "-" + std::to_string(c.data[4 + 160 + 8] & 0xFF) + " ";
    }
    // A minute after its first quote (the 601st), the summaries are written, then again a minute later.
    EXPECT_EQ(counts, (std::vector<uint64_t>{70601, 90010, 70601, 70298}));
    EXPECT_EQ(first_last, "0-88 0-9 89-177 178-219 ") << "bytes 8 of the first and the last, mod 256";
}

TEST(TracePhases, ABringUpIsCutIntoItsPhasesByTheRegistersOfTheCardMap) {
    kest_trace::PhaseFinder f;
    uint64_t n = 0;
    auto add = [&](Call c, int64_t t) {
        c.number = ++n;
        c.t_ns = t;
        f.Add(c);
    };
    Call read;
    read.fn = Fn::kRead;
    read.arg[1] = R::ByteAddress(R::MUX0_2PS_PKTS);
    add(read, 0);
    read.arg[1] = R::ByteAddress(R::CONFIG_CRC);
    add(read, 10);
    add(Write(R::CARD_START, 1, 20), 20);
    add(Write(R::SNAPSHOT_MODE, R::SNAPSHOT_MODE_ON, 0), 1020);
    add(Write(R::MCAST_PROGRAMMED, 0, 0), 3030);
    add(Write(R::INE2PS_SNAP_PKT_NO, 5, 0), 4000);
    add(Write(R::SHFE2PS_SNAP_PKT_NO, 5, 0), 5000);
    add(Write(R::SHFE2PS_TABLE_WDATA, 1, 0), 6000);
    add(Write(R::SNAPSHOT_MODE, 0, 0), 9000);
    add(Write(R::SHFE2PS_MAX_INST_NO, 300, 0), 9500);
    add(Write(R::LOGIC_START_4PS, 1, 0), 9600);
    std::vector<std::string> names;
    std::vector<int64_t> lengths;
    for (const kest_trace::Phase& p : f.Finish()) {
        names.push_back(std::to_string(p.bring_up) + " " + p.name);
        lengths.push_back(p.end_ns - p.start_ns);
        EXPECT_TRUE(p.complete) << p.name;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"0 decision", "1 reset", "1 programming", "1 snapshot",
                                               "1 snapshot INE_2PS", "1 snapshot SHFE_2PS", "1 tables",
                                               "1 subscription", "1 start"}));
    EXPECT_EQ(lengths, (std::vector<int64_t>{10, 1000, 2010, 2970, 970, 1970, 3000, 500, 100}));
}

}  // namespace
