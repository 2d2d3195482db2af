// Reading the kernel's TCP sockets: sock_diag netlink dump and /proc/net text.
#include "platform/src/LinuxTcpTable.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform::linux_tcp {
namespace {

constexpr uint32_t kMappedPrefix = 0x0000FFFF;  // third word of ::ffff:a.b.c.d, host order

// Closes a descriptor on every path out of a reader.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// An IPv6 address (four words as stored in memory) that is IPv4-mapped; yields the IPv4
// address in host order.
bool MappedIpv4(const uint32_t words[4], uint32_t& address) {
    if (words[0] != 0 || words[1] != 0 || ntohl(words[2]) != kMappedPrefix) return false;
    address = ntohl(words[3]);
    return true;
}

// One dump of `family` sockets. Rows of AF_INET6 are kept only when both ends are
// IPv4-mapped.
bool DumpFamily(int family, std::vector<TcpRow>& rows) {
    FileDescriptor sock(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (sock.get() < 0) return false;

    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof(message);
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.request.sdiag_family = static_cast<uint8_t>(family);
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0u;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(sock.get(), &message, sizeof(message), 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof(kernel)) < 0) {
        return false;
    }

    // The kernel fills each datagram up to about 32 KiB; a larger buffer is never short.
    alignas(nlmsghdr) static thread_local char buffer[64 * 1024];
    for (;;) {
        ssize_t received = ::recv(sock.get(), buffer, sizeof(buffer), 0);
        if (received < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (received == 0) return false;
        int remaining = static_cast<int>(received);
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, remaining);
             header = NLMSG_NEXT(header, remaining)) {
            if (header->nlmsg_type == NLMSG_DONE) return true;
            if (header->nlmsg_type == NLMSG_ERROR) return false;
            if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY) continue;
            if (header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) continue;
            const auto* entry = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
            TcpRow row;
            if (entry->idiag_family == AF_INET) {
                row.localAddr = ntohl(entry->id.idiag_src[0]);
                row.remoteAddr = ntohl(entry->id.idiag_dst[0]);
            } else if (entry->idiag_family != AF_INET6 ||
                       !MappedIpv4(entry->id.idiag_src, row.localAddr) ||
                       !MappedIpv4(entry->id.idiag_dst, row.remoteAddr)) {
                // A listener on "::" has an all-zero remote address: not mapped, and not an
                // IPv4 connection either.
                continue;
            }
            row.state = FromKernelState(entry->idiag_state);
            row.localPort = ntohs(entry->id.idiag_sport);
            row.remotePort = ntohs(entry->id.idiag_dport);
            rows.push_back(row);
        }
    }
}

// Whole file into `text`; /proc files report size 0, so read until end of file.
bool ReadWholeFile(const char* path, std::string& text) {
    FileDescriptor file(::open(path, O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) return false;
    text.clear();
    size_t used = 0;
    for (;;) {
        if (text.size() - used < 64 * 1024) text.resize(used + 256 * 1024);
        ssize_t got = ::read(file.get(), text.data() + used, text.size() - used);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) break;
        used += static_cast<size_t>(got);
    }
    text.resize(used);
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Parses exactly `digits` hex digits at `p`; advances `p`.
bool ParseHex(const char*& p, const char* end, int digits, uint32_t& value) {
    if (end - p < digits) return false;
    value = 0;
    for (int i = 0; i < digits; ++i) {
        int d = HexDigit(p[i]);
        if (d < 0) return false;
        value = (value << 4) | static_cast<uint32_t>(d);
    }
    p += digits;
    return true;
}

// "ADDR:PORT" where ADDR is `words` 32-bit words, each the hex of the in-memory value.
bool ParseEndpoint(const char*& p, const char* end, int words, uint32_t (&address)[4],
                   uint32_t& port) {
    for (int i = 0; i < words; ++i) {
        uint32_t word = 0;
        if (!ParseHex(p, end, 8, word)) return false;
        address[i] = word;
    }
    if (p == end || *p != ':') return false;
    ++p;
    return ParseHex(p, end, 4, port);
}

void SkipSpaces(const char*& p, const char* end) {
    while (p != end && *p == ' ')
        ++p;
}

// Rows of one /proc/net/tcp{,6} text. Lines that do not parse are skipped.
void ParseProcText(const std::string& text, int words, std::vector<TcpRow>& rows) {
    const char* p = text.data();
    const char* end = p + text.size();
    const char* lineEnd = static_cast<const char*>(std::memchr(p, '\n', text.size()));
    if (lineEnd == nullptr) return;
    p = lineEnd + 1;  // header
    for (; p < end; p = lineEnd + 1) {
        lineEnd = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        if (lineEnd == nullptr) lineEnd = end;
        const char* q = p;
        SkipSpaces(q, lineEnd);
        while (q != lineEnd && *q != ':')
            ++q;  // slot number
        if (q == lineEnd) continue;
        ++q;
        SkipSpaces(q, lineEnd);
        uint32_t local[4] = {}, remote[4] = {}, localPort = 0, remotePort = 0, state = 0;
        if (!ParseEndpoint(q, lineEnd, words, local, localPort)) continue;
        SkipSpaces(q, lineEnd);
        if (!ParseEndpoint(q, lineEnd, words, remote, remotePort)) continue;
        SkipSpaces(q, lineEnd);
        if (!ParseHex(q, lineEnd, 2, state)) continue;
        TcpRow row;
        if (words == 1) {
            row.localAddr = ntohl(local[0]);
            row.remoteAddr = ntohl(remote[0]);
        } else if (!MappedIpv4(local, row.localAddr) || !MappedIpv4(remote, row.remoteAddr)) {
            continue;
        }
        row.state = FromKernelState(state);
        row.localPort = static_cast<uint16_t>(localPort);
        row.remotePort = static_cast<uint16_t>(remotePort);
        rows.push_back(row);
    }
}

}  // namespace

TcpState FromKernelState(unsigned state) {
    switch (state) {
        case 1:
            return TcpState::Established;
        case 2:
            return TcpState::SynSent;
        case 3:
            return TcpState::SynReceived;
        case 4:
            return TcpState::FinWait1;
        case 5:
            return TcpState::FinWait2;
        case 6:
            return TcpState::TimeWait;
        case 7:
            return TcpState::Closed;
        case 8:
            return TcpState::CloseWait;
        case 9:
            return TcpState::LastAck;
        case 10:
            return TcpState::Listen;
        case 11:
            return TcpState::Closing;
        case 12:
            return TcpState::SynReceived;  // request socket of a listener
        default:
            return TcpState::Closed;
    }
}

bool ReadSockDiag(std::vector<TcpRow>& rows) {
    size_t before = rows.size();
    if (DumpFamily(AF_INET, rows) && DumpFamily(AF_INET6, rows)) return true;
    rows.resize(before);
    return false;
}

bool ReadProcNet(std::vector<TcpRow>& rows) {
    std::string text;
    bool any = false;
    if (ReadWholeFile("/proc/net/tcp", text)) {
        ParseProcText(text, 1, rows);
        any = true;
    }
    if (ReadWholeFile("/proc/net/tcp6", text)) {
        ParseProcText(text, 4, rows);
        any = true;
    }
    return any;
}

}  // namespace platform::linux_tcp
