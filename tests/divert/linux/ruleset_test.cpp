#include <gtest/gtest.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>

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
