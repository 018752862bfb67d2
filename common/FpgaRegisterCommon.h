// The card's register map: every register the library or the card model
// touches, by 32-bit word number (byte address = 4 x number).
// This header is the hardware contract shared by the product and the model.
#pragma once

#include <cstdint>

namespace Kest_U50 {
namespace Reg {

// Hardware id of the core through which the design's registers are reached.
constexpr uint16_t DESIGN_CORE_ID = 474;  // 0x1DA

// Byte address of a register word.
constexpr uint64_t ByteAddress(uint32_t reg) { return static_cast<uint64_t>(reg) * 4U; }

// --- Global registers --------------------------------------------------------
constexpr uint32_t COMPILE_VER = 0x0004;    // R32: design version
constexpr uint32_t COMPILE_DATE = 0x0005;   // R32: design build date
constexpr uint32_t CARD_START = 0x0010;     // W32: 1 = first step of bring-up (then 1 s pause)
constexpr uint32_t SNAPSHOT_MODE = 0x1000;  // W32: 0xF while the snapshot is mirrored, 0 = live UDP
constexpr uint32_t SNAPSHOT_MODE_ON = 0xF;
constexpr uint32_t CONFIG_CRC = 0x1001;  // R/W32: CRC-32C of the configuration file of the last bring-up
constexpr uint32_t SHFE2PS_MAX_INST_NO = 0x1005;  // W32
constexpr uint32_t SHFE4PS_MAX_INST_NO = 0x1006;  // W32
constexpr uint32_t INE2PS_MAX_INST_NO = 0x1007;   // W32
constexpr uint32_t INE4PS_MAX_INST_NO = 0x1008;   // W32
constexpr uint32_t LAST_TICK_CHANNEL = 0x1009;    // W32
constexpr uint32_t MCAST_PROGRAMMED = 0x1F10;     // W32: 0 once the multicast lines are programmed
constexpr uint32_t SHFE_INST_COUNT = 0x1F11;      // R/W32: highest SHFE instrument number of the snapshot
constexpr uint32_t INE_INST_COUNT = 0x1F12;       // R/W32: the same for INE
constexpr uint32_t LAST_UPDATE_TIME_0 = 0x2040;   // R64: four last-update times, seconds since the epoch
constexpr uint32_t LAST_UPDATE_TIME_COUNT = 4;    // 0x2040 .. 0x2043

// --- Address slots (k = 0..3) ------------------------------------------------
constexpr uint32_t ROUTE = 0x3000;  // W32: TARGETROUTE & 0xF
constexpr uint32_t SLOT_COUNT = 4;
constexpr uint32_t SLOT_STRIDE = 0x10;
constexpr uint32_t SlotDstMacHi(uint32_t k) { return 0x3001 + SLOT_STRIDE * k; }  // first two bytes
constexpr uint32_t SlotDstMacLo(uint32_t k) { return 0x3002 + SLOT_STRIDE * k; }  // last four bytes
constexpr uint32_t SlotDstIp(uint32_t k) { return 0x3003 + SLOT_STRIDE * k; }
constexpr uint32_t SlotDstPort(uint32_t k) { return 0x3004 + SLOT_STRIDE * k; }
constexpr uint32_t SlotSrcMacHi(uint32_t k) { return 0x3005 + SLOT_STRIDE * k; }
constexpr uint32_t SlotSrcMacLo(uint32_t k) { return 0x3006 + SLOT_STRIDE * k; }  // last byte + k
constexpr uint32_t SlotSrcIp(uint32_t k) { return 0x3007 + SLOT_STRIDE * k; }
constexpr uint32_t SlotSrcPort(uint32_t k) { return 0x3008 + SLOT_STRIDE * k; }

// --- 2ps block (SHFE_2PS, INE_2PS); the 4ps block lies BLOCK_4PS_OFFSET above --
constexpr uint32_t BLOCK_4PS_OFFSET = 0x10000;
constexpr uint32_t BLOCK_2PS_START = 0x10010;  // W32: 1, then 1 s pause
constexpr uint32_t BLOCK_4PS_START = 0x20010;

// Instrument tables: write address, write data, read address, read data.
// A word address is entry index x 64 + word index; the write happens when the
// address is written. Data 1 then address 0xFFFFFFFF closes the read/write channel.
constexpr uint32_t SHFE2PS_TABLE_WADDR = 0x11000;
constexpr uint32_t SHFE2PS_TABLE_WDATA = 0x11001;
constexpr uint32_t SHFE2PS_TABLE_RADDR = 0x11002;
constexpr uint32_t SHFE2PS_TABLE_RDATA = 0x11003;
constexpr uint32_t INE2PS_TABLE_WADDR = 0x11004;
constexpr uint32_t INE2PS_TABLE_WDATA = 0x11005;
constexpr uint32_t INE2PS_TABLE_RADDR = 0x11006;
constexpr uint32_t INE2PS_TABLE_RDATA = 0x11007;
constexpr uint32_t SHFE4PS_TABLE_WADDR = 0x21000;
constexpr uint32_t SHFE4PS_TABLE_WDATA = 0x21001;
constexpr uint32_t SHFE4PS_TABLE_RADDR = 0x21002;
constexpr uint32_t SHFE4PS_TABLE_RDATA = 0x21003;
constexpr uint32_t INE4PS_TABLE_WADDR = 0x21004;
constexpr uint32_t INE4PS_TABLE_WDATA = 0x21005;
constexpr uint32_t INE4PS_TABLE_RADDR = 0x21006;
constexpr uint32_t INE4PS_TABLE_RDATA = 0x21007;
constexpr uint32_t TABLE_CLOSE_DATA = 1;
constexpr uint32_t TABLE_CLOSE_ADDR = 0xFFFFFFFFu;
constexpr uint32_t TABLE_WORDS_PER_ENTRY = 64;
constexpr uint32_t SHFE_TABLE_ENTRIES = 4096;  // entries the host writes for a SHFE table
constexpr uint32_t INE_TABLE_ENTRIES = 1024;   // entries the host writes for an INE table

// Multicast lines: address and UDP port of lines A and B.
constexpr uint32_t SHFE2PS_MCAST_IP_A = 0x11100;
constexpr uint32_t INE2PS_MCAST_IP_A = 0x11101;
constexpr uint32_t SHFE2PS_MCAST_PORT_A = 0x11102;
constexpr uint32_t INE2PS_MCAST_PORT_A = 0x11103;
constexpr uint32_t SHFE2PS_MCAST_IP_B = 0x11104;
constexpr uint32_t INE2PS_MCAST_IP_B = 0x11105;
constexpr uint32_t SHFE2PS_MCAST_PORT_B = 0x11106;
constexpr uint32_t INE2PS_MCAST_PORT_B = 0x11107;
constexpr uint32_t SHFE4PS_MCAST_IP_A = 0x21100;
constexpr uint32_t INE4PS_MCAST_IP_A = 0x21101;
constexpr uint32_t SHFE4PS_MCAST_PORT_A = 0x21102;
constexpr uint32_t INE4PS_MCAST_PORT_A = 0x21103;
constexpr uint32_t SHFE4PS_MCAST_IP_B = 0x21104;
constexpr uint32_t INE4PS_MCAST_IP_B = 0x21105;
constexpr uint32_t SHFE4PS_MCAST_PORT_B = 0x21106;
constexpr uint32_t INE4PS_MCAST_PORT_B = 0x21107;

// Snapshot packet numbers (MDQP field 0x1004).
constexpr uint32_t SHFE2PS_SNAP_PKT_NO = 0x11110;
constexpr uint32_t INE2PS_SNAP_PKT_NO = 0x11111;
constexpr uint32_t SHFE4PS_SNAP_PKT_NO = 0x21110;
constexpr uint32_t INE4PS_SNAP_PKT_NO = 0x21111;

constexpr uint32_t DETECT_INTERVAL_2PS = 0x11112;  // W32
constexpr uint32_t DETECT_INTERVAL_4PS = 0x21112;  // W32
constexpr uint32_t LOGIC_START_2PS = 0x11120;      // W32: 1 at logical start
constexpr uint32_t LOGIC_START_4PS = 0x21120;      // W32: 1 at logical start

// Multicast packet counters (64-bit reads).
constexpr uint32_t MUX0_2PS_PKTS = 0x12015;
constexpr uint32_t MUX1_2PS_PKTS = 0x1201B;
constexpr uint32_t MUX0_4PS_PKTS = 0x22015;
constexpr uint32_t MUX1_4PS_PKTS = 0x2201B;

// One past the highest register number of the map.
constexpr uint32_t REGISTER_SPACE = 0x22100;

}  // namespace Reg
}  // namespace Kest_U50
