// The card's instrument tables: writing the host copies into the card once
// the snapshot is complete, and the per-channel subscription bits in word 0
// of every entry. A table word is written by putting the value into the
// write-data register and then its word address (entry x 64 + word) into the
// write-address register; it is read by writing the address into the
// read-address register and reading the read-data register.
#include <cstring>
#include <vector>

#include "FpgaRegisterCommon.h"
#include "KestShfeMdApiImpl.h"

using namespace Kest_U50;

namespace {

constexpr uint32_t WORDS_PER_ENTRY = Reg::TABLE_WORDS_PER_ENTRY;
static_assert(sizeof(SInstTableType) == WORDS_PER_ENTRY * sizeof(uint32_t), "an entry is 64 words");
constexpr uint32_t INST_ID_SIZE = sizeof(SInstTableType::inst_id);
// Identifiers of seven characters or more are options; product tokens and
// "all" take them only when the channel asks for options.
constexpr size_t OPTION_ID_MIN_LENGTH = 7;
constexpr size_t PRODUCT_TOKEN_LENGTH = 2;

// The entry's identifier as a terminated string, even when all 32 bytes are used.
struct InstIdText {
    char text[INST_ID_SIZE + 1];
    explicit InstIdText(const SInstTableType& entry) {
        std::memcpy(text, entry.inst_id, INST_ID_SIZE);
        text[INST_ID_SIZE] = '\0';
    }
};

inline uint32_t EntryWord(const SInstTableType& entry, uint32_t word) {
    uint32_t value;
    std::memcpy(&value, reinterpret_cast<const uint8_t*>(&entry) + word * sizeof(uint32_t), sizeof(value));
    return value;
}

inline void SetEntryWord(SInstTableType& entry, uint32_t word, uint32_t value) {
    std::memcpy(reinterpret_cast<uint8_t*>(&entry) + word * sizeof(uint32_t), &value, sizeof(value));
}

// Highest entry index a pass may visit in a host table: the counts come
// from card registers and are clamped to the table.
inline int32_t LastIndex(int64_t count) {
    return count >= INST_TABLE_SIZE ? INST_TABLE_SIZE - 1 : static_cast<int32_t>(count);
}

inline bool ValidChannel(int32_t channelID) { return channelID >= 0 && channelID < CHANNEL_SIZE; }

}  // namespace

int32_t CKestShfeMdApiImpl::_WriteContractTable(SInstTableType (&refInstTable)[INST_TABLE_SIZE],
                                                bool isEnabled, uint32_t writeAddrReg, uint32_t writeDataReg,
                                                int32_t instCount, int32_t instMaxCount) {
    const int32_t entries = instMaxCount > INST_TABLE_SIZE ? INST_TABLE_SIZE : instMaxCount;
    for (int32_t index = 0; index < entries; ++index) {
        const uint32_t base = static_cast<uint32_t>(index) * WORDS_PER_ENTRY;
        if (index > instCount) {
            for (uint32_t w = 0; w < WORDS_PER_ENTRY; ++w) {
                (void)m_drvRegEnyx.WriteRegister(writeDataReg, 0);
                (void)m_drvRegEnyx.WriteRegister(writeAddrReg, base + w);
            }
            continue;
        }
        const SInstTableType& e = refInstTable[index];
        if (isEnabled) {
            for (uint32_t w = 0; w < WORDS_PER_ENTRY; ++w) {
                (void)m_drvRegEnyx.WriteRegister(writeDataReg, EntryWord(e, w));
                (void)m_drvRegEnyx.WriteRegister(writeAddrReg, base + w);
            }
        }
        if ((m_logServer.GetLogLevel() & LOG_DEBUG) == 0) {
            continue;  // the line below is long; skip building its arguments
        }
        const InstIdText id(e);
        KEST_IMPL_LOG(m_logServer, LOG_DEBUG,
                      "index:%d,inst_id:%s,price_tick:%d,codec_price:%d,vol_multiple:%u,change_no:%u,"
                      "update_mill_sec:%u,updatetime:%u,bid5_price:%d,bid5_vol:%u,bid4_price:%d,bid4_vol:%u,"
                      "bid3_price:%d,bid3_vol:%u,bid2_price:%d,bid2_vol:%u,bid1_price:%d,bid1_vol:%u,"
                      "ask5_price:%d,ask5_vol:%u,ask4_price:%d,ask4_vol:%u,ask3_price:%d,ask3_vol:%u,"
                      "ask2_price:%d,ask2_vol:%u,ask1_price:%d,ask1_vol:%u,open_interest:%llu,turnover:%llu,"
                      "volume:%u,last_price:%d",
                      index, id.text, e.price_tick, e.codec_price, e.vol_multiple, e.change_no,
                      e.update_mill_sec, e.updatetime, e.bid5_price, e.bid5_vol, e.bid4_price, e.bid4_vol,
                      e.bid3_price, e.bid3_vol, e.bid2_price, e.bid2_vol, e.bid1_price, e.bid1_vol,
                      e.ask5_price, e.ask5_vol, e.ask4_price, e.ask4_vol, e.ask3_price, e.ask3_vol,
                      e.ask2_price, e.ask2_vol, e.ask1_price, e.ask1_vol,
                      static_cast<unsigned long long>(e.open_interest),
                      static_cast<unsigned long long>(e.turnover), e.volume, e.last_price);
    }
    return 0;
}

int32_t CKestShfeMdApiImpl::_ContractSubscribeManager(int32_t channelID) {
    if (!ValidChannel(channelID)) {
        KEST_IMPL_LOG(m_logServer, LOG_ERROR, "channel id[%d] out of range", channelID);
        return 0;
    }
    uint32_t shfeInstCount = 0;
    uint32_t ineInstCount = 0;
    (void)m_drvRegEnyx.ReadRegister(Reg::SHFE_INST_COUNT, shfeInstCount);
    (void)m_drvRegEnyx.ReadRegister(Reg::INE_INST_COUNT, ineInstCount);
    const int32_t shfeLast = LastIndex(shfeInstCount);
    const int32_t ineLast = LastIndex(ineInstCount);

    U50InstTable& tables = m_u50InstTable;
    (void)_ContractUnsubscribe(tables.shfe2psInstTable, Reg::SHFE2PS_TABLE_RADDR, Reg::SHFE2PS_TABLE_RDATA,
                               Reg::SHFE2PS_TABLE_WADDR, Reg::SHFE2PS_TABLE_WDATA, shfeLast, channelID);
    (void)_ContractUnsubscribe(tables.shfe4psInstTable, Reg::SHFE4PS_TABLE_RADDR, Reg::SHFE4PS_TABLE_RDATA,
                               Reg::SHFE4PS_TABLE_WADDR, Reg::SHFE4PS_TABLE_WDATA, shfeLast, channelID);
    (void)_ContractUnsubscribe(tables.ine2psInstTable, Reg::INE2PS_TABLE_RADDR, Reg::INE2PS_TABLE_RDATA,
                               Reg::INE2PS_TABLE_WADDR, Reg::INE2PS_TABLE_WDATA, ineLast, channelID);
    (void)_ContractUnsubscribe(tables.ine4psInstTable, Reg::INE4PS_TABLE_RADDR, Reg::INE4PS_TABLE_RDATA,
                               Reg::INE4PS_TABLE_WADDR, Reg::INE4PS_TABLE_WDATA, ineLast, channelID);

    std::vector<CInstrumentType> tokens;
    m_u50ConfigInfo.channelInfo[channelID].insts.SplitByChar(tokens, ',');
    const UEnabledMask enabled = m_u50ConfigInfo.enabled_mask;
    for (CInstrumentType& token : tokens) {
        m_logServer.WriteLog(LOG_INFO, "shfeInstCount[%u] ineInstCount[%u] listen_insts[%s]", shfeInstCount,
                             ineInstCount, token.data());
        for (int32_t shfeIndex = 0; shfeIndex <= shfeLast; ++shfeIndex) {
            (void)_ContractSubscribe(tables.shfe2psInstTable, enabled.shfe2ps != 0, Reg::SHFE2PS_TABLE_RADDR,
                                     Reg::SHFE2PS_TABLE_RDATA, Reg::SHFE2PS_TABLE_WADDR,
                                     Reg::SHFE2PS_TABLE_WDATA, shfeIndex, channelID, token);
            (void)_ContractSubscribe(tables.shfe4psInstTable, enabled.shfe4ps != 0, Reg::SHFE4PS_TABLE_RADDR,
                                     Reg::SHFE4PS_TABLE_RDATA, Reg::SHFE4PS_TABLE_WADDR,
                                     Reg::SHFE4PS_TABLE_WDATA, shfeIndex, channelID, token);
        }
        for (int32_t ineIndex = 0; ineIndex <= ineLast; ++ineIndex) {
            (void)_ContractSubscribe(tables.ine2psInstTable, enabled.ine2ps != 0, Reg::INE2PS_TABLE_RADDR,
                                     Reg::INE2PS_TABLE_RDATA, Reg::INE2PS_TABLE_WADDR,
                                     Reg::INE2PS_TABLE_WDATA, ineIndex, channelID, token);
            (void)_ContractSubscribe(tables.ine4psInstTable, enabled.ine4ps != 0, Reg::INE4PS_TABLE_RADDR,
                                     Reg::INE4PS_TABLE_RDATA, Reg::INE4PS_TABLE_WADDR,
                                     Reg::INE4PS_TABLE_WDATA, ineIndex, channelID, token);
        }
    }
    return 0;
}

int32_t CKestShfeMdApiImpl::_ContractUnsubscribe(SInstTableType (&refInstTable)[INST_TABLE_SIZE],
                                                 uint32_t readAddrReg, uint32_t readDataReg,
                                                 uint32_t writeAddrReg, uint32_t writeDataReg,
                                                 int32_t instCount, int32_t channelID) {
    if (!ValidChannel(channelID)) {
        return 0;
    }
    const int32_t last = LastIndex(instCount);
    const uint32_t channelBit = 1U << channelID;
    for (int32_t index = 0; index <= last; ++index) {
        SInstTableType& entry = refInstTable[index];
        const uint32_t base = static_cast<uint32_t>(index) * WORDS_PER_ENTRY;
        for (uint32_t w = 0; w < WORDS_PER_ENTRY; ++w) {
            uint32_t value = 0;
            (void)m_drvRegEnyx.WriteRegister(readAddrReg, base + w);
            (void)m_drvRegEnyx.ReadRegister(readDataReg, value);
            SetEntryWord(entry, w, value);
        }
        const uint32_t config = (entry.config & ~channelBit) | INST_CONFIG_TOUCHED;
        (void)m_drvRegEnyx.WriteRegister(writeDataReg, config);
        (void)m_drvRegEnyx.WriteRegister(writeAddrReg, base);
    }
    return 0;
}

int32_t CKestShfeMdApiImpl::_ContractSubscribe(SInstTableType (&refInstTable)[INST_TABLE_SIZE],
                                               bool isEnabled, uint32_t readAddrReg, uint32_t readDataReg,
                                               uint32_t writeAddrReg, uint32_t writeDataReg,
                                               int32_t instIndex, int32_t channelID,
                                               CInstrumentType& refInstrument) {
    if (!isEnabled || !ValidChannel(channelID) || instIndex < 0 || instIndex >= INST_TABLE_SIZE) {
        return 0;
    }
    SInstTableType& entry = refInstTable[instIndex];
    const size_t instLength = ::strnlen(entry.inst_id, INST_ID_SIZE);
    const U50ChannelInfo& channel = m_u50ConfigInfo.channelInfo[channelID];
    const size_t tokenLength = refInstrument.Length();
    const char* token = refInstrument.data();

    if (!channel.recvall) {
        const bool matches =
            (tokenLength == PRODUCT_TOKEN_LENGTH)
                ? std::memcmp(entry.inst_id, token, PRODUCT_TOKEN_LENGTH) == 0
                : (tokenLength == instLength && std::memcmp(entry.inst_id, token, tokenLength) == 0);
        if (!matches) {
            return 0;
        }
    }
    if ((channel.recvall || tokenLength == PRODUCT_TOKEN_LENGTH) && !channel.options &&
        instLength >= OPTION_ID_MIN_LENGTH) {
        return 0;
    }

    const uint32_t address = static_cast<uint32_t>(instIndex) * WORDS_PER_ENTRY;
    uint32_t config = 0;
    (void)m_drvRegEnyx.WriteRegister(readAddrReg, address);
    (void)m_drvRegEnyx.ReadRegister(readDataReg, config);
    entry.config = config;

    const uint32_t subscribed = (1U << channelID) | config | INST_CONFIG_TOUCHED;
    const InstIdText id(entry);
    m_logServer.WriteLog(LOG_DEBUG, "subscribe %s %d %u", id.text, static_cast<int32_t>(address), subscribed);
    (void)m_drvRegEnyx.WriteRegister(writeDataReg, subscribed);
    (void)m_drvRegEnyx.WriteRegister(writeAddrReg, address);

    uint32_t readBack = 0;
    (void)m_drvRegEnyx.WriteRegister(readAddrReg, address);
    (void)m_drvRegEnyx.ReadRegister(readDataReg, readBack);
    entry.config = readBack;
    m_logServer.WriteLog(LOG_DEBUG, "subscribe %s %d %u", id.text, static_cast<int32_t>(address), readBack);
    return 0;
}
