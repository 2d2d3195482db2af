// Internal packet helpers shared by the public helpers and the filter language. None of
// these touch the thread's last-error value.
#pragma once

#include <cstddef>
#include <cstdint>

#include "windivert.h"

namespace divert::filter {
struct PacketInfo;
}

namespace divert::packet {

// Dotted IPv4 text ("a.b.c.d", each part 0..255 in decimal, nothing else) to a host-order
// address.
bool ParseIPv4Text(const char* text, size_t length, uint32_t& address);

// IPv6 text to the 4-word host-order form (word 0 least significant). Accepts up to eight
// groups of 1-4 hex digits with at most one "::", and a trailing dotted IPv4 only in the
// forms "::a.b.c.d" and "::ffff:a.b.c.d". Rejects anything after the eighth group.
bool ParseIPv6Text(const char* text, size_t length, uint32_t address[4]);

// Text forms used by the helpers and by FormatFilter. Return the length written (no NUL);
// `out` must hold 16 (IPv4) / 46 (IPv6) characters.
size_t FormatIPv4Text(uint32_t address, char* out);
size_t FormatIPv6Text(const uint32_t address[4], char* out);

// The packet hash of WinDivertHelperHashPacket on an already parsed packet (0 when it has
// no IP header).
uint64_t HashParsed(const filter::PacketInfo& info, uint64_t seed);

// One's-complement sum of `length` bytes read as big-endian 16-bit words (odd byte padded
// with zero), folded to 16 bits but not complemented.
uint32_t SumWords(const uint8_t* data, size_t length, uint32_t sum);
uint16_t FoldChecksum(uint32_t sum);

inline uint16_t Load16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t Load32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline void Store16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

}  // namespace divert::packet
