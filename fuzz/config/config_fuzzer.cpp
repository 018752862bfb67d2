// The configuration loaded as a whole: arbitrary bytes as the file, read
// into the configuration record (device, feeds, addresses, instrument lists)
// as a start does; for channel 0, every channel's list is then subscribed
// against a small instrument table on a card model created in this process,
// and each entry's subscription word is checked against the matching rule
// written out here on its own: a two-letter token takes the product's
// futures, any other token one identifier exactly, "all" every future;
// options (identifiers of seven characters or more) only with options=recv.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FpgaRegisterCommon.h"
#include "KestShfeMdApiImpl.h"
#include "kest_cardsim.h"

namespace {

constexpr uint32_t kEntries = 4;  // per table: entries 0..3
const char* const kIds[] = {
    "cu2501", "cu2501C80000", "au2502", "sc2503",        "al",     "c",
    "",       "all",          "ALL",    "ni2502P130000", "rb2505", "0123456789abcdefghijklmnopqrstu"};

bool Matches(const std::string& inst, const std::string& token, bool recvall, bool options) {
    const bool option = inst.size() >= 7;
    if (recvall) return options || !option;
    if (token.size() == 2) return inst.compare(0, 2, token) == 0 && inst.size() >= 2 && (options || !option);
    return inst == token;
}

}  // namespace

class CKestShfeMdApiImplTestPeer {
public:
    static int32_t Read(CKestShfeMdApiImpl& impl, const std::string& path) {
        std::memset(static_cast<void*>(&impl.m_u50ConfigInfo), 0, sizeof impl.m_u50ConfigInfo);
        new (&impl.m_u50ConfigInfo) Kest_U50::U50ConfigInfo();
        impl.m_configFileName.UnSafeCopyFrom(path.c_str());
        return impl._ReadConfig();
    }
    static const Kest_U50::U50ConfigInfo& Config(const CKestShfeMdApiImpl& impl) {
        return impl.m_u50ConfigInfo;
    }
    static void Subscribe(CKestShfeMdApiImpl& impl, int32_t channel) {
        (void)impl._ContractSubscribeManager(channel);
    }
};

namespace {

struct Harness {
    std::unique_ptr<kest_sim::Card> card;
    CKestShfeMdApiImpl* impl = nullptr;
    int fd = -1;
};

void RemoveCard() { (void)kest_sim::RemoveCard(0); }

Harness* Setup() {
    const std::string ns = "fuzz-config." + std::to_string(::getpid());
    ::setenv("KEST_CARDSIM_NAMESPACE", ns.c_str(), 1);
    if (kest_sim::CreateCard(0) != 0) return nullptr;
    std::atexit(RemoveCard);
    Harness* h = new Harness;
    h->card = kest_sim::Card::Open(0);
    h->impl = new CKestShfeMdApiImpl();
    h->fd = ::memfd_create("kest_config_fuzz", 0);
    Kest_U50::CCommonLog::GetInstance().SetLogLevel(static_cast<Kest_U50::ELOGLEVEL>(0));
    if (!h->card || h->fd < 0 ||
        Kest_U50::CDrvRegEnyx::GetInstance().Init(0, Kest_U50::Reg::DESIGN_CORE_ID) != 0)
        std::abort();
    h->card->WriteReg(Kest_U50::Reg::SHFE_INST_COUNT, kEntries - 1);
    h->card->WriteReg(Kest_U50::Reg::INE_INST_COUNT, kEntries - 1);
    return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness* h = Setup();
    if (h == nullptr) return 0;
    if (::ftruncate(h->fd, 0) != 0 || ::pwrite(h->fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
    CKestShfeMdApiImpl& impl = *h->impl;
    if (CKestShfeMdApiImplTestPeer::Read(impl, "/proc/self/fd/" + std::to_string(h->fd)) != 0) {
        std::abort();  // the file is there: reading it cannot fail
    }
    const Kest_U50::U50ConfigInfo& cfg = CKestShfeMdApiImplTestPeer::Config(impl);
    if (cfg.channel_id != 0) return 0;  // other channels read no lists

    // The table: fixed identifiers and ones made from the input's own tokens.
    std::vector<std::string> ids(std::begin(kIds), std::end(kIds));
    std::vector<Kest_U50::CInstrumentType> tokens[Kest_U50::CHANNEL_SIZE];
    for (int32_t c = 0; c < Kest_U50::CHANNEL_SIZE; ++c) {
        cfg.channelInfo[c].insts.SplitByChar(tokens[c], ',');
        for (const auto& t : tokens[c]) {
            ids.push_back(t.data());
            ids.push_back(std::string(t.data()) + "2509C6000");
        }
    }
    std::vector<std::string> entries[kest_sim::kTables];
    for (uint32_t table = 0; table < kest_sim::kTables; ++table) {
        for (uint32_t e = 0; e < kEntries; ++e) {
            const std::string& id = ids[(table * kEntries + e + size) % ids.size()];
            SInstTableType entry;
            std::memset(&entry, 0, sizeof entry);
            std::memcpy(entry.inst_id, id.data(), std::min(id.size(), sizeof entry.inst_id));
            entries[table].push_back(
                std::string(entry.inst_id, ::strnlen(entry.inst_id, sizeof entry.inst_id)));
            uint32_t words[Kest_U50::Reg::TABLE_WORDS_PER_ENTRY];
            std::memcpy(words, &entry, sizeof words);
            for (uint32_t w = 0; w < Kest_U50::Reg::TABLE_WORDS_PER_ENTRY; ++w)
                h->card->WriteTableWord(static_cast<int>(table), e * Kest_U50::Reg::TABLE_WORDS_PER_ENTRY + w,
                                        words[w]);
        }
    }
    for (int32_t c = 0; c < Kest_U50::CHANNEL_SIZE; ++c) CKestShfeMdApiImplTestPeer::Subscribe(impl, c);

    const bool enabled[4] = {cfg.enabled_mask.shfe2ps != 0, cfg.enabled_mask.shfe4ps != 0,
                             cfg.enabled_mask.ine2ps != 0, cfg.enabled_mask.ine4ps != 0};
    for (uint32_t table = 0; table < kest_sim::kTables; ++table) {
        for (uint32_t e = 0; e < kEntries; ++e) {
            uint32_t want = INST_CONFIG_TOUCHED;
            for (int32_t c = 0; enabled[table] && c < Kest_U50::CHANNEL_SIZE; ++c) {
                const Kest_U50::U50ChannelInfo& ch = cfg.channelInfo[c];
                for (const auto& t : tokens[c]) {
                    if (Matches(entries[table][e], t.data(), ch.recvall, ch.options)) want |= 1u << c;
                }
            }
            const uint32_t got =
                h->card->ReadTableWord(static_cast<int>(table), e * Kest_U50::Reg::TABLE_WORDS_PER_ENTRY);
            if (got != want) std::abort();  // an instrument routed to the wrong channels
        }
    }
    return 0;
}
