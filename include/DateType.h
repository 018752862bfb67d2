// Fixed-string types of the records and the basic integer types.
#pragma once

#include <cstddef>
#include <cstdint>

#include "string/ust_string_base.h"

namespace Kest_U50 {

typedef CUstCharArray<32> CInstrumentType;        // one instrument identifier
typedef CUstCharArray<64> CFPGADMANameType;       // DMA channel name, "CUSTOM_CHAN<n>_DATA"
typedef CUstCharArray<64> CChannelNameType;       // per-channel section name, "channel<n>"
typedef CUstCharArray<256> CAddressType;          // multicast "address:port"
typedef CUstCharArray<256> CMACType;              // MAC address text
typedef CUstCharArray<256> CIPType;               // IPv4 address text
typedef CUstCharArray<256> CConfigFileNameType;   // configuration file path
typedef CUstCharArray<1024> CBufferType;          // general text, the version string
typedef CUstCharArray<4096> CInstrumentListType;  // comma-separated instruments of a channel

static_assert(sizeof(CInstrumentType) == 32, "CInstrumentType is char[32]");
static_assert(sizeof(CFPGADMANameType) == 64, "CFPGADMANameType is char[64]");
static_assert(sizeof(CChannelNameType) == 64, "CChannelNameType is char[64]");
static_assert(sizeof(CAddressType) == 256, "CAddressType is char[256]");
static_assert(sizeof(CMACType) == 256, "CMACType is char[256]");
static_assert(sizeof(CIPType) == 256, "CIPType is char[256]");
static_assert(sizeof(CConfigFileNameType) == 256, "CConfigFileNameType is char[256]");
static_assert(sizeof(CBufferType) == 1024, "CBufferType is char[1024]");
static_assert(sizeof(CInstrumentListType) == 4096, "CInstrumentListType is char[4096]");

}  // namespace Kest_U50
