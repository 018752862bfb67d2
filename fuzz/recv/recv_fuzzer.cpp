// Arbitrary card messages through the public poll: two receivers of a card
// model created in this process, channel 1 in callback mode and channel 2 in
// buffer mode, the input pushed into their rings and drained with KestRecv.
// Input: repeated [flags][16-bit little-endian length][that many bytes];
// flags bit 0 makes the message a quote header (DMA_UDP), bit 1 an event
// header (DMA_EVENT) with the given bytes after it, so that kinds, lengths
// and event words are all reached; bit 7 picks the channel. Every message that is a whole quote must
// be delivered exactly once, with its bytes, and nothing else may be.
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FpgaDataType.h"
#include "FpgaStructCommon.h"
#include "KestShfeMdApi.h"
#include "kest_cardsim.h"
#include "log/CommonLog.h"

namespace {

constexpr int kChannels[2] = {1, 2};  // callback mode, buffer mode

struct Collector : CKestShfeMdSpi {
    void OnShfeMdData(const KestShfeMdType* q) override {
        ++delivered;
        last = *q;
    }
    uint64_t delivered = 0;
    KestShfeMdType last{};
};

struct Harness {
    std::unique_ptr<kest_sim::Card> card;
    CKestShfeMdApi* callbackApi = nullptr;
    CKestShfeMdApi* bufferApi = nullptr;
    Collector spi;
    uint32_t mtu = 0;
};

void RemoveCard() { (void)kest_sim::RemoveCard(0); }

Harness* Setup() {
    // A namespace of this process's own: parallel fuzzers and tests never meet.
    const std::string ns = "fuzz-recv." + std::to_string(::getpid());
    ::setenv("KEST_CARDSIM_NAMESPACE", ns.c_str(), 1);
    kest_sim::CardOptions opt;
    opt.a2c_ring_bytes = 1u << 20;
    if (kest_sim::CreateCard(0, opt) != 0) return nullptr;
    std::atexit(RemoveCard);
    Harness* h = new Harness;
    h->card = kest_sim::Card::Open(0);
    h->mtu = opt.a2c_mtu;
    std::string paths[2];
    for (int i = 0; i < 2; ++i) {
        paths[i] = "/tmp/kest_fuzz_recv." + std::to_string(::getpid()) + "." + std::to_string(i) + ".ini";
        if (FILE* f = std::fopen(paths[i].c_str(), "w")) {
            std::fprintf(f, "[config]\nlog_level=0\ncpucore=-1\ndevice=xilinx0:%d\n", kChannels[i]);
            std::fclose(f);
        }
    }
    h->callbackApi = &CKestShfeMdApi::CreateKestShfeMdApi();
    h->bufferApi = &CKestShfeMdApi::CreateKestShfeMdApi();
    const bool ok = h->card && h->callbackApi->KestStart(h->spi, paths[0].c_str()) == 0 &&
                    h->bufferApi->KestStart(paths[1].c_str()) == 0;
    ::unlink(paths[0].c_str());
    ::unlink(paths[1].c_str());
    if (!ok) std::abort();
    Kest_U50::CCommonLog::GetInstance().SetLogLevel(static_cast<Kest_U50::ELOGLEVEL>(0));
    return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness* h = Setup();
    if (h == nullptr) return 0;
    std::vector<std::vector<uint8_t>> expected[2];  // quote bytes per channel, in order
    size_t pos = 0;
    while (size - pos >= 3) {
        const uint8_t flags = data[pos];
        size_t length = static_cast<size_t>(data[pos + 1]) | (static_cast<size_t>(data[pos + 2]) << 8);
        pos += 3;
        std::vector<uint8_t> msg;
        if (flags & 3) {
            dma_header_t header{};
            header.dma_type = (flags & 1) ? DMA_UDP : DMA_EVENT;
            header.dma_len = static_cast<uint32_t>(length);
            msg.resize(sizeof header);
            std::memcpy(msg.data(), &header, sizeof header);
        }
        const size_t take = std::min(length, size - pos);
        msg.insert(msg.end(), data + pos, data + pos + take);
        pos += take;
        if (msg.empty() || msg.size() > h->mtu) continue;
        uint32_t type = 0xFFFFFFFFu;
        if (msg.size() >= sizeof type) std::memcpy(&type, msg.data(), sizeof type);
        const int which = (flags & 0x80) ? 1 : 0;
        if (!h->card->PushA2c(kChannels[which], msg.data(), static_cast<uint32_t>(msg.size()))) break;
        if (type == DMA_UDP && msg.size() >= DMA_QUOTE_MSG_SIZE) {
            expected[which].emplace_back(msg.begin() + DMA_PAYLOAD_OFFSET, msg.begin() + DMA_QUOTE_MSG_SIZE);
        }
    }
    // A poll that takes an event or a short message reports 0 like an empty
    // one, so the ring's own count says when it is drained.
    for (int which = 0; which < 2; ++which) {
        const bool useBuffer = which == 1;
        size_t next = 0;
        for (size_t polls = 0; h->card->A2cStats(kChannels[which]).pending > 0; ++polls) {
            if (polls > 100000) std::abort();  // the poll no longer takes messages
            KestShfeMdType record;
            std::memset(&record, 0xA5, sizeof record);
            const uint64_t before = h->spi.delivered;
            const int32_t r = useBuffer ? h->bufferApi->KestRecv(record) : h->callbackApi->KestRecv();
            if (r == 0) {
                if (h->spi.delivered != before) std::abort();  // delivered but not reported
                continue;
            }
            if (r != 1 || next >= expected[which].size()) std::abort();  // a quote out of nothing
            const KestShfeMdType& got = useBuffer ? record : h->spi.last;
            if (h->spi.delivered != before + (useBuffer ? 0 : 1)) std::abort();
            if (std::memcmp(&got, expected[which][next].data(), sizeof got) != 0)
                std::abort();  // torn, reordered
            ++next;
        }
        if (next != expected[which].size()) std::abort();  // a quote never delivered
    }
    return 0;
}
