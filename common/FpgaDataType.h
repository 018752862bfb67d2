// Enumerations and constants shared by the library, the card model and the
// simulated exchange.
#pragma once

#include <cstdint>

// Kind word at byte 0 of every card-to-host DMA message.
enum EDmaMsgType : uint32_t {
    DMA_EVENT = 0,  // card event (U50Event)
    DMA_UDP = 1,    // quote record: header + 152-byte KestShfeMdType
    DMA_TCP = 2,    // mirrored snapshot frame (Ethernet header at byte 12)
};

// The four feeds, in the order every per-feed record lists them.
enum EMDQPDataType : int32_t {
    SHFE_2PS = 0,
    SHFE_4PS = 1,
    INE_2PS = 2,
    INE_4PS = 3,
};

// Delivery mode of one API object.
enum EUserDataType : int32_t {
    CALL_BACK = 0,
    BUFF_FETCH = 1,
};

namespace Kest_U50 {

constexpr int32_t FEED_COUNT = 4;

// Feed bits, wherever a feed is selected by a bit (enabled mask, finished mask).
constexpr uint8_t FEED_BIT_SHFE_2PS = 0x01;
constexpr uint8_t FEED_BIT_SHFE_4PS = 0x02;
constexpr uint8_t FEED_BIT_INE_2PS = 0x04;
constexpr uint8_t FEED_BIT_INE_4PS = 0x08;
constexpr uint8_t FeedBit(EMDQPDataType feed) { return static_cast<uint8_t>(1U << feed); }

// Processing channels of one card.
constexpr int32_t CHANNEL_SIZE = 16;

// Entries of one host instrument table (indexed by MDQP instrument number).
constexpr int32_t INST_TABLE_SIZE = 4096;

// Lost-packet flag bits of an event word (bit 6 of each byte).
constexpr uint32_t LOST_PKT_EVENT_MASK = 0x40404040u;

// No-value marker of MDQP price fields: the largest finite double.
constexpr double MDQP_NO_VALUE = 1.7976931348623157e308;

}  // namespace Kest_U50
