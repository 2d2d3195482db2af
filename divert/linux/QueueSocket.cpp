#include "divert/linux/QueueSocket.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink_queue.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace divert::linuxworld {
namespace {

// A whole packet and its attributes; a multiple of 8 so that every datagram (each begins
// with a netlink header) is aligned.
constexpr size_t kDatagramBytes = 0x10000 + 512;
static_assert(kDatagramBytes % 8 == 0);
constexpr int kSocketBufferBytes = 16 << 20;

std::string Failure(const char* step, uint16_t queue, int code) {
    return std::string(step) + " for packet queue " + std::to_string(queue) +
           " failed: " + std::strerror(code) + " (errno " + std::to_string(code) + ")";
}

}  // namespace

QueueSocket::~QueueSocket() {
    Close();
}

void QueueSocket::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool QueueSocket::Open(uint16_t queue, uint32_t maxLength, std::string* error) {
    Close();
    queue_ = queue;
    fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
    if (fd_ < 0) {
        *error = Failure("opening the netlink socket", queue, errno);
        return false;
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    socklen_t length = sizeof local;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) < 0) {
        *error = Failure("binding the netlink socket", queue, errno);
        Close();
        return false;
    }
    portId_ = local.nl_pid;
    // Room for bursts; a full buffer costs packets (counted by the kernel as user drops),
    // never an error on the socket.
    int size = kSocketBufferBytes;
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) < 0)
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    // Verdict writes go up to VerdictBatch::kDefaultCapacity; leave room for several
    // threads writing at once.
    size = kSocketBufferBytes;
    if (::setsockopt(fd_, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) < 0)
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    int on = 1;
    ::setsockopt(fd_, SOL_NETLINK, NETLINK_NO_ENOBUFS, &on, sizeof on);

    char request[512];
    nlmsghdr* message = nfq_nlmsg_put(request, NFQNL_MSG_CONFIG, queue);
    nfq_nlmsg_cfg_put_cmd(message, AF_INET, NFQNL_CFG_CMD_BIND);
    message->nlmsg_flags |= NLM_F_ACK;
    if (!Write(reinterpret_cast<uint8_t*>(request), message->nlmsg_len)) {
        *error = Failure("binding", queue, errno);
        Close();
        return false;
    }
    // The acknowledgement tells whether another process holds the queue (EBUSY).
    std::vector<uint8_t> reply(8192);
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) {
        *error = Failure("binding (no answer)", queue, ETIMEDOUT);
        Close();
        return false;
    }
    const ssize_t n = ::recv(fd_, reply.data(), reply.size(), 0);
    if (n >= static_cast<ssize_t>(sizeof(nlmsghdr) + sizeof(nlmsgerr))) {
        const auto* h = reinterpret_cast<const nlmsghdr*>(reply.data());
        if (h->nlmsg_type == NLMSG_ERROR) {
            const auto* e = static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(h));
            if (e->error != 0) {
                *error = Failure("binding", queue, -e->error);
                Close();
                return false;
            }
        }
    }

    message = nfq_nlmsg_put(request, NFQNL_MSG_CONFIG, queue);
    nfq_nlmsg_cfg_put_params(message, NFQNL_COPY_PACKET, 0xFFFF);
    nfq_nlmsg_cfg_put_qmaxlen(message, maxLength);
    if (!Write(reinterpret_cast<uint8_t*>(request), message->nlmsg_len)) {
        *error = Failure("configuring", queue, errno);
        Close();
        return false;
    }

    buffer_.assign(kBatch * kDatagramBytes, 0);
    messages_.assign(kBatch, mmsghdr{});
    vectors_.assign(kBatch, iovec{});
    for (size_t i = 0; i < kBatch; ++i) {
        vectors_[i].iov_base = buffer_.data() + i * kDatagramBytes;
        vectors_[i].iov_len = kDatagramBytes;
        messages_[i].msg_hdr.msg_iov = &vectors_[i];
        messages_[i].msg_hdr.msg_iovlen = 1;
    }
    return true;
}

bool QueueSocket::Receive(int timeoutMs, std::vector<QueuedPacket>* packets, bool* full) {
    if (full != nullptr) *full = false;
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, timeoutMs);
    if (ready < 0) return errno == EINTR;
    if (ready == 0) return true;
    const int got = ::recvmmsg(fd_, messages_.data(), kBatch, MSG_DONTWAIT, nullptr);
    if (got < 0) return errno == EAGAIN || errno == EINTR || errno == ENOBUFS;
    if (full != nullptr) *full = static_cast<size_t>(got) == kBatch;
    for (int i = 0; i < got; ++i) {
        int length = static_cast<int>(messages_[i].msg_len);
        for (auto* h = static_cast<nlmsghdr*>(vectors_[i].iov_base); mnl_nlmsg_ok(h, length);
             h = mnl_nlmsg_next(h, &length)) {
            QueuedPacket packet;
            if (ParsePacketMessage(h, &packet)) packets->push_back(packet);
        }
    }
    return true;
}

bool QueueSocket::Write(const uint8_t* data, size_t length) {
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    for (;;) {
        const ssize_t n =
            ::sendto(fd_, data, length, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
        if (n >= 0) return true;
        if (errno != EINTR) return false;
    }
}

}  // namespace divert::linuxworld
