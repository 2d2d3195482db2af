#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_queue.h>

#include <string>
#include <vector>

#include "divert/linux/QueueMessages.h"
#include "divert/linux/Ruleset.h"

namespace divert::linuxworld {
namespace {

std::vector<uint16_t> MessageTypes(const std::vector<uint8_t>& batch) {
    std::vector<uint16_t> types;
    int length = static_cast<int>(batch.size());
    for (auto* h = reinterpret_cast<const nlmsghdr*>(batch.data()); mnl_nlmsg_ok(h, length);
         h = mnl_nlmsg_next(h, &length)) {
        types.push_back(h->nlmsg_type == NFNL_MSG_BATCH_BEGIN || h->nlmsg_type == NFNL_MSG_BATCH_END
                            ? h->nlmsg_type
                            : static_cast<uint16_t>(h->nlmsg_type & 0xFF));
    }
    return types;
}

TEST(Ruleset, TextShowsQueuesBypassAndTheOptionalOutputRules) {
    RulesetConfig config;
    config.queueCount = 2;
    const std::string inboundOnly = RulesetText(config, {});
    EXPECT_NE(inboundOnly.find("table inet bastion {"), std::string::npos);
    EXPECT_NE(inboundOnly.find("type filter hook prerouting priority raw; policy accept;"),
              std::string::npos);
    EXPECT_NE(inboundOnly.find("iiftype loopback accept"), std::string::npos);
    EXPECT_NE(inboundOnly.find("meta nfproto ipv4 meta l4proto tcp queue num 0-1 bypass"),
              std::string::npos);
    const size_t output = inboundOnly.find("chain output");
    ASSERT_NE(output, std::string::npos);
    EXPECT_EQ(inboundOnly.find("queue", output), std::string::npos);
    EXPECT_EQ(inboundOnly.find("ct state"), std::string::npos);

    config.failOpen = false;
    config.queueCount = 1;
    config.firstQueue = 7;
    const std::string both = RulesetText(config, RulesetState{true, true});
    EXPECT_EQ(both.find("bypass"), std::string::npos);
    const size_t out = both.find("chain output");
    EXPECT_NE(both.find("ct state new", out), std::string::npos);
    EXPECT_NE(both.find("meta l4proto icmp queue num 7\n", out), std::string::npos);
}

TEST(Ruleset, BatchReplacesTheTableInOneTransaction) {
    RulesetConfig config;
    size_t messages = 0;
    const auto batch =
        BuildRulesetBatch(config, RulesetState{true, false}, QueueExpression::Native, 1, &messages);
    const std::vector<uint16_t> expected = {
        NFNL_MSG_BATCH_BEGIN, NFT_MSG_NEWTABLE,  NFT_MSG_DELTABLE, NFT_MSG_NEWTABLE,
        NFT_MSG_NEWCHAIN,     NFT_MSG_NEWCHAIN,  NFT_MSG_NEWRULE,  NFT_MSG_NEWRULE,
        NFT_MSG_NEWRULE,      NFT_MSG_NEWRULE,   NFT_MSG_NEWRULE,  NFT_MSG_NEWRULE,
        NFT_MSG_NEWRULE,      NFNL_MSG_BATCH_END};
    EXPECT_EQ(MessageTypes(batch), expected);
    EXPECT_EQ(messages, expected.size() - 2);

    const auto xt =
        BuildRulesetBatch(config, RulesetState{}, QueueExpression::Xtables, 1, &messages);
    EXPECT_EQ(messages, 9u);  // 3 tables, 2 chains, loopback + 3 queue rules
    const std::string bytes(xt.begin(), xt.end());
    EXPECT_NE(bytes.find("NFQUEUE"), std::string::npos);
}

// A packet message as the kernel sends it: header attribute, payload, input interface.
std::vector<uint8_t> PacketMessage(uint32_t id, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> buffer(4096);
    nlmsghdr* h = mnl_nlmsg_put_header(buffer.data());
    h->nlmsg_type = (NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_PACKET;
    auto* g = static_cast<nfgenmsg*>(mnl_nlmsg_put_extra_header(h, sizeof(nfgenmsg)));
    g->nfgen_family = AF_INET;
    nfqnl_msg_packet_hdr header{};
    header.packet_id = htonl(id);
    header.hw_protocol = htons(0x0800);
    header.hook = NF_INET_PRE_ROUTING;
    mnl_attr_put(h, NFQA_PACKET_HDR, sizeof header, &header);
    mnl_attr_put_u32(h, NFQA_IFINDEX_INDEV, htonl(3));
    mnl_attr_put(h, NFQA_PAYLOAD, payload.size(), payload.data());
    buffer.resize(h->nlmsg_len);
    return buffer;
}

TEST(QueueMessages, PacketIsCutToItsIpLengthAndKeepsItsIdAndInterface) {
    std::vector<uint8_t> ip(20, 0);
    ip[0] = 0x45;
    ip[3] = 20;  // total length 20
    std::vector<uint8_t> padded = ip;
    padded.resize(46, 0);  // Ethernet minimum frame padding
    const auto message = PacketMessage(77, padded);
    QueuedPacket p;
    ASSERT_TRUE(ParsePacketMessage(reinterpret_cast<const nlmsghdr*>(message.data()), &p));
    EXPECT_EQ(p.id, 77u);
    EXPECT_EQ(p.hook, NF_INET_PRE_ROUTING);
    EXPECT_EQ(p.inIfIdx, 3u);
    EXPECT_EQ(p.length, 20u);

    // A length field larger than the bytes (a truncated packet) is left for dispatch's
    // sanity rule to reject; a non-IPv4 payload is not touched.
    std::vector<uint8_t> longer = ip;
    longer[3] = 40;
    const auto truncated = PacketMessage(78, longer);
    ASSERT_TRUE(ParsePacketMessage(reinterpret_cast<const nlmsghdr*>(truncated.data()), &p));
    EXPECT_EQ(p.length, 20u);
    std::vector<uint8_t> v6(48, 0);
    v6[0] = 0x60;
    const auto six = PacketMessage(79, v6);
    ASSERT_TRUE(ParsePacketMessage(reinterpret_cast<const nlmsghdr*>(six.data()), &p));
    EXPECT_EQ(p.length, 48u);
}

TEST(QueueMessages, VerdictsArePackedBackToBackUntilTheBatchIsFull) {
    VerdictBatch batch(200);
    ASSERT_TRUE(batch.Add(1, 5, NF_ACCEPT));
    ASSERT_TRUE(batch.Add(1, 6, NF_DROP));
    const uint8_t bytes[120] = {};  // 64 bytes used, 32 + 124 more needed
    EXPECT_FALSE(batch.Add(1, 7, NF_ACCEPT, bytes, sizeof bytes));
    EXPECT_EQ(batch.Count(), 2u);
    std::vector<uint8_t> data(batch.Data(), batch.Data() + batch.Size());
    int rest = static_cast<int>(data.size());
    int messages = 0;
    for (auto* h = reinterpret_cast<const nlmsghdr*>(data.data()); mnl_nlmsg_ok(h, rest);
         h = mnl_nlmsg_next(h, &rest)) {
        EXPECT_EQ(h->nlmsg_type, (NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_VERDICT);
        ++messages;
    }
    EXPECT_EQ(messages, 2);
    EXPECT_EQ(rest, 0);
}

TEST(QueueStats, ParsesTheKernelTable) {
    const auto stats = ParseQueueStats(
        "    0  12345     3 2 65535     17     2  9001 1\n"
        "    1  12346     0 2 65535      0     5   400 1\n"
        "garbage line\n");
    ASSERT_EQ(stats.size(), 2u);
    EXPECT_EQ(stats.at(0).waiting, 3u);
    EXPECT_EQ(stats.at(0).dropped, 17u);
    EXPECT_EQ(stats.at(0).userDropped, 2u);
    EXPECT_EQ(stats.at(1).userDropped, 5u);
}

}  // namespace
}  // namespace divert::linuxworld
