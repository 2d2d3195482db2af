#include "divert/linux/Ruleset.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <libnftnl/chain.h>
#include <libnftnl/common.h>
#include <libnftnl/expr.h>
#include <libnftnl/rule.h>
#include <libnftnl/table.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_conntrack_common.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/xt_NFQUEUE.h>
#include <net/if_arp.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>

namespace divert::linuxworld {
namespace {

constexpr int kRawPriority =
    -300;  // NF_IP_PRI_RAW: before defragmentation-free connection tracking
constexpr uint8_t kProtocols[] = {IPPROTO_TCP, IPPROTO_UDP, IPPROTO_ICMP};

const char* ProtocolName(uint8_t protocol) {
    switch (protocol) {
        case IPPROTO_TCP:
            return "tcp";
        case IPPROTO_UDP:
            return "udp";
        default:
            return "icmp";
    }
}

std::string QueueText(const RulesetConfig& config) {
    std::string text = "queue num " + std::to_string(config.firstQueue);
    if (config.queueCount > 1)
        text += "-" + std::to_string(config.firstQueue + config.queueCount - 1);
    if (config.failOpen) text += " bypass";
    return text;
}

// ---- netlink batch ----

struct Deleter {
    void operator()(nftnl_table* t) const { nftnl_table_free(t); }
    void operator()(nftnl_chain* c) const { nftnl_chain_free(c); }
    void operator()(nftnl_rule* r) const { nftnl_rule_free(r); }
};

class BatchWriter {
  public:
    BatchWriter(uint32_t sequence) : buffer_(1 << 16), sequence_(sequence) {
        batch_ = mnl_nlmsg_batch_start(buffer_.data(), buffer_.size());
        nftnl_batch_begin(static_cast<char*>(mnl_nlmsg_batch_current(batch_)), sequence_++);
        mnl_nlmsg_batch_next(batch_);
    }
    ~BatchWriter() { mnl_nlmsg_batch_stop(batch_); }

    nlmsghdr* Header(uint16_t type, uint16_t flags) {
        ++messages_;
        return nftnl_nlmsg_build_hdr(static_cast<char*>(mnl_nlmsg_batch_current(batch_)), type,
                                     NFPROTO_INET, flags | NLM_F_ACK, sequence_++);
    }
    void Next() { mnl_nlmsg_batch_next(batch_); }

    std::vector<uint8_t> Finish(size_t* messages) {
        nftnl_batch_end(static_cast<char*>(mnl_nlmsg_batch_current(batch_)), sequence_++);
        mnl_nlmsg_batch_next(batch_);
        *messages = messages_;
        const size_t size = mnl_nlmsg_batch_size(batch_);
        return std::vector<uint8_t>(buffer_.begin(), buffer_.begin() + size);
    }

  private:
    std::vector<char> buffer_;
    mnl_nlmsg_batch* batch_;
    uint32_t sequence_;
    size_t messages_ = 0;
};

void AddTable(BatchWriter& w, const std::string& name, uint16_t type, uint16_t flags) {
    std::unique_ptr<nftnl_table, Deleter> t(nftnl_table_alloc());
    nftnl_table_set_str(t.get(), NFTNL_TABLE_NAME, name.c_str());
    nftnl_table_nlmsg_build_payload(w.Header(type, flags), t.get());
    w.Next();
}

void AddChain(BatchWriter& w, const std::string& table, const char* name, uint32_t hook) {
    std::unique_ptr<nftnl_chain, Deleter> c(nftnl_chain_alloc());
    nftnl_chain_set_str(c.get(), NFTNL_CHAIN_TABLE, table.c_str());
    nftnl_chain_set_str(c.get(), NFTNL_CHAIN_NAME, name);
    nftnl_chain_set_str(c.get(), NFTNL_CHAIN_TYPE, "filter");
    nftnl_chain_set_u32(c.get(), NFTNL_CHAIN_HOOKNUM, hook);
    nftnl_chain_set_s32(c.get(), NFTNL_CHAIN_PRIO, kRawPriority);
    nftnl_chain_set_u32(c.get(), NFTNL_CHAIN_POLICY, NF_ACCEPT);
    nftnl_chain_nlmsg_build_payload(w.Header(NFT_MSG_NEWCHAIN, NLM_F_CREATE), c.get());
    w.Next();
}

void Meta(nftnl_rule* r, uint32_t key) {
    nftnl_expr* e = nftnl_expr_alloc("meta");
    nftnl_expr_set_u32(e, NFTNL_EXPR_META_KEY, key);
    nftnl_expr_set_u32(e, NFTNL_EXPR_META_DREG, NFT_REG_1);
    nftnl_rule_add_expr(r, e);
}

void Compare(nftnl_rule* r, uint32_t op, const void* data, uint32_t length) {
    nftnl_expr* e = nftnl_expr_alloc("cmp");
    nftnl_expr_set_u32(e, NFTNL_EXPR_CMP_SREG, NFT_REG_1);
    nftnl_expr_set_u32(e, NFTNL_EXPR_CMP_OP, op);
    nftnl_expr_set(e, NFTNL_EXPR_CMP_DATA, data, length);
    nftnl_rule_add_expr(r, e);
}

void Queue(nftnl_rule* r, const RulesetConfig& config, QueueExpression expression) {
    if (expression == QueueExpression::Native) {
        nftnl_expr* e = nftnl_expr_alloc("queue");
        nftnl_expr_set_u16(e, NFTNL_EXPR_QUEUE_NUM, config.firstQueue);
        nftnl_expr_set_u16(e, NFTNL_EXPR_QUEUE_TOTAL, config.queueCount);
        nftnl_expr_set_u16(e, NFTNL_EXPR_QUEUE_FLAGS, config.failOpen ? NFT_QUEUE_FLAG_BYPASS : 0);
        nftnl_rule_add_expr(r, e);
        return;
    }
    nftnl_expr* e = nftnl_expr_alloc("target");
    nftnl_expr_set_str(e, NFTNL_EXPR_TG_NAME, "NFQUEUE");
    nftnl_expr_set_u32(e, NFTNL_EXPR_TG_REV, 3);
    // The expression keeps the pointer and frees it with itself.
    auto* info = static_cast<xt_NFQ_info_v3*>(calloc(1, sizeof(xt_NFQ_info_v3)));
    info->queuenum = config.firstQueue;
    info->queues_total = config.queueCount;
    info->flags = config.failOpen ? NFQ_FLAG_BYPASS : 0;
    nftnl_expr_set(e, NFTNL_EXPR_TG_INFO, info, sizeof *info);
    nftnl_rule_add_expr(r, e);
}

using RuleBody = void (*)(nftnl_rule*, const RulesetConfig&, QueueExpression, uint8_t);

void AddRule(BatchWriter& w, const RulesetConfig& config, const char* chain, RuleBody body,
             QueueExpression expression, uint8_t protocol = 0) {
    std::unique_ptr<nftnl_rule, Deleter> r(nftnl_rule_alloc());
    nftnl_rule_set_str(r.get(), NFTNL_RULE_TABLE, config.table.c_str());
    nftnl_rule_set_str(r.get(), NFTNL_RULE_CHAIN, chain);
    body(r.get(), config, expression, protocol);
    nftnl_rule_nlmsg_build_payload(w.Header(NFT_MSG_NEWRULE, NLM_F_CREATE | NLM_F_APPEND), r.get());
    w.Next();
}

// iiftype loopback accept
void LoopbackAccept(nftnl_rule* r, const RulesetConfig&, QueueExpression, uint8_t) {
    Meta(r, NFT_META_IIFTYPE);
    const uint16_t loopback = ARPHRD_LOOPBACK;
    Compare(r, NFT_CMP_EQ, &loopback, sizeof loopback);
    nftnl_expr* e = nftnl_expr_alloc("immediate");
    nftnl_expr_set_u32(e, NFTNL_EXPR_IMM_DREG, NFT_REG_VERDICT);
    nftnl_expr_set_u32(e, NFTNL_EXPR_IMM_VERDICT, NF_ACCEPT);
    nftnl_rule_add_expr(r, e);
}

// meta nfproto ipv4 meta l4proto <protocol> queue ...
void QueueProtocol(nftnl_rule* r, const RulesetConfig& config, QueueExpression expression,
                   uint8_t protocol) {
    Meta(r, NFT_META_NFPROTO);
    const uint8_t ipv4 = NFPROTO_IPV4;
    Compare(r, NFT_CMP_EQ, &ipv4, 1);
    Meta(r, NFT_META_L4PROTO);
    Compare(r, NFT_CMP_EQ, &protocol, 1);
    Queue(r, config, expression);
}

// ct state new (matches and does nothing: it keeps connection tracking on)
void TrackConnections(nftnl_rule* r, const RulesetConfig&, QueueExpression, uint8_t) {
    nftnl_expr* e = nftnl_expr_alloc("ct");
    nftnl_expr_set_u32(e, NFTNL_EXPR_CT_KEY, NFT_CT_STATE);
    nftnl_expr_set_u32(e, NFTNL_EXPR_CT_DREG, NFT_REG_1);
    nftnl_rule_add_expr(r, e);
    e = nftnl_expr_alloc("bitwise");
    const uint32_t mask = NF_CT_STATE_BIT(IP_CT_NEW), zero = 0;
    nftnl_expr_set_u32(e, NFTNL_EXPR_BITWISE_SREG, NFT_REG_1);
    nftnl_expr_set_u32(e, NFTNL_EXPR_BITWISE_DREG, NFT_REG_1);
    nftnl_expr_set_u32(e, NFTNL_EXPR_BITWISE_LEN, sizeof mask);
    nftnl_expr_set(e, NFTNL_EXPR_BITWISE_MASK, &mask, sizeof mask);
    nftnl_expr_set(e, NFTNL_EXPR_BITWISE_XOR, &zero, sizeof zero);
    nftnl_rule_add_expr(r, e);
    Compare(r, NFT_CMP_NEQ, &zero, sizeof zero);
}

}  // namespace

std::string RulesetText(const RulesetConfig& config, RulesetState state) {
    const std::string queue = QueueText(config);
    std::string text = "table inet " + config.table + " {\n";
    text += "\tchain prerouting {\n";
    text += "\t\ttype filter hook prerouting priority raw; policy accept;\n";
    text += "\t\tiiftype loopback accept\n";
    for (uint8_t p : kProtocols)
        text += std::string("\t\tmeta nfproto ipv4 meta l4proto ") + ProtocolName(p) + " " + queue +
                "\n";
    text += "\t}\n\n\tchain output {\n";
    text += "\t\ttype filter hook output priority raw; policy accept;\n";
    if (state.tracking) text += "\t\tct state new\n";
    if (state.outbound) {
        for (uint8_t p : kProtocols)
            text += std::string("\t\tmeta nfproto ipv4 meta l4proto ") + ProtocolName(p) + " " +
                    queue + "\n";
    }
    text += "\t}\n}\n";
    return text;
}

std::vector<uint8_t> BuildRulesetBatch(const RulesetConfig& config, RulesetState state,
                                       QueueExpression expression, uint32_t sequence,
                                       size_t* messages) {
    BatchWriter w(sequence);
    // Creating before deleting makes the delete succeed whether or not a table was there,
    // and the whole replacement is one transaction.
    AddTable(w, config.table, NFT_MSG_NEWTABLE, NLM_F_CREATE);
    AddTable(w, config.table, NFT_MSG_DELTABLE, 0);
    AddTable(w, config.table, NFT_MSG_NEWTABLE, NLM_F_CREATE | NLM_F_EXCL);
    AddChain(w, config.table, "prerouting", NF_INET_PRE_ROUTING);
    AddChain(w, config.table, "output", NF_INET_LOCAL_OUT);
    AddRule(w, config, "prerouting", LoopbackAccept, expression);
    for (uint8_t p : kProtocols)
        AddRule(w, config, "prerouting", QueueProtocol, expression, p);
    if (state.tracking) AddRule(w, config, "output", TrackConnections, expression);
    if (state.outbound) {
        for (uint8_t p : kProtocols)
            AddRule(w, config, "output", QueueProtocol, expression, p);
    }
    return w.Finish(messages);
}

int NftTable::Send(const std::vector<uint8_t>& batch, size_t messages) {
    mnl_socket* nl = mnl_socket_open(NETLINK_NETFILTER);
    if (nl == nullptr) return errno;
    std::unique_ptr<mnl_socket, int (*)(mnl_socket*)> guard(nl, mnl_socket_close);
    if (mnl_socket_bind(nl, 0, MNL_SOCKET_AUTOPID) < 0) return errno;
    timeval timeout{2, 0};
    setsockopt(mnl_socket_get_fd(nl), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (mnl_socket_sendto(nl, batch.data(), batch.size()) < 0) return errno;

    std::vector<char> buffer(MNL_SOCKET_BUFFER_SIZE);
    size_t acknowledged = 0;
    while (acknowledged < messages) {
        const ssize_t n = mnl_socket_recvfrom(nl, buffer.data(), buffer.size());
        if (n < 0) return errno == EAGAIN ? ETIMEDOUT : errno;
        int length = static_cast<int>(n);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buffer.data()); mnl_nlmsg_ok(h, length);
             h = mnl_nlmsg_next(h, &length)) {
            if (h->nlmsg_type != NLMSG_ERROR) continue;
            const auto* e = static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(h));
            if (e->error != 0) return -e->error;
            ++acknowledged;
        }
    }
    return 0;
}

bool NftTable::Install(RulesetState state, std::string* error) {
    size_t messages = 0;
    std::vector<uint8_t> batch = BuildRulesetBatch(config_, state, expression_,
                                                   static_cast<uint32_t>(time(nullptr)), &messages);
    int code = Send(batch, messages);
    // Kernels without the queue expression answer ENOENT (no such expression type); the
    // xtables target does the same work.
    if (code == ENOENT && !probed_ && expression_ == QueueExpression::Native) {
        expression_ = QueueExpression::Xtables;
        batch = BuildRulesetBatch(config_, state, expression_, static_cast<uint32_t>(time(nullptr)),
                                  &messages);
        code = Send(batch, messages);
    }
    if (code != 0) {
        *error = "installing nftables table inet " + config_.table +
                 " failed: " + std::strerror(code) + " (errno " + std::to_string(code) + ")";
        return false;
    }
    probed_ = true;
    return true;
}

bool NftTable::Remove(std::string* error) {
    BatchWriter w(static_cast<uint32_t>(time(nullptr)));
    AddTable(w, config_.table, NFT_MSG_DELTABLE, 0);
    size_t messages = 0;
    const std::vector<uint8_t> batch = w.Finish(&messages);
    const int code = Send(batch, messages);
    if (code != 0 && code != ENOENT) {
        *error = "removing nftables table inet " + config_.table +
                 " failed: " + std::strerror(code) + " (errno " + std::to_string(code) + ")";
        return false;
    }
    return true;
}

}  // namespace divert::linuxworld
