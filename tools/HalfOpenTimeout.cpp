#include "tools/HalfOpenTimeout.h"

namespace bastion::tools {

void HalfOpenTimeout::Run(double now) {
    std::map<divert::sim::ConnectionKey, double> still;
    for (const platform::TcpRow& row : stack_.TcpTable()) {
        if (row.state != platform::TcpState::SynReceived) continue;
        const divert::sim::ConnectionKey key{row.localAddr, row.localPort, row.remoteAddr,
                                             row.remotePort};
        auto it = firstSeen_.find(key);
        const double since = it == firstSeen_.end() ? now : it->second;
        if (now - since > kSeconds) {
            stack_.Abort(key);
        } else {
            still.emplace(key, since);
        }
    }
    firstSeen_.swap(still);
}

}  // namespace bastion::tools
