#include "tools/TrafficClass.h"

namespace bastion::tools {
namespace {

constexpr std::array<std::string_view, kTrafficClassCount> kNames = {
    "legit-tcp", "legit-udp", "legit-icmp", "syn-spoofed", "ack-flood",     "tcp-single",
    "syn-few",   "udp-flood", "udp-amp",    "icmp-flood",  "tcp-malformed",
};

}  // namespace

std::string_view ClassName(TrafficClass c) {
    const auto index = static_cast<size_t>(c);
    return index < kNames.size() ? kNames[index] : std::string_view("unknown");
}

std::optional<TrafficClass> ClassFromName(std::string_view name) {
    for (size_t i = 0; i < kNames.size(); ++i) {
        if (kNames[i] == name) return static_cast<TrafficClass>(i);
    }
    return std::nullopt;
}

std::optional<TrafficClass> ClassOfPacket(const uint8_t* packet, size_t length) {
    if (length < 20 || (packet[0] >> 4) != 4) return std::nullopt;
    const unsigned value = packet[4] >> 4;
    if (value >= kTrafficClassCount) return std::nullopt;
    return static_cast<TrafficClass>(value);
}

}  // namespace bastion::tools
