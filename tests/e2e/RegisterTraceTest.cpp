// Every register access of a full channel-0 bring-up, in order, against a
// reference trace of the product's accesses. However the card model changes,
// the product must read and write exactly the same registers with the same
// values in the same order.
//
// The trace is taken by interposing enyx_hw_read and enyx_hw_write in this
// executable: the product's calls reach these definitions first, which fold
// each access into a running hash and forward it to the model.
//
// KEST_TRACE_RECORD=FILE rewrites the reference instead of comparing.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <utility>

#include "E2eSupport.h"
#include "EnyxHw.h"
#include "FpgaRegisterCommon.h"

#ifndef KEST_TRACE_REFERENCE
#error "KEST_TRACE_REFERENCE names the recorded trace"
#endif

namespace {

struct Trace {
    uint64_t reads = 0;
    uint64_t writes = 0;
    uint64_t pauses = 0;
    uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a 64 over every access
    std::vector<uint64_t> checkpoints;      // hash after every kCheckpoint accesses, to find a divergence
    bool on = false;

    static constexpr uint64_t kCheckpoint = 1u << 20;
    void Mix(const void* p, size_t n) {
        const auto* b = static_cast<const unsigned char*>(p);
        for (size_t i = 0; i < n; ++i) hash = (hash ^ b[i]) * 0x100000001b3ull;
    }
    void Access(char op, uint32_t reg, uint64_t value, int rc) {
        Mix(&op, 1);
        Mix(&reg, sizeof reg);
        Mix(&value, sizeof value);
        Mix(&rc, sizeof rc);
        if ((reads + writes + pauses) % kCheckpoint == 0) checkpoints.push_back(hash);
    }
};
Trace g_trace;

// Every access one at a time, while `on`: "R 01001 32/0" (operation, register,
// width and offset in bits). And every access ever made that is not a whole
// 32-bit register at byte address 4 x number.
struct Accesses {
    std::vector<std::string> list;
    bool on = false;
    uint64_t odd = 0;
    void Add(char op, const enyx_hw_register_description* reg) {
        if (reg->size != 32 || reg->offset != 0 || reg->address % 4 != 0) ++odd;
        if (!on) return;
        char text[48];
        std::snprintf(text, sizeof text, "%c %05x %u/%u", op, static_cast<unsigned>(reg->address / 4),
                      static_cast<unsigned>(reg->size), static_cast<unsigned>(reg->offset));
        list.push_back(text);
    }
    std::vector<std::string> Take() { return std::exchange(list, {}); }
};
Accesses g_accesses;

template <typename Fn>
Fn Next(const char* name) {
    void* f = dlsym(RTLD_NEXT, name);
    if (f == nullptr) std::abort();
    return reinterpret_cast<Fn>(f);
}

}  // namespace

extern "C" int enyx_hw_read(const enyx_hw_core* core, const enyx_hw_register_description* reg,
                            uint64_t* value) {
    static const auto next =
        Next<int (*)(const enyx_hw_core*, const enyx_hw_register_description*, uint64_t*)>("enyx_hw_read");
    const int rc = next(core, reg, value);
    g_accesses.Add('R', reg);
    if (g_trace.on) {
        ++g_trace.reads;
        g_trace.Access('R', static_cast<uint32_t>(reg->address / 4), rc == 0 ? *value : 0, rc);
    }
    return rc;
}

extern "C" int enyx_hw_write(const enyx_hw_core* core, const enyx_hw_register_description* reg,
                             uint64_t value) {
    static const auto next =
        Next<int (*)(const enyx_hw_core*, const enyx_hw_register_description*, uint64_t)>("enyx_hw_write");
    const int rc = next(core, reg, value);
    g_accesses.Add('W', reg);
    if (g_trace.on) {
        ++g_trace.writes;
        g_trace.Access('W', static_cast<uint32_t>(reg->address / 4), value, rc);
    }
    return rc;
}

// The pauses are part of the sequence (where they fall), not of its duration.
extern "C" unsigned int sleep(unsigned int seconds) {
    if (g_trace.on) {
        ++g_trace.pauses;
        g_trace.Access('P', 0, seconds, 0);
    }
    return 0;
}

namespace e2e {
namespace {

std::string Render(const Trace& t) {
    std::ostringstream out;
    char hex[32];
    out << "# Register accesses of a full channel-0 bring-up (see RegisterTraceTest.cpp)\n";
    out << "reads " << t.reads << "\nwrites " << t.writes << "\npauses " << t.pauses << "\n";
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(t.hash));
    out << "hash " << hex << "\n";
    for (uint64_t c : t.checkpoints) {
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(c));
        out << "checkpoint " << hex << "\n";
    }
    return out.str();
}

class RegisterTraceTest : public World {};

TEST_F(RegisterTraceTest, BringUpMakesTheRecordedAccessesInTheRecordedOrder) {
    // Default universe sizes: every table entry of the full design is subscribed.
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    // The reference was recorded from a card that did not identify itself.
    kest_sim::Card::Open(0)->WriteReg(Kest_U50::Reg::COMPILE_VER, 0);
    kest_sim::Card::Open(0)->WriteReg(Kest_U50::Reg::COMPILE_DATE, 0);
    kest_cardlogic::LiveCardOptions options = Options();
    options.shfe_size = options.ine_size = 0;
    OpenCard(options);
    ConfigText text;
    text.channels[0] = "cu,sc,al";
    text.channels[3] = "all";
    text.options[3] = true;
    text.channels[9] = "ag,au";
    text.channels[15] = "all";
    const std::string path = WriteConfig(text);

    Api api;
    Collector spi;
    g_trace.on = true;
    ASSERT_EQ(api->KestStart(spi, path.c_str()), 0) << Log();
    g_trace.on = false;
    const std::string got = Render(g_trace);

    if (const char* record = std::getenv("KEST_TRACE_RECORD")) {
        kest_test::WriteFile(record, got);
        GTEST_SKIP() << "recorded " << record;
    }
    const std::string want = kest_test::ReadFile(KEST_TRACE_REFERENCE);
    ASSERT_FALSE(want.empty()) << KEST_TRACE_REFERENCE;
    EXPECT_GT(g_trace.reads + g_trace.writes, 1000000u);
    EXPECT_EQ(g_trace.pauses, 3u);
    EXPECT_EQ(got, want);
    EXPECT_EQ(g_accesses.odd, 0u) << "accesses that are not one whole 32-bit register";
}

std::string Read(uint32_t reg) {
    char text[48];
    std::snprintf(text, sizeof text, "R %05x 32/0", static_cast<unsigned>(reg));
    return text;
}

TEST_F(RegisterTraceTest, OutsideTheBringUpOnlyTheIdentificationTheDecisionAndTheLossTimesAreRead) {
    namespace R = Kest_U50::Reg;
    OpenCard();
    const std::string path = WriteConfig(ConfigText());
    {
        Api api;
        Collector spi;
        ASSERT_EQ(api->KestStart(spi, path.c_str()), 0) << Log();
        ASSERT_TRUE(Flows(api.obj, spi));
    }
    g_accesses.on = true;
    g_accesses.Take();
    Api api;
    Collector spi;
    ASSERT_EQ(api->KestStart(spi, path.c_str()), 0) << Log();
    EXPECT_EQ(g_accesses.Take(),
              (std::vector<std::string>{Read(R::COMPILE_DATE), Read(R::COMPILE_VER), Read(R::MUX0_2PS_PKTS),
                                        Read(R::MUX1_2PS_PKTS), Read(R::MUX0_4PS_PKTS),
                                        Read(R::MUX1_4PS_PKTS), Read(R::CONFIG_CRC)}))
        << "a start on a card that runs with this file";
    ASSERT_TRUE(Flows(api.obj, spi));
    EXPECT_EQ(g_accesses.Take(), std::vector<std::string>()) << "quotes come without a register access";
    // A lost packet in an ignored minute (15:xx, local time is UTC here).
    card_->SetClock((std::time(nullptr) / 86400 * 86400 + 15 * 3600 + 10 * 60) * int64_t{1000});
    const uint64_t events = card_->EventsWritten(0);
    card_->InjectGap(SHFE_2PS, 1);
    card_->Step(10);
    ASSERT_GT(card_->EventsWritten(0), events);
    ASSERT_TRUE(Drained(api.obj)) << "waited for the poll to take the lost-packet event";
    EXPECT_EQ(g_accesses.Take(),
              (std::vector<std::string>{Read(R::LAST_UPDATE_TIME_0), Read(R::LAST_UPDATE_TIME_0 + 1),
                                        Read(R::LAST_UPDATE_TIME_0 + 2), Read(R::LAST_UPDATE_TIME_0 + 3)}))
        << "a lost packet that is forgiven";
    EXPECT_TRUE(Logged("received lost pkt event, ignore."));
    EXPECT_EQ(g_accesses.odd, 0u) << "accesses that are not one whole 32-bit register";
}

}  // namespace
}  // namespace e2e
