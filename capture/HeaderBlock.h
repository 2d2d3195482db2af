// Header pre-parse: the IPv4 headers of up to eight packets of a batch read at once into a
// structure of arrays, so that the per-packet parse finds addresses, protocol and TTL
// already decoded.
//
// Three implementations give identical blocks: AVX2 (eight lanes at a time), SSSE3 (four
// lanes at a time) and scalar, the oracle the other two are tested against. The one in use
// is chosen once per process from CPUID; tests and benchmarks may force another.
//
// Thread-safety: PreParseHeaders is reentrant; ForcePreParser affects every thread and is
// meant for tests and benchmarks only, while no worker runs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bastion {

constexpr size_t kHeaderLanes = 8;

struct HeaderBlock {
    uint8_t versionIhl[kHeaderLanes];    // first byte of each IPv4 header
    uint8_t ttl[kHeaderLanes];           // IPv4 TTL
    uint8_t protocol[kHeaderLanes];      // IPv4 protocol
    uint32_t srcAddr[kHeaderLanes];      // source address, host order
    uint32_t dstAddr[kHeaderLanes];      // destination address, host order
    uint8_t version[kHeaderLanes];       // high nibble of versionIhl
    uint8_t headerLength[kHeaderLanes];  // IHL x 4, in bytes
    uint8_t validMask;                   // bit k: lane k parsed and valid
    uint8_t count;                       // lanes filled (1 to 8)
};

// A lane is valid when its length is at least 20, its version 4, its IHL at least 5 and
// IHL x 4 no more than its length. Every lane carries versionIhl, version and headerLength
// (a lane of length 0 reads as 0); ttl, protocol and the addresses are filled for valid
// lanes only and are 0 elsewhere, as is every field of a lane at or beyond `count`. No byte
// outside a lane's `length` bytes is read.
enum class PreParser { Scalar, Ssse3, Avx2 };

// Pre-parses `count` (1 to 8) packets: packets[k] points at lane k's first byte, lengths[k]
// is the number of bytes that may be read there.
void PreParseHeaders(const uint8_t* const* packets, const uint32_t* lengths, size_t count,
                     HeaderBlock& block);

// The implementations themselves. The SIMD ones must only be called when the processor has
// the instructions (see PreParserSupported).
void PreParseScalar(const uint8_t* const* packets, const uint32_t* lengths, size_t count,
                    HeaderBlock& block);
void PreParseSsse3(const uint8_t* const* packets, const uint32_t* lengths, size_t count,
                   HeaderBlock& block);
void PreParseAvx2(const uint8_t* const* packets, const uint32_t* lengths, size_t count,
                  HeaderBlock& block);

// The implementation CPUID selects: AVX2 when leaf 7 EBX bit 5 is set, else SSSE3 when
// leaf 1 ECX bit 9 is set, else scalar.
PreParser DetectPreParser();
bool PreParserSupported(PreParser parser);
// The implementation PreParseHeaders uses now.
PreParser ActivePreParser();
const char* PreParserName(PreParser parser);

namespace testing {
// Makes PreParseHeaders use `parser` (false, and no change, if the processor lacks it).
bool ForcePreParser(PreParser parser);
// Back to the CPUID choice.
void ResetPreParser();
}  // namespace testing

}  // namespace bastion
