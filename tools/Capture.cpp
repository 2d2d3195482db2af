#include "tools/Capture.h"

#include <pcap/pcap.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "control/AtomicFile.h"

namespace bastion::tools {
namespace {

constexpr int kLinkNull = 0;      // DLT_NULL: 4-byte address family, host order
constexpr int kLinkEthernet = 1;  // DLT_EN10MB
constexpr int kLinkRaw = 12;      // DLT_RAW on most systems
constexpr int kLinkRaw14 = 14;    // DLT_RAW on some BSDs
constexpr int kLinkLoop = 108;    // DLT_LOOP: as NULL, network order
constexpr int kLinkRawIp = 101;   // LINKTYPE_RAW
constexpr int kLinkSll = 113;     // LINUX_SLL
constexpr int kLinkIpv4 = 228;    // LINKTYPE_IPV4
constexpr int kLinkSll2 = 276;    // LINUX_SLL2

bool Supported(int link) {
    switch (link) {
        case kLinkNull:
        case kLinkEthernet:
        case kLinkRaw:
        case kLinkRaw14:
        case kLinkLoop:
        case kLinkRawIp:
        case kLinkSll:
        case kLinkIpv4:
        case kLinkSll2:
            return true;
        default:
            return false;
    }
}

uint16_t Load16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// Where the IPv4 header of a frame starts, if it carries IPv4.
std::optional<size_t> Ipv4Offset(int link, const std::vector<uint8_t>& f) {
    size_t at = 0;
    switch (link) {
        case kLinkEthernet: {
            if (f.size() < 14) return std::nullopt;
            uint16_t type = Load16(&f[12]);
            at = 14;
            // Up to two VLAN tags (802.1Q, 802.1ad).
            for (int tags = 0; tags < 2 && (type == 0x8100 || type == 0x88A8); ++tags) {
                if (f.size() < at + 4) return std::nullopt;
                type = Load16(&f[at + 2]);
                at += 4;
            }
            if (type != 0x0800) return std::nullopt;
            break;
        }
        case kLinkSll:
            if (f.size() < 16 || Load16(&f[14]) != 0x0800) return std::nullopt;
            at = 16;
            break;
        case kLinkSll2:
            if (f.size() < 20 || Load16(&f[0]) != 0x0800) return std::nullopt;
            at = 20;
            break;
        case kLinkNull:
        case kLinkLoop: {
            if (f.size() < 4) return std::nullopt;
            // AF_INET is 2 everywhere; NULL stores it in the writer's byte order.
            const bool inet = (f[0] == 2 && f[1] == 0 && f[2] == 0 && f[3] == 0) ||
                              (f[0] == 0 && f[1] == 0 && f[2] == 0 && f[3] == 2);
            if (!inet) return std::nullopt;
            at = 4;
            break;
        }
        default:
            at = 0;
            break;
    }
    if (f.size() < at + 20 || (f[at] >> 4) != 4) return std::nullopt;
    return at;
}

}  // namespace

CaptureReader::~CaptureReader() {
    if (handle_ != nullptr) pcap_close(handle_);
}

std::unique_ptr<CaptureReader> CaptureReader::Open(const std::string& path, std::string* error) {
    char message[PCAP_ERRBUF_SIZE] = {};
    pcap* handle =
        pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_MICRO, message);
    if (handle == nullptr) {
        *error = "cannot read " + path + ": " + message;
        return nullptr;
    }
    std::unique_ptr<CaptureReader> reader(new CaptureReader());
    reader->handle_ = handle;
    reader->path_ = path;
    reader->linkType_ = pcap_datalink(handle);
    reader->snapLength_ = pcap_snapshot(handle);
    if (!Supported(reader->linkType_)) {
        const char* name = pcap_datalink_val_to_name(reader->linkType_);
        *error = "cannot read " + path + ": link type " + std::to_string(reader->linkType_) +
                 (name != nullptr ? std::string(" (") + name + ")" : std::string()) +
                 " is not supported (Ethernet, raw IP, Linux cooked or loopback captures are)";
        return nullptr;
    }
    return reader;
}

std::optional<CaptureFrame> CaptureReader::Next() {
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    const int result = pcap_next_ex(handle_, &header, &data);
    if (result == PCAP_ERROR_BREAK) return std::nullopt;  // the end of the file
    if (result != 1) {
        error_ = "cannot read " + path_ + ": " + pcap_geterr(handle_);
        return std::nullopt;
    }
    CaptureFrame frame;
    frame.timeMicros = int64_t{header->ts.tv_sec} * 1'000'000 + header->ts.tv_usec;
    frame.bytes.assign(data, data + header->caplen);
    frame.wireLength = header->len;
    frame.ipOffset = Ipv4Offset(linkType_, frame.bytes);
    return frame;
}

CaptureWriter::CaptureWriter(int linkType, int snapLength)
    : linkType_(linkType), snapLength_(snapLength > 0 ? snapLength : 262144) {}

void CaptureWriter::Add(const CaptureFrame& frame) {
    frames_.push_back(frame);
}

bool CaptureWriter::WriteTo(const std::string& path, std::string* error) const {
    // libpcap writes the file format into memory; the atomic writer puts it on disk.
    char* buffer = nullptr;
    size_t size = 0;
    FILE* memory = open_memstream(&buffer, &size);
    if (memory == nullptr) {
        *error = "cannot write " + path + ": " + ErrnoText(errno);
        return false;
    }
    pcap* dead = pcap_open_dead(linkType_, snapLength_);
    pcap_dumper* dumper = dead != nullptr ? pcap_dump_fopen(dead, memory) : nullptr;
    if (dumper == nullptr) {
        *error = "cannot write " + path + ": " +
                 (dead != nullptr ? pcap_geterr(dead) : "libpcap could not start a capture");
        if (dead != nullptr) pcap_close(dead);
        std::fclose(memory);
        std::free(buffer);
        return false;
    }
    for (const CaptureFrame& f : frames_) {
        pcap_pkthdr header{};
        header.ts.tv_sec = static_cast<time_t>(f.timeMicros / 1'000'000);
        header.ts.tv_usec = static_cast<suseconds_t>(f.timeMicros % 1'000'000);
        header.caplen = static_cast<uint32_t>(f.bytes.size());
        header.len = f.wireLength;
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, f.bytes.data());
    }
    pcap_dump_close(dumper);  // flushes and closes the memory stream
    pcap_close(dead);
    std::string bytes(buffer, size);
    std::free(buffer);

    AtomicFileWriter writer(path);
    if (!writer.Open()) {
        *error = writer.Error();
        return false;
    }
    writer.Write(bytes);
    if (!writer.Commit()) {
        *error = writer.Error();
        return false;
    }
    return true;
}

}  // namespace bastion::tools
