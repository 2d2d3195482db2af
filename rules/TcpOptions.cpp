#include "rules/TcpOptions.h"

namespace bastion {

namespace {
constexpr size_t kFixedHeader = 20;
constexpr size_t kMaxOptionBytes = 40;
}  // namespace

TcpOptionSummary ScanTcpOptions(const uint8_t* tcpHeader, size_t available) {
    TcpOptionSummary summary;
    if (tcpHeader == nullptr || available <= kFixedHeader) return summary;
    size_t headerLength = size_t{static_cast<uint8_t>(tcpHeader[12] >> 4)} * 4;
    if (headerLength <= kFixedHeader) return summary;
    if (headerLength > available) headerLength = available;
    const uint8_t* options = tcpHeader + kFixedHeader;
    const size_t length = headerLength - kFixedHeader;

    // The index is kept in 8 bits, as the option lengths are.
    for (uint8_t i = 0; i < length && i < kMaxOptionBytes;) {
        uint8_t kind = options[i];
        if (kind == 0) break;
        if (kind == 1) {
            ++i;
            continue;
        }
        if (size_t{i} + 1 >= length) break;
        uint8_t optionLength = options[i + 1];
        if (optionLength < 2 || size_t{i} + optionLength > length) break;
        ++summary.optionCount;
        if (kind == 2 && optionLength == 4) {
            summary.mss = static_cast<uint16_t>((options[i + 2] << 8) | options[i + 3]);
        } else if (kind == 3 && optionLength == 3) {
            summary.hasWindowScale = true;
        } else if (kind == 8 && optionLength == 10) {
            summary.hasTimestamps = true;
        }
        i = static_cast<uint8_t>(i + optionLength);
    }
    return summary;
}

}  // namespace bastion
