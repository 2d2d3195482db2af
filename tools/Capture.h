// Reading and writing packet captures (libpcap's file format) for the replay.
//
// CaptureReader yields every frame of a capture with its time stamp and where its IPv4
// header starts, for the link types captures of a server commonly have: Ethernet (with
// one or two VLAN tags), raw IP, Linux cooked (v1 and v2) and BSD loopback.
// CaptureWriter collects frames and writes them as one capture file, atomically.
//
// Thread-safety: one thread per object.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct pcap;
struct pcap_dumper;

namespace bastion::tools {

struct CaptureFrame {
    int64_t timeMicros = 0;      // time stamp, microseconds since 1970
    std::vector<uint8_t> bytes;  // the frame as captured
    uint32_t wireLength = 0;     // length on the wire (bytes may be cut at the snap length)
    // Offset of the IPv4 header in `bytes`; nullopt when the frame carries no IPv4.
    std::optional<size_t> ipOffset;
};

class CaptureReader {
  public:
    ~CaptureReader();
    CaptureReader(const CaptureReader&) = delete;
    CaptureReader& operator=(const CaptureReader&) = delete;

    // Null with `error` set ("cannot read x.pcap: ...") when the file cannot be opened as
    // a capture or its link type is not one of the supported ones.
    static std::unique_ptr<CaptureReader> Open(const std::string& path, std::string* error);

    // The next frame; nullopt at the end or on a read error (then Error() is set).
    std::optional<CaptureFrame> Next();
    const std::string& Error() const { return error_; }
    int LinkType() const { return linkType_; }
    int SnapLength() const { return snapLength_; }

  private:
    CaptureReader() = default;

    pcap* handle_ = nullptr;
    int linkType_ = 0;
    int snapLength_ = 0;
    std::string path_;
    std::string error_;
};

class CaptureWriter {
  public:
    CaptureWriter(int linkType, int snapLength);
    void Add(const CaptureFrame& frame);
    size_t Count() const { return frames_.size(); }
    // Writes every frame added so far to `path`, replacing it atomically. False with
    // `error` set on failure.
    bool WriteTo(const std::string& path, std::string* error) const;

  private:
    int linkType_, snapLength_;
    std::vector<CaptureFrame> frames_;
};

}  // namespace bastion::tools
