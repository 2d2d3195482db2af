#include "divert/linux/FlowEvents.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <libmnl/libmnl.h>
#include <libnetfilter_conntrack/libnetfilter_conntrack.h>
#include <linux/netfilter/nf_conntrack_tcp.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_conntrack.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/Clock.h"

namespace divert::linuxworld {

bool ParseConntrackMessage(const nlmsghdr* message, ConntrackUpdate* update) {
    if ((message->nlmsg_type >> 8) != NFNL_SUBSYS_CTNETLINK) return false;
    const uint8_t type = message->nlmsg_type & 0xFF;
    if (type == IPCTNL_MSG_CT_NEW) {
        update->kind = (message->nlmsg_flags & (NLM_F_CREATE | NLM_F_EXCL)) != 0
                           ? ConntrackUpdate::Kind::New
                           : ConntrackUpdate::Kind::Update;
    } else if (type == IPCTNL_MSG_CT_DELETE) {
        update->kind = ConntrackUpdate::Kind::Destroy;
    } else {
        return false;
    }
    std::unique_ptr<nf_conntrack, void (*)(nf_conntrack*)> ct(nfct_new(), nfct_destroy);
    if (!ct || nfct_nlmsg_parse(message, ct.get()) < 0) return false;
    if (!nfct_attr_is_set(ct.get(), ATTR_ORIG_L3PROTO) ||
        nfct_get_attr_u8(ct.get(), ATTR_ORIG_L3PROTO) != AF_INET) {
        return false;
    }
    update->id = nfct_attr_is_set(ct.get(), ATTR_ID) ? nfct_get_attr_u32(ct.get(), ATTR_ID) : 0;
    update->protocol = nfct_get_attr_u8(ct.get(), ATTR_ORIG_L4PROTO);
    update->tcpState =
        nfct_attr_is_set(ct.get(), ATTR_TCP_STATE) ? nfct_get_attr_u8(ct.get(), ATTR_TCP_STATE) : 0;
    update->source = ntohl(nfct_get_attr_u32(ct.get(), ATTR_ORIG_IPV4_SRC));
    update->destination = ntohl(nfct_get_attr_u32(ct.get(), ATTR_ORIG_IPV4_DST));
    update->sourcePort = ntohs(nfct_get_attr_u16(ct.get(), ATTR_ORIG_PORT_SRC));
    update->destinationPort = ntohs(nfct_get_attr_u16(ct.get(), ATTR_ORIG_PORT_DST));
    return true;
}

std::optional<FlowEvent> FlowTranslator::Translate(const ConntrackUpdate& u) {
    if (u.protocol != IPPROTO_TCP) return std::nullopt;
    auto it = connections_.find(u.id);
    switch (u.kind) {
        case ConntrackUpdate::Kind::New: {
            // Only a connection seen from its first packet counts; conntrack creating an
            // entry already ESTABLISHED means it picked up an older connection.
            if (u.tcpState != TCP_CONNTRACK_SYN_SENT && u.tcpState != TCP_CONNTRACK_SYN_RECV)
                return std::nullopt;
            const bool localSource = isLocal_(u.source);
            const bool localDestination = isLocal_(u.destination);
            if (!localSource && !localDestination) return std::nullopt;
            if (connections_.size() >= kMaxTracked) {
                ++untracked_;
                return std::nullopt;
            }
            FlowEvent e;
            e.flowId = u.id;
            e.protocol = IPPROTO_TCP;
            e.outbound = localSource;
            e.loopback = localSource && localDestination;
            if (localSource) {
                MapIPv4(u.source, e.localAddr);
                MapIPv4(u.destination, e.remoteAddr);
                e.localPort = u.sourcePort;
                e.remotePort = u.destinationPort;
            } else {
                MapIPv4(u.destination, e.localAddr);
                MapIPv4(u.source, e.remoteAddr);
                e.localPort = u.destinationPort;
                e.remotePort = u.sourcePort;
            }
            connections_[u.id] = Connection{e, false};
            return std::nullopt;
        }
        case ConntrackUpdate::Kind::Update:
            if (it == connections_.end()) return std::nullopt;
            if (!it->second.reported) {
                if (u.tcpState != TCP_CONNTRACK_ESTABLISHED) {
                    // Closed or reset before it was ever established: nothing to report.
                    if (u.tcpState >= TCP_CONNTRACK_FIN_WAIT && u.tcpState <= TCP_CONNTRACK_CLOSE)
                        connections_.erase(it);
                    return std::nullopt;
                }
                it->second.reported = true;
                FlowEvent e = it->second.established;
                e.event = WINDIVERT_EVENT_FLOW_ESTABLISHED;
                return e;
            }
            if (u.tcpState == TCP_CONNTRACK_ESTABLISHED) return std::nullopt;
            break;
        case ConntrackUpdate::Kind::Destroy:
            if (it == connections_.end()) return std::nullopt;
            break;
    }
    it = connections_.find(u.id);
    if (it == connections_.end()) return std::nullopt;
    const bool reported = it->second.reported;
    FlowEvent e = it->second.established;
    connections_.erase(it);
    if (!reported) return std::nullopt;
    e.event = WINDIVERT_EVENT_FLOW_DELETED;
    return e;
}

FlowEvents::~FlowEvents() {
    Stop();
}

bool FlowEvents::Start(std::string* error) {
    Stop();
    fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups =
        NF_NETLINK_CONNTRACK_NEW | NF_NETLINK_CONNTRACK_UPDATE | NF_NETLINK_CONNTRACK_DESTROY;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0) {
        const int code = errno;
        *error = std::string("subscribing to conntrack events failed: ") + std::strerror(code) +
                 " (errno " + std::to_string(code) + ")";
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        return false;
    }
    int size = 4 << 20;
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) < 0)
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    stop_.store(false);
    thread_ = std::thread([this] { Loop(); });
    return true;
}

void FlowEvents::Stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool FlowEvents::IsLocal(uint32_t address) {
    if (local_.count(address) != 0) return true;
    // An address we do not know may have been added since the last look (once a second).
    const int64_t now = bastion::SteadyNowNs();
    if (now - localReadNs_ < bastion::kNsPerSecond && localReadNs_ != 0) return false;
    localReadNs_ = now;
    local_.clear();
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) == 0) {
        for (ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
            if (a->ifa_addr != nullptr && a->ifa_addr->sa_family == AF_INET)
                local_.insert(ntohl(reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr));
        }
        ::freeifaddrs(list);
    }
    return local_.count(address) != 0 || (address >> 24) == 127;
}

void FlowEvents::Loop() {
    FlowTranslator translator([this](uint32_t a) { return IsLocal(a); });
    std::vector<char> buffer(1 << 16);
    while (!stop_.load(std::memory_order_relaxed)) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n <= 0) continue;  // ENOBUFS: events were lost; later ones still count
        int length = static_cast<int>(n);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buffer.data()); mnl_nlmsg_ok(h, length);
             h = mnl_nlmsg_next(h, &length)) {
            ConntrackUpdate update;
            if (!ParseConntrackMessage(h, &update)) continue;
            if (auto event = translator.Translate(update)) RaiseFlowEvent(*event);
        }
    }
}

}  // namespace divert::linuxworld
