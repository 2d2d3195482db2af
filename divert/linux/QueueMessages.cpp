#include "divert/linux/QueueMessages.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink_queue.h>

#include <cstring>
#include <sstream>

namespace divert::linuxworld {

bool ParsePacketMessage(const nlmsghdr* message, QueuedPacket* packet) {
    if ((message->nlmsg_type & 0xFF) != NFQNL_MSG_PACKET) return false;
    nlattr* attr[NFQA_MAX + 1] = {};
    if (nfq_nlmsg_parse(message, attr) < 0) return false;
    if (attr[NFQA_PACKET_HDR] == nullptr || attr[NFQA_PAYLOAD] == nullptr) return false;
    const auto* header =
        static_cast<const nfqnl_msg_packet_hdr*>(mnl_attr_get_payload(attr[NFQA_PACKET_HDR]));
    packet->id = ntohl(header->packet_id);
    packet->hook = header->hook;
    packet->data = static_cast<const uint8_t*>(mnl_attr_get_payload(attr[NFQA_PAYLOAD]));
    packet->length = mnl_attr_get_payload_len(attr[NFQA_PAYLOAD]);
    packet->inIfIdx =
        attr[NFQA_IFINDEX_INDEV] ? ntohl(mnl_attr_get_u32(attr[NFQA_IFINDEX_INDEV])) : 0;
    packet->outIfIdx =
        attr[NFQA_IFINDEX_OUTDEV] ? ntohl(mnl_attr_get_u32(attr[NFQA_IFINDEX_OUTDEV])) : 0;
    if (packet->length >= 20 && (packet->data[0] >> 4) == 4) {
        const uint32_t total = (uint32_t{packet->data[2]} << 8) | packet->data[3];
        if (total >= 20 && total < packet->length) packet->length = total;
    }
    return true;
}

VerdictBatch::VerdictBatch(size_t capacity) : buffer_(capacity) {}

bool VerdictBatch::Add(uint16_t queue, uint32_t id, uint32_t verdict, const uint8_t* data,
                       uint32_t length) {
    // Header, nfgenmsg, verdict attribute, payload attribute; each aligned to 4.
    const size_t need = MNL_ALIGN(sizeof(nlmsghdr)) + MNL_ALIGN(sizeof(nfgenmsg)) +
                        MNL_ALIGN(sizeof(nlattr) + sizeof(nfqnl_msg_verdict_hdr)) +
                        (data != nullptr ? MNL_ALIGN(sizeof(nlattr) + length) : 0);
    if (used_ + need > buffer_.size()) return false;
    char* at = reinterpret_cast<char*>(buffer_.data() + used_);
    nlmsghdr* message = nfq_nlmsg_put(at, NFQNL_MSG_VERDICT, queue);
    nfq_nlmsg_verdict_put(message, static_cast<int>(id), static_cast<int>(verdict));
    if (data != nullptr) nfq_nlmsg_verdict_put_pkt(message, data, length);
    used_ += message->nlmsg_len;
    ++count_;
    return true;
}

std::map<uint16_t, QueueStats> ParseQueueStats(const std::string& text) {
    std::map<uint16_t, QueueStats> stats;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        unsigned long queue = 0, portId = 0, copyMode = 0, copyRange = 0;
        QueueStats s;
        if (!(fields >> queue >> portId >> s.waiting >> copyMode >> copyRange >> s.dropped >>
              s.userDropped) ||
            queue > 0xFFFF) {
            continue;
        }
        stats[static_cast<uint16_t>(queue)] = s;
    }
    return stats;
}

}  // namespace divert::linuxworld
