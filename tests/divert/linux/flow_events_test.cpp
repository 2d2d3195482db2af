#include <gtest/gtest.h>
#include <linux/netfilter/nf_conntrack_tcp.h>
#include <netinet/in.h>

#include "divert/linux/FlowEvents.h"

namespace divert::linuxworld {
namespace {

constexpr uint32_t kHost = 0x0A000001;    // 10.0.0.1
constexpr uint32_t kClient = 0x0A000002;  // 10.0.0.2
constexpr uint32_t kOther = 0x0A000003;

ConntrackUpdate Update(ConntrackUpdate::Kind kind, uint32_t id, uint8_t state,
                       uint32_t source = kClient, uint32_t destination = kHost) {
    ConntrackUpdate u;
    u.kind = kind;
    u.id = id;
    u.protocol = IPPROTO_TCP;
    u.tcpState = state;
    u.source = source;
    u.destination = destination;
    u.sourcePort = 40000;
    u.destinationPort = 80;
    return u;
}

using K = ConntrackUpdate::Kind;

class FlowTranslatorTest : public ::testing::Test {
  protected:
    FlowTranslator t{[](uint32_t a) { return a == kHost; }};
};

TEST_F(FlowTranslatorTest, InboundConnectionIsEstablishedOnceAndDeletedOnce) {
    EXPECT_FALSE(t.Translate(Update(K::New, 1, TCP_CONNTRACK_SYN_SENT)));
    EXPECT_FALSE(t.Translate(Update(K::Update, 1, TCP_CONNTRACK_SYN_RECV)));
    auto e = t.Translate(Update(K::Update, 1, TCP_CONNTRACK_ESTABLISHED));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->event, WINDIVERT_EVENT_FLOW_ESTABLISHED);
    EXPECT_FALSE(e->outbound);
    EXPECT_EQ(e->localAddr[0], kHost);
    EXPECT_EQ(e->localAddr[1], 0xFFFFu);
    EXPECT_EQ(e->remoteAddr[0], kClient);
    EXPECT_EQ(e->localPort, 80);
    EXPECT_EQ(e->remotePort, 40000);
    EXPECT_EQ(e->flowId, 1u);
    EXPECT_FALSE(t.Translate(Update(K::Update, 1, TCP_CONNTRACK_ESTABLISHED)));

    auto d = t.Translate(Update(K::Update, 1, TCP_CONNTRACK_FIN_WAIT));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->event, WINDIVERT_EVENT_FLOW_DELETED);
    EXPECT_EQ(d->localPort, 80);
    EXPECT_FALSE(t.Translate(Update(K::Update, 1, TCP_CONNTRACK_TIME_WAIT)));
    EXPECT_FALSE(t.Translate(Update(K::Destroy, 1, TCP_CONNTRACK_CLOSE)));
    EXPECT_EQ(t.Tracked(), 0u);
}

TEST_F(FlowTranslatorTest, OutboundConnectionDeletedWhenDestroyedWhileEstablished) {
    t.Translate(Update(K::New, 2, TCP_CONNTRACK_SYN_SENT, kHost, kClient));
    auto e = t.Translate(Update(K::Update, 2, TCP_CONNTRACK_ESTABLISHED, kHost, kClient));
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->outbound);
    EXPECT_EQ(e->localAddr[0], kHost);
    EXPECT_EQ(e->localPort, 40000);
    auto d = t.Translate(Update(K::Destroy, 2, TCP_CONNTRACK_ESTABLISHED, kHost, kClient));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->event, WINDIVERT_EVENT_FLOW_DELETED);
}

TEST_F(FlowTranslatorTest, ConnectionsNotSeenFromTheirStartAreNeverReported) {
    // Picked up mid-stream (existed before): created as ESTABLISHED.
    EXPECT_FALSE(t.Translate(Update(K::New, 3, TCP_CONNTRACK_ESTABLISHED)));
    // Updates and destruction of connections never seen new.
    EXPECT_FALSE(t.Translate(Update(K::Update, 4, TCP_CONNTRACK_ESTABLISHED)));
    EXPECT_FALSE(t.Translate(Update(K::Update, 4, TCP_CONNTRACK_FIN_WAIT)));
    EXPECT_FALSE(t.Translate(Update(K::Destroy, 4, TCP_CONNTRACK_CLOSE)));
    EXPECT_EQ(t.Tracked(), 0u);
}

TEST_F(FlowTranslatorTest, RefusedForwardedAndNonTcpConnectionsAreNotReported) {
    t.Translate(Update(K::New, 5, TCP_CONNTRACK_SYN_SENT));
    EXPECT_FALSE(t.Translate(Update(K::Update, 5, TCP_CONNTRACK_CLOSE)));  // reset at once
    EXPECT_FALSE(t.Translate(Update(K::Destroy, 5, TCP_CONNTRACK_CLOSE)));
    EXPECT_FALSE(t.Translate(Update(K::New, 6, TCP_CONNTRACK_SYN_SENT, kClient, kOther)));
    ConntrackUpdate udp = Update(K::New, 7, 0);
    udp.protocol = IPPROTO_UDP;
    EXPECT_FALSE(t.Translate(udp));
    EXPECT_EQ(t.Tracked(), 0u);
}

}  // namespace
}  // namespace divert::linuxworld
