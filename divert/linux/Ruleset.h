// The nftables table that sends IPv4 traffic to the packet queues.
//
// One `inet` table of Bastion's own, replaced whole in one transaction whenever what must
// be queued changes, and deleted at stop:
//
//   prerouting (raw priority): inbound loopback is accepted unseen (the API shows it only
//     on its outbound pass); IPv4 TCP, UDP and ICMP go to the queues.
//   output (raw priority): the same queue rules while some open handle can match outbound
//     traffic; a rule reading the connection state while flow events are wanted (the
//     kernel tracks connections of a network namespace only while a rule needs it).
//
// The queues are spread by flow hash across `queueCount` queues from `firstQueue`. With
// `failOpen`, packets pass while no reader is bound to their queue (queue bypass), so a
// crashed Bastion does not cut the host off; otherwise they are dropped.
//
// Kernels built without the nftables queue expression get the same rules with the
// xtables NFQUEUE target inside the same table (nft_compat); Install finds out which.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace divert::linuxworld {

struct RulesetConfig {
    std::string table = "bastion";  // inet table name
    uint16_t firstQueue = 0;
    uint16_t queueCount = 1;  // 1..64
    bool failOpen = true;     // queue bypass while no reader listens
};

struct RulesetState {
    bool outbound = false;  // queue outbound packets too
    bool tracking = false;  // keep connection tracking on (flow events)
    bool operator==(const RulesetState&) const = default;
};

enum class QueueExpression { Native, Xtables };

// The table as nft syntax (what `nft list table inet <name>` shows once installed).
std::string RulesetText(const RulesetConfig& config, RulesetState state);

// The netlink batch that replaces the table: create-if-absent, delete, create, chains,
// rules. Sequence numbers start at `sequence`; *messages gets the number of messages
// between the batch begin and end.
std::vector<uint8_t> BuildRulesetBatch(const RulesetConfig& config, RulesetState state,
                                       QueueExpression expression, uint32_t sequence,
                                       size_t* messages);

// Installs and removes the table in the current network namespace.
class NftTable {
  public:
    explicit NftTable(RulesetConfig config) : config_(std::move(config)) {}

    // Replaces any table of the same name (a stale one from a crashed run included) with
    // the rules for `state`. On failure returns false and sets *error (text and errno).
    bool Install(RulesetState state, std::string* error);
    // Deletes the table; a table that is not there is no error.
    bool Remove(std::string* error);

    const RulesetConfig& Config() const { return config_; }
    QueueExpression Expression() const { return expression_; }

  private:
    // Sends one batch and collects its acknowledgements: 0 or the first errno.
    int Send(const std::vector<uint8_t>& batch, size_t messages);

    RulesetConfig config_;
    QueueExpression expression_ = QueueExpression::Native;
    bool probed_ = false;
};

}  // namespace divert::linuxworld
