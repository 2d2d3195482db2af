// Header pre-parse: scalar oracle, SSSE3 (four lanes per step) and AVX2 (eight lanes).
//
// The SIMD versions load bytes 4..19 of every lane's header (TTL, protocol and both
// addresses) with one unaligned 16-byte load, byte-swap and transpose them into arrays, and
// test validity on all lanes at once. A lane shorter than 20 bytes, or beyond `count`, is
// loaded from a zero header instead, so that no load reaches past a lane's bytes; its
// first byte alone is read from the packet. They are compiled with function-level target
// attributes, so the rest of the build stays baseline x86-64 and the choice is made at run
// time.
#include "capture/HeaderBlock.h"

#include <atomic>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define BASTION_X86 1
#endif

namespace bastion {
namespace {

constexpr uint32_t kMinHeader = 20;

inline uint32_t LoadBe32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

using PreParseFn = void (*)(const uint8_t* const*, const uint32_t*, size_t, HeaderBlock&);

#ifdef BASTION_X86
// Stands in for lanes too short to load 20 bytes from.
alignas(32) const uint8_t kZeroHeader[32] = {};

// The per-lane inputs the SIMD versions share: a pointer safe for a 20-byte load, the
// length (0 beyond count) and the first byte.
struct LaneInputs {
    const uint8_t* safe[kHeaderLanes];
    alignas(32) uint32_t length[kHeaderLanes];
    alignas(8) uint8_t versionIhl[kHeaderLanes];
};

inline void GatherLanes(const uint8_t* const* packets, const uint32_t* lengths, size_t count,
                        LaneInputs& in) {
    for (size_t k = 0; k < kHeaderLanes; ++k) {
        const uint32_t length = k < count ? lengths[k] : 0;
        in.length[k] = length;
        in.versionIhl[k] = length != 0 ? packets[k][0] : 0;
        in.safe[k] = length >= kMinHeader ? packets[k] : kZeroHeader;
    }
}

// Bytes 4..19 of a header, loaded at +4: TTL at 4, protocol at 5, source at 8..11,
// destination at 12..15. Shuffled to: source (host order), destination (host order),
// TTL | protocol << 8, zero.
#define BASTION_HEADER_SHUFFLE \
    11, 10, 9, 8, 15, 14, 13, 12, 4, 5, -128, -128, -128, -128, -128, -128
// Dword k = ttl | protocol << 8 | version << 16 | headerLength << 24 for four lanes,
// regrouped to four ttl bytes, four protocol bytes, four version bytes, four lengths.
#define BASTION_BYTE_REGROUP 0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15

__attribute__((target("ssse3"))) void Ssse3FourLanes(const LaneInputs& in, size_t base,
                                                     HeaderBlock& block) {
    const __m128i shuffle = _mm_setr_epi8(BASTION_HEADER_SHUFFLE);
    __m128i v0 = _mm_shuffle_epi8(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(in.safe[base + 0] + 4)), shuffle);
    __m128i v1 = _mm_shuffle_epi8(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(in.safe[base + 1] + 4)), shuffle);
    __m128i v2 = _mm_shuffle_epi8(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(in.safe[base + 2] + 4)), shuffle);
    __m128i v3 = _mm_shuffle_epi8(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(in.safe[base + 3] + 4)), shuffle);
    const __m128i t0 = _mm_unpacklo_epi32(v0, v1);  // s0 s1 d0 d1
    const __m128i t1 = _mm_unpacklo_epi32(v2, v3);  // s2 s3 d2 d3
    const __m128i t2 = _mm_unpackhi_epi32(v0, v1);  // x0 x1 0 0
    const __m128i t3 = _mm_unpackhi_epi32(v2, v3);  // x2 x3 0 0
    __m128i src = _mm_unpacklo_epi64(t0, t1);
    __m128i dst = _mm_unpackhi_epi64(t0, t1);
    __m128i ttlProtocol = _mm_unpacklo_epi64(t2, t3);

    const __m128i zero = _mm_setzero_si128();
    uint32_t firstBytes;
    std::memcpy(&firstBytes, in.versionIhl + base, sizeof firstBytes);
    const __m128i versionIhl = _mm_unpacklo_epi16(
        _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(firstBytes)), zero), zero);
    const __m128i version = _mm_srli_epi32(versionIhl, 4);
    const __m128i ihl = _mm_and_si128(versionIhl, _mm_set1_epi32(0x0F));
    const __m128i headerLength = _mm_slli_epi32(ihl, 2);
    // Unsigned compares through the sign flip.
    const __m128i sign = _mm_set1_epi32(static_cast<int>(0x80000000u));
    const __m128i length =
        _mm_xor_si128(_mm_load_si128(reinterpret_cast<const __m128i*>(in.length + base)), sign);
    const __m128i longEnough =
        _mm_cmpgt_epi32(length, _mm_xor_si128(_mm_set1_epi32(kMinHeader - 1), sign));
    const __m128i isV4 = _mm_cmpeq_epi32(version, _mm_set1_epi32(4));
    const __m128i ihlOk = _mm_cmpgt_epi32(ihl, _mm_set1_epi32(4));
    const __m128i overrun = _mm_cmpgt_epi32(_mm_xor_si128(headerLength, sign), length);
    const __m128i valid =
        _mm_andnot_si128(overrun, _mm_and_si128(_mm_and_si128(longEnough, isV4), ihlOk));

    src = _mm_and_si128(src, valid);
    dst = _mm_and_si128(dst, valid);
    ttlProtocol = _mm_and_si128(ttlProtocol, valid);
    const __m128i packed = _mm_or_si128(
        ttlProtocol, _mm_or_si128(_mm_slli_epi32(version, 16), _mm_slli_epi32(headerLength, 24)));
    const __m128i bytes = _mm_shuffle_epi8(packed, _mm_setr_epi8(BASTION_BYTE_REGROUP));
    alignas(16) uint8_t out[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(out), bytes);
    std::memcpy(block.ttl + base, out, 4);
    std::memcpy(block.protocol + base, out + 4, 4);
    std::memcpy(block.version + base, out + 8, 4);
    std::memcpy(block.headerLength + base, out + 12, 4);
    std::memcpy(block.versionIhl + base, &firstBytes, 4);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(block.srcAddr + base), src);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(block.dstAddr + base), dst);
    block.validMask =
        static_cast<uint8_t>(block.validMask | (_mm_movemask_ps(_mm_castsi128_ps(valid)) << base));
}

__attribute__((target("avx2"))) void Avx2EightLanes(const LaneInputs& in, HeaderBlock& block) {
    auto load = [&](size_t lane) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(in.safe[lane] + 4));
    };
    // Register j holds lane j in its low half and lane j + 4 in its high half, so the
    // in-half transposes below leave lanes 0..7 in order.
    const __m256i shuffle = _mm256_setr_epi8(BASTION_HEADER_SHUFFLE, BASTION_HEADER_SHUFFLE);
    const __m256i v0 = _mm256_shuffle_epi8(_mm256_set_m128i(load(4), load(0)), shuffle);
    const __m256i v1 = _mm256_shuffle_epi8(_mm256_set_m128i(load(5), load(1)), shuffle);
    const __m256i v2 = _mm256_shuffle_epi8(_mm256_set_m128i(load(6), load(2)), shuffle);
    const __m256i v3 = _mm256_shuffle_epi8(_mm256_set_m128i(load(7), load(3)), shuffle);
    const __m256i t0 = _mm256_unpacklo_epi32(v0, v1);
    const __m256i t1 = _mm256_unpacklo_epi32(v2, v3);
    const __m256i t2 = _mm256_unpackhi_epi32(v0, v1);
    const __m256i t3 = _mm256_unpackhi_epi32(v2, v3);
    __m256i src = _mm256_unpacklo_epi64(t0, t1);
    __m256i dst = _mm256_unpackhi_epi64(t0, t1);
    __m256i ttlProtocol = _mm256_unpacklo_epi64(t2, t3);

    const __m256i versionIhl =
        _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in.versionIhl)));
    const __m256i version = _mm256_srli_epi32(versionIhl, 4);
    const __m256i ihl = _mm256_and_si256(versionIhl, _mm256_set1_epi32(0x0F));
    const __m256i headerLength = _mm256_slli_epi32(ihl, 2);
    const __m256i sign = _mm256_set1_epi32(static_cast<int>(0x80000000u));
    const __m256i length =
        _mm256_xor_si256(_mm256_load_si256(reinterpret_cast<const __m256i*>(in.length)), sign);
    const __m256i longEnough =
        _mm256_cmpgt_epi32(length, _mm256_xor_si256(_mm256_set1_epi32(kMinHeader - 1), sign));
    const __m256i isV4 = _mm256_cmpeq_epi32(version, _mm256_set1_epi32(4));
    const __m256i ihlOk = _mm256_cmpgt_epi32(ihl, _mm256_set1_epi32(4));
    const __m256i overrun = _mm256_cmpgt_epi32(_mm256_xor_si256(headerLength, sign), length);
    const __m256i valid =
        _mm256_andnot_si256(overrun, _mm256_and_si256(_mm256_and_si256(longEnough, isV4), ihlOk));

    src = _mm256_and_si256(src, valid);
    dst = _mm256_and_si256(dst, valid);
    ttlProtocol = _mm256_and_si256(ttlProtocol, valid);
    const __m256i packed = _mm256_or_si256(
        ttlProtocol,
        _mm256_or_si256(_mm256_slli_epi32(version, 16), _mm256_slli_epi32(headerLength, 24)));
    // Per half: ttl x4, protocol x4, version x4, length x4; then interleave the halves'
    // dwords so that each field's eight bytes are adjacent.
    const __m256i grouped =
        _mm256_shuffle_epi8(packed, _mm256_setr_epi8(BASTION_BYTE_REGROUP, BASTION_BYTE_REGROUP));
    const __m256i fields =
        _mm256_permutevar8x32_epi32(grouped, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
    alignas(32) uint8_t out[32];
    _mm256_store_si256(reinterpret_cast<__m256i*>(out), fields);
    std::memcpy(block.ttl, out, 8);
    std::memcpy(block.protocol, out + 8, 8);
    std::memcpy(block.version, out + 16, 8);
    std::memcpy(block.headerLength, out + 24, 8);
    std::memcpy(block.versionIhl, in.versionIhl, 8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(block.srcAddr), src);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(block.dstAddr), dst);
    block.validMask = static_cast<uint8_t>(_mm256_movemask_ps(_mm256_castsi256_ps(valid)));
}

#undef BASTION_HEADER_SHUFFLE
#undef BASTION_BYTE_REGROUP
#endif  // BASTION_X86

PreParseFn FunctionOf(PreParser parser) {
    switch (parser) {
        case PreParser::Avx2:
            return PreParseAvx2;
        case PreParser::Ssse3:
            return PreParseSsse3;
        case PreParser::Scalar:
            break;
    }
    return PreParseScalar;
}

struct Selection {
    std::atomic<PreParseFn> function;
    std::atomic<PreParser> parser;
    Selection() : function(FunctionOf(DetectPreParser())), parser(DetectPreParser()) {}
};

Selection& CurrentSelection() {
    static Selection selection;
    return selection;
}

}  // namespace

void PreParseScalar(const uint8_t* const* packets, const uint32_t* lengths, size_t count,
                    HeaderBlock& block) {
    block = HeaderBlock{};
    block.count = static_cast<uint8_t>(count);
    for (size_t k = 0; k < count; ++k) {
        const uint32_t length = lengths[k];
        if (length == 0) continue;
        const uint8_t* p = packets[k];
        const uint8_t versionIhl = p[0];
        const uint8_t version = versionIhl >> 4;
        const uint8_t ihl = versionIhl & 0x0F;
        block.versionIhl[k] = versionIhl;
        block.version[k] = version;
        block.headerLength[k] = static_cast<uint8_t>(ihl * 4);
        if (length < kMinHeader || version != 4 || ihl < 5 || ihl * 4u > length) continue;
        block.ttl[k] = p[8];
        block.protocol[k] = p[9];
        block.srcAddr[k] = LoadBe32(p + 12);
        block.dstAddr[k] = LoadBe32(p + 16);
        block.validMask = static_cast<uint8_t>(block.validMask | (1u << k));
    }
}

#ifdef BASTION_X86
void PreParseSsse3(const uint8_t* const* packets, const uint32_t* lengths, size_t count,
                   HeaderBlock& block) {
    if (count < 2) {
        PreParseScalar(packets, lengths, count, block);
        return;
    }
    LaneInputs in;
    GatherLanes(packets, lengths, count, in);
    block = HeaderBlock{};
    block.count = static_cast<uint8_t>(count);
    Ssse3FourLanes(in, 0, block);
    if (count > 4) Ssse3FourLanes(in, 4, block);
}

void PreParseAvx2(const uint8_t* const* packets, const uint32_t* lengths, size_t count,
                  HeaderBlock& block) {
    LaneInputs in;
    GatherLanes(packets, lengths, count, in);
    Avx2EightLanes(in, block);
    block.count = static_cast<uint8_t>(count);
}

PreParser DetectPreParser() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && (ebx & (1u << 5))) {
        // The instructions alone are not enough: the system must also save the wide
        // registers across context switches (OSXSAVE, and XCR0 bits 1 and 2).
        unsigned eax1 = 0, ebx1 = 0, ecx1 = 0, edx1 = 0;
        if (__get_cpuid(1, &eax1, &ebx1, &ecx1, &edx1) && (ecx1 & (1u << 27))) {
            uint32_t xcr0Low = 0, xcr0High = 0;
            __asm__ volatile("xgetbv" : "=a"(xcr0Low), "=d"(xcr0High) : "c"(0));
            if ((xcr0Low & 0x6) == 0x6) return PreParser::Avx2;
        }
    }
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & (1u << 9))) return PreParser::Ssse3;
    return PreParser::Scalar;
}
#else
void PreParseSsse3(const uint8_t* const* packets, const uint32_t* lengths, size_t count,
                   HeaderBlock& block) {
    PreParseScalar(packets, lengths, count, block);
}
void PreParseAvx2(const uint8_t* const* packets, const uint32_t* lengths, size_t count,
                  HeaderBlock& block) {
    PreParseScalar(packets, lengths, count, block);
}
PreParser DetectPreParser() {
    return PreParser::Scalar;
}
#endif

bool PreParserSupported(PreParser parser) {
    const PreParser best = DetectPreParser();
    switch (parser) {
        case PreParser::Scalar:
            return true;
        case PreParser::Ssse3:
            return best != PreParser::Scalar;
        case PreParser::Avx2:
            return best == PreParser::Avx2;
    }
    return false;
}

void PreParseHeaders(const uint8_t* const* packets, const uint32_t* lengths, size_t count,
                     HeaderBlock& block) {
    CurrentSelection().function.load(std::memory_order_relaxed)(packets, lengths, count, block);
}

PreParser ActivePreParser() {
    return CurrentSelection().parser.load(std::memory_order_relaxed);
}

const char* PreParserName(PreParser parser) {
    switch (parser) {
        case PreParser::Avx2:
            return "avx2";
        case PreParser::Ssse3:
            return "ssse3";
        case PreParser::Scalar:
            break;
    }
    return "scalar";
}

namespace testing {
bool ForcePreParser(PreParser parser) {
    if (!PreParserSupported(parser)) return false;
    CurrentSelection().parser.store(parser, std::memory_order_relaxed);
    CurrentSelection().function.store(FunctionOf(parser), std::memory_order_relaxed);
    return true;
}
void ResetPreParser() {
    ForcePreParser(DetectPreParser());
}
}  // namespace testing

}  // namespace bastion
