// The facts about one packet that filter tests read, parsed once per packet and shared by
// every program evaluated on it. Building one allocates nothing; it holds pointers into
// the caller's buffer and is valid only while that buffer is.
#pragma once

#include <cstdint>

#include "divert/filter/Fields.h"
#include "windivert.h"

namespace divert::filter {

struct PacketInfo {
    const uint8_t* packet = nullptr;  // first byte of the IP header
    // Headers found, indexed by HeaderSlot; null when absent. A header counts only when the
    // packet holds all of it; a fragment other than the first carries no transport header.
    const uint8_t* header[kHeaderSlots] = {};
    UINT length = 0;              // bytes handed in: the `length` field and the packet[] window
    UINT ipLength = 0;            // length the IP header declares (IPv6: payload length + 40)
    UINT payloadOffset = 0;       // first byte after the last recognised header
    UINT payloadLength = 0;       // bytes from there up to the IP length (clamped to `length`)
    uint16_t fragmentOffset = 0;  // in 8-byte units
    uint8_t protocol = 0;         // transport protocol (after IPv6 extension headers)
    bool fragment = false;        // MF set, a non-zero offset, or an IPv6 fragment header
    bool moreFragments = false;

    // The buffer is shorter than the IP header says.
    bool Truncated() const { return length < ipLength; }
};

// Parses an IPv4 or IPv6 packet. Returns false when there is no usable IP header (fewer than
// 20 bytes, bad version, IPv4 header length below 5 words or beyond the buffer or beyond the
// total length, IPv6 shorter than 40 bytes); `out` then holds no meaningful values. A truncated
// packet parses (see PacketInfo::Truncated).
bool ParsePacketInfo(const uint8_t* packet, UINT length, PacketInfo& out);

}  // namespace divert::filter
