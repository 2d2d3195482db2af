// Header pre-parse: one table of packets through every implementation the processor
// has; the scalar one is the oracle.
#include <gtest/gtest.h>

#include <cstring>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "capture/HeaderBlock.h"
#include "divert/sim/PacketBuilder.h"

namespace bastion {
namespace {

using divert::sim::Ipv4;
using divert::sim::PacketBuilder;
using Bytes = std::vector<uint8_t>;

// Each lane as its own exact-size allocation, so that a read past a lane's bytes is
// caught by the address sanitizer.
struct Lanes {
    std::vector<Bytes> packets;
    std::vector<uint32_t> lengths;  // may be shorter than the packet: the bytes readable
};

Bytes Tcp(uint32_t src) {
    return PacketBuilder::Tcp(src, 1234, Ipv4("203.0.113.10"), 80).Ack().Ttl(57).Build();
}

std::vector<Lanes> Table() {
    const Bytes valid = Tcp(Ipv4("198.51.100.7"));
    const Bytes udp = PacketBuilder::Udp(Ipv4("10.1.2.3"), 53, Ipv4("10.3.2.1"), 5353)
                          .Ttl(1)
                          .Payload("x")
                          .Build();
    Bytes version6 = valid;
    version6[0] = 0x65;
    Bytes ihl4 = valid;
    ihl4[0] = 0x44;
    const Bytes ihl15 = PacketBuilder::Tcp(Ipv4("1.2.3.4"), 1, Ipv4("5.6.7.8"), 2)
                            .HeaderLength(15)
                            .Build();  // 60-byte header
    Bytes options = PacketBuilder::Ip(Ipv4("9.9.9.9"), Ipv4("8.8.8.8"), 47).HeaderLength(6).Build();

    std::vector<Lanes> table;
    auto add = [&](std::vector<std::pair<Bytes, uint32_t>> lanes) {
        Lanes l;
        for (auto& [bytes, length] : lanes) {
            Bytes exact(bytes.begin(), bytes.begin() + std::min<size_t>(length, bytes.size()));
            l.packets.push_back(exact);
            l.lengths.push_back(length);
        }
        table.push_back(std::move(l));
    };
    auto full = [](const Bytes& b) {
        return std::pair<Bytes, uint32_t>(b, static_cast<uint32_t>(b.size()));
    };
    auto cut = [](const Bytes& b, uint32_t n) { return std::pair<Bytes, uint32_t>(b, n); };

    add({full(valid)});                                                  // one lane
    add({full(valid), full(udp)});                                       // two lanes
    add({full(valid), full(udp), full(valid), full(udp), full(ihl15)});  // five lanes
    add({full(valid), full(udp), full(valid), full(udp), full(valid), full(udp), full(valid),
         full(options)});  // eight valid
    add({cut(valid, 19), cut(valid, 1), cut(valid, 20), full(version6), full(ihl4), cut(ihl15, 40),
         full(udp), cut(udp, 0)});  // mixed faults
    add({cut(valid, 3)});           // short alone
    add({full(version6), full(version6)});
    add({cut(ihl15, 59), full(ihl15), cut(ihl15, 60)});  // IHL at the edge
    // Random headers: every lane shape at random.
    std::mt19937 random(20261206);
    for (int t = 0; t < 200; ++t) {
        std::vector<std::pair<Bytes, uint32_t>> lanes;
        const size_t count = 1 + random() % 8;
        for (size_t k = 0; k < count; ++k) {
            Bytes b(64);
            for (uint8_t& byte : b)
                byte = static_cast<uint8_t>(random());
            if (random() % 2) b[0] = static_cast<uint8_t>(0x40 | (random() % 16));
            lanes.push_back(cut(b, static_cast<uint32_t>(random() % 65)));
        }
        add(lanes);
    }
    return table;
}

HeaderBlock ParseWith(PreParser parser, const Lanes& lanes) {
    std::vector<const uint8_t*> pointers;
    for (const Bytes& p : lanes.packets)
        pointers.push_back(p.data());
    HeaderBlock block;
    std::memset(&block, 0xCD, sizeof block);  // every field must be written
    switch (parser) {
        case PreParser::Scalar:
            PreParseScalar(pointers.data(), lanes.lengths.data(), pointers.size(), block);
            break;
        case PreParser::Ssse3:
            PreParseSsse3(pointers.data(), lanes.lengths.data(), pointers.size(), block);
            break;
        case PreParser::Avx2:
            PreParseAvx2(pointers.data(), lanes.lengths.data(), pointers.size(), block);
            break;
    }
    return block;
}

std::string Describe(const HeaderBlock& b) {
    std::string text = "count=" + std::to_string(b.count) + " mask=" + std::to_string(b.validMask);
    for (size_t k = 0; k < kHeaderLanes; ++k) {
        text += "\n lane " + std::to_string(k) + ": vi=" + std::to_string(b.versionIhl[k]) +
                " v=" + std::to_string(b.version[k]) + " hl=" + std::to_string(b.headerLength[k]) +
                " ttl=" + std::to_string(b.ttl[k]) + " p=" + std::to_string(b.protocol[k]) +
                " src=" + std::to_string(b.srcAddr[k]) + " dst=" + std::to_string(b.dstAddr[k]);
    }
    return text;
}

bool Same(const HeaderBlock& a, const HeaderBlock& b) {
    auto eq = [](const auto& x, const auto& y) { return std::memcmp(x, y, sizeof x) == 0; };
    return a.count == b.count && a.validMask == b.validMask && eq(a.versionIhl, b.versionIhl) &&
           eq(a.ttl, b.ttl) && eq(a.protocol, b.protocol) && eq(a.srcAddr, b.srcAddr) &&
           eq(a.dstAddr, b.dstAddr) && eq(a.version, b.version) &&
           eq(a.headerLength, b.headerLength);
}

TEST(HeaderParse, ScalarOracleReadsTheHeaders) {
    const std::vector<Lanes> table = Table();
    const HeaderBlock mixed = ParseWith(PreParser::Scalar, table[4]);
    EXPECT_EQ(mixed.count, 8);
    // Lanes: 19 bytes, 1 byte, 20 bytes (valid), version 6, IHL 4, IHL 15 in 40 bytes,
    // UDP (valid), empty.
    EXPECT_EQ(mixed.validMask, 0b0100'0100);
    EXPECT_EQ(mixed.versionIhl[1], 0x45);
    EXPECT_EQ(mixed.ttl[0], 0) << "invalid lanes carry no TTL";
    EXPECT_EQ(mixed.version[3], 6);
    EXPECT_EQ(mixed.headerLength[4], 16);
    EXPECT_EQ(mixed.headerLength[5], 60);
    EXPECT_EQ(mixed.versionIhl[7], 0);
    EXPECT_EQ(mixed.ttl[2], 57);
    EXPECT_EQ(mixed.protocol[2], 6);
    EXPECT_EQ(mixed.srcAddr[2], Ipv4("198.51.100.7"));
    EXPECT_EQ(mixed.dstAddr[2], Ipv4("203.0.113.10"));
    EXPECT_EQ(mixed.protocol[6], 17);
    EXPECT_EQ(mixed.ttl[6], 1);
    EXPECT_EQ(mixed.srcAddr[6], Ipv4("10.1.2.3"));

    const HeaderBlock edge = ParseWith(PreParser::Scalar, table[7]);
    EXPECT_EQ(edge.validMask, 0b110) << "IHL x 4 may equal the length, not exceed it";
    const HeaderBlock five = ParseWith(PreParser::Scalar, table[2]);
    EXPECT_EQ(five.count, 5);
    EXPECT_EQ(five.validMask, 0b1'1111);
    EXPECT_EQ(five.srcAddr[5], 0u);
}

TEST(HeaderParse, EveryImplementationMatchesTheScalarOracle) {
    const std::vector<Lanes> table = Table();
    for (PreParser parser : {PreParser::Ssse3, PreParser::Avx2}) {
        if (!PreParserSupported(parser)) {
            std::cout << PreParserName(parser) << " not supported here; not compared\n";
            continue;
        }
        for (size_t t = 0; t < table.size(); ++t) {
            const HeaderBlock expected = ParseWith(PreParser::Scalar, table[t]);
            const HeaderBlock actual = ParseWith(parser, table[t]);
            EXPECT_TRUE(Same(expected, actual))
                << PreParserName(parser) << " row " << t << "\nexpected " << Describe(expected)
                << "\nactual " << Describe(actual);
        }
    }
}

TEST(HeaderParse, ChoiceFollowsCpuidAndCanBeForced) {
    EXPECT_EQ(ActivePreParser(), DetectPreParser());
    EXPECT_TRUE(PreParserSupported(PreParser::Scalar));
    ASSERT_TRUE(testing::ForcePreParser(PreParser::Scalar));
    EXPECT_EQ(ActivePreParser(), PreParser::Scalar);
    const std::vector<Lanes> table = Table();
    const Lanes& lanes = table[3];
    std::vector<const uint8_t*> pointers;
    for (const Bytes& p : lanes.packets)
        pointers.push_back(p.data());
    HeaderBlock viaDispatch;
    PreParseHeaders(pointers.data(), lanes.lengths.data(), pointers.size(), viaDispatch);
    EXPECT_TRUE(Same(viaDispatch, ParseWith(PreParser::Scalar, lanes)));
    if (!PreParserSupported(PreParser::Avx2)) {
        EXPECT_FALSE(testing::ForcePreParser(PreParser::Avx2));
        EXPECT_EQ(ActivePreParser(), PreParser::Scalar);
    }
    testing::ResetPreParser();
    EXPECT_EQ(ActivePreParser(), DetectPreParser());
}

}  // namespace
}  // namespace bastion
