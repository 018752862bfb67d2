// Byte layouts shared by the library, the card model and the simulated
// exchange: DMA messages, the card's instrument-table entry and the MDQP
// snapshot wire structures. All little-endian, packed where noted.
#pragma once

#include <cstddef>
#include <cstdint>

#include "FpgaDataType.h"
#include "KestShfeMdStruct.h"

// ---------------------------------------------------------------------------
// DMA messages (card to host)
// ---------------------------------------------------------------------------

// Header of every card-to-host message; the payload starts at byte 8.
struct dma_header_t {
    uint32_t dma_type;  // EDmaMsgType
    uint32_t dma_len;   // set by the card (the model writes the whole message length)
};
static_assert(sizeof(dma_header_t) == 8, "DMA header is 8 bytes");

constexpr uint32_t DMA_PAYLOAD_OFFSET = 8;
constexpr uint32_t DMA_QUOTE_MSG_SIZE = DMA_PAYLOAD_OFFSET + sizeof(KestShfeMdType);  // 160
static_assert(DMA_QUOTE_MSG_SIZE == 160, "a quote message holds 160 bytes");

// Event message; only event_data0 (byte 8) is used by the library.
struct U50Event {
    uint32_t dma_type;  // DMA_EVENT
    uint32_t dma_len;
    uint32_t event_data0;
    uint32_t event_data1;
    uint32_t event_data2;
    uint32_t event_data3;
    uint32_t event_data4;
    uint32_t event_data5;
};
static_assert(sizeof(U50Event) == 32, "event message is 32 bytes");
static_assert(offsetof(U50Event, event_data0) == 8, "event word at byte 8");

// Mirrored snapshot frame: kind word at 0, 8 unread bytes, then the frame.
constexpr uint32_t DMA_TCP_FRAME_OFFSET = 12;  // Ethernet header
constexpr uint32_t ETH_HEADER_SIZE = 14;
constexpr uint32_t DMA_TCP_IP_OFFSET = DMA_TCP_FRAME_OFFSET + ETH_HEADER_SIZE;  // 26

// ---------------------------------------------------------------------------
// Card instrument-table entry: 64 words of 32 bits, 256 bytes
// ---------------------------------------------------------------------------
#pragma pack(push, 1)
struct SInstTableType {
    uint32_t config;  // bit n: channel n subscribed; bit 31: entry went through a subscription pass
    int32_t price_tick;
    int32_t codec_price;
    uint32_t vol_multiple;
    uint32_t change_no;
    uint32_t update_mill_sec;
    uint32_t updatetime;
    int32_t bid5_price;
    uint32_t bid5_vol;
    int32_t bid4_price;
    uint32_t bid4_vol;
    int32_t bid3_price;
    uint32_t bid3_vol;
    int32_t bid2_price;
    uint32_t bid2_vol;
    int32_t bid1_price;
    uint32_t bid1_vol;
    int32_t ask5_price;
    uint32_t ask5_vol;
    int32_t ask4_price;
    uint32_t ask4_vol;
    int32_t ask3_price;
    uint32_t ask3_vol;
    int32_t ask2_price;
    uint32_t ask2_vol;
    int32_t ask1_price;
    uint32_t ask1_vol;
    uint64_t open_interest;
    uint64_t turnover;
    uint32_t volume;
    int32_t last_price;
    char inst_id[32];
    int32_t reserved[23];
};
#pragma pack(pop)
static_assert(sizeof(SInstTableType) == 256, "table entry is 64 words");
static_assert(offsetof(SInstTableType, bid5_price) == 28, "word 7");
static_assert(offsetof(SInstTableType, bid1_vol) == 64, "word 16");
static_assert(offsetof(SInstTableType, ask5_price) == 68, "word 17");
static_assert(offsetof(SInstTableType, ask1_vol) == 104, "word 26");
static_assert(offsetof(SInstTableType, open_interest) == 108, "words 27-28");
static_assert(offsetof(SInstTableType, turnover) == 116, "words 29-30");
static_assert(offsetof(SInstTableType, volume) == 124, "word 31");
static_assert(offsetof(SInstTableType, last_price) == 128, "word 32");
static_assert(offsetof(SInstTableType, inst_id) == 132, "words 33-40");
static_assert(offsetof(SInstTableType, reserved) == 164, "words 41-63");

constexpr uint32_t INST_CONFIG_TOUCHED = 0x80000000u;  // bit 31 of word 0

// ---------------------------------------------------------------------------
// MDQP snapshot messages (little-endian, packed)
// ---------------------------------------------------------------------------
#pragma pack(push, 1)
struct mdqp_t {
    uint8_t flag;        // 0x11, or 0x01 on the final message of a feed's snapshot
    int8_t type_id;      // '2' on snapshot messages
    uint16_t length;     // bytes after this header
    int32_t request_id;  // unused
};
struct field_t {
    uint16_t field_id;
    uint16_t field_size;  // payload bytes after this header
};
struct snap_t {  // 0x1001
    int16_t topic_id;
    int32_t snap_no;
};
struct packet_no_t {  // 0x1004
    int32_t packet_no;
};
struct inst_info_t {  // 0x0101
    char inst_id[31];
    char underlying_inst_id[31];
    char product_class;
    double strike_price;
    char options_type;
    int32_t volume_multiple;
    double underlying_multiple;
    int32_t is_trading;
    char currency_id[4];
    double price_tick;
    double codec_price;
    int32_t inst_no;
};
struct deal_info_t {  // 0x0102
    int32_t inst_no;
    double last_price;
    int32_t volume;
    double turnover;
    double open_interest;
    double highest_price;
    double lowest_price;
    double open_price;
    double close_price;
    double settlement_price;
    double upper_limit_price;
    double lower_limit_price;
    double pre_settlement_price;
    double pre_close_price;
    double pre_open_interest;
    double pre_delta;
    double curr_delta;
    char action_day[9];
    char update_time[9];
    int32_t update_mill_sec;
    int32_t change_no;
};
struct price_detail_t {  // 0x0103
    int32_t inst_no;
    char direction;  // '0' bid, '1' ask
    double price;
    int32_t volume;
};
#pragma pack(pop)

static_assert(sizeof(mdqp_t) == 8, "MDQP header is 8 bytes");
static_assert(sizeof(field_t) == 4, "field header is 4 bytes");
static_assert(sizeof(snap_t) == 6, "0x1001 payload");
static_assert(sizeof(packet_no_t) == 4, "0x1004 payload");
static_assert(sizeof(inst_info_t) == 112, "0x0101 payload");
static_assert(offsetof(inst_info_t, volume_multiple) == 72, "volume_multiple");
static_assert(offsetof(inst_info_t, price_tick) == 92, "price_tick");
static_assert(offsetof(inst_info_t, inst_no) == 108, "inst_no");
static_assert(sizeof(deal_info_t) == 154, "0x0102 payload");
static_assert(offsetof(deal_info_t, action_day) == 128, "action_day");
static_assert(offsetof(deal_info_t, update_mill_sec) == 146, "update_mill_sec");
static_assert(sizeof(price_detail_t) == 17, "0x0103 payload");

constexpr uint8_t MDQP_FLAG_MORE = 0x11;
constexpr uint8_t MDQP_FLAG_LAST = 0x01;
constexpr int8_t MDQP_TYPE_SNAPSHOT = '2';
constexpr uint16_t MDQP_FIELD_SNAP = 0x1001;
constexpr uint16_t MDQP_FIELD_PACKET_NO = 0x1004;
constexpr uint16_t MDQP_FIELD_INST_INFO = 0x0101;
constexpr uint16_t MDQP_FIELD_DEAL_INFO = 0x0102;
constexpr uint16_t MDQP_FIELD_PRICE_DETAIL = 0x0103;
