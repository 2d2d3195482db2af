// IPv4/IPv6 address text: the parse and format helpers, and the internal forms the filter
// tokenizer and formatter use.
#include <cstring>

#include "divert/packet/Packet.h"

namespace divert::packet {
namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Copies `text` into `buffer` (bufLen bytes) with its NUL. When it does not fit, the buffer
// holds as much as fits followed by a NUL and the call fails with ERROR_INSUFFICIENT_BUFFER.
BOOL Deliver(const char* text, size_t length, char* buffer, UINT bufLen) {
    if (buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (length + 1 > bufLen) {
        if (bufLen > 0) {
            std::memcpy(buffer, text, bufLen - 1);
            buffer[bufLen - 1] = '\0';
        }
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(buffer, text, length);
    buffer[length] = '\0';
    return TRUE;
}

}  // namespace

bool ParseIPv4Text(const char* text, size_t length, uint32_t& address) {
    uint32_t result = 0;
    size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= length || text[i] != '.') return false;
            ++i;
        }
        size_t start = i;
        uint32_t value = 0;
        while (i < length && text[i] >= '0' && text[i] <= '9') {
            value = value * 10 + static_cast<uint32_t>(text[i] - '0');
            if (value > 255) return false;
            ++i;
        }
        if (i == start) return false;
        result = (result << 8) | value;
    }
    if (i != length) return false;
    address = result;
    return true;
}

bool ParseIPv6Text(const char* text, size_t length, uint32_t address[4]) {
    uint16_t head[8] = {}, tail[8] = {};
    int headCount = 0, tailCount = 0;
    bool gap = false;  // "::" seen
    size_t i = 0;

    if (length >= 2 && text[0] == ':' && text[1] == ':') {
        gap = true;
        i = 2;
    } else if (length >= 1 && text[0] == ':') {
        return false;
    }

    // The only embedded-IPv4 forms accepted: "::a.b.c.d" and "::ffff:a.b.c.d".
    if (gap) {
        const char* rest = text + 2;
        size_t restLength = length - 2;
        uint32_t v4;
        if (ParseIPv4Text(rest, restLength, v4)) {
            address[0] = v4;
            address[1] = address[2] = address[3] = 0;
            return true;
        }
        if (restLength > 5 && (rest[0] == 'f' || rest[0] == 'F') &&
            (rest[1] == 'f' || rest[1] == 'F') && (rest[2] == 'f' || rest[2] == 'F') &&
            (rest[3] == 'f' || rest[3] == 'F') && rest[4] == ':' &&
            ParseIPv4Text(rest + 5, restLength - 5, v4)) {
            address[0] = v4;
            address[1] = 0xFFFF;
            address[2] = address[3] = 0;
            return true;
        }
    }

    while (i < length) {
        // One group of 1-4 hex digits.
        size_t start = i;
        uint32_t value = 0;
        while (i < length && HexDigit(text[i]) >= 0) {
            if (i - start == 4) return false;
            value = (value << 4) | static_cast<uint32_t>(HexDigit(text[i]));
            ++i;
        }
        if (i == start) return false;
        if (headCount + tailCount == 8) return false;  // a ninth group
        if (gap) {
            tail[tailCount++] = static_cast<uint16_t>(value);
        } else {
            head[headCount++] = static_cast<uint16_t>(value);
        }
        if (i == length) break;
        if (text[i] != ':') return false;
        ++i;
        if (i < length && text[i] == ':') {
            if (gap) return false;  // a second "::"
            gap = true;
            ++i;
            continue;
        }
        if (i == length) return false;  // a single trailing ':'
    }

    int groups = headCount + tailCount;
    if (gap ? groups > 7 : groups != 8) return false;
    uint16_t all[8] = {};
    for (int g = 0; g < headCount; ++g)
        all[g] = head[g];
    for (int g = 0; g < tailCount; ++g)
        all[8 - tailCount + g] = tail[g];
    for (int w = 0; w < 4; ++w) {
        // Word 3 holds groups 0 and 1 (most significant).
        address[3 - w] = (uint32_t{all[2 * w]} << 16) | all[2 * w + 1];
    }
    return true;
}

size_t FormatIPv4Text(uint32_t address, char* out) {
    size_t n = 0;
    for (int shift = 24; shift >= 0; shift -= 8) {
        unsigned part = (address >> shift) & 0xFF;
        if (part >= 100) out[n++] = static_cast<char>('0' + part / 100);
        if (part >= 10) out[n++] = static_cast<char>('0' + part / 10 % 10);
        out[n++] = static_cast<char>('0' + part % 10);
        if (shift > 0) out[n++] = '.';
    }
    return n;
}

size_t FormatIPv6Text(const uint32_t address[4], char* out) {
    if (address[3] == 0 && address[2] == 0 && address[1] == 0xFFFF) {
        return FormatIPv4Text(address[0], out);
    }
    uint16_t groups[8];
    for (int w = 0; w < 4; ++w) {
        groups[2 * w] = static_cast<uint16_t>(address[3 - w] >> 16);
        groups[2 * w + 1] = static_cast<uint16_t>(address[3 - w]);
    }
    // The longest run of zero groups (the first on ties, even a single group) becomes "::".
    int bestStart = -1, bestLength = 0;
    for (int g = 0; g < 8;) {
        if (groups[g] != 0) {
            ++g;
            continue;
        }
        int start = g;
        while (g < 8 && groups[g] == 0)
            ++g;
        if (g - start > bestLength) {
            bestStart = start;
            bestLength = g - start;
        }
    }
    static constexpr char kHex[] = "0123456789abcdef";
    size_t n = 0;
    for (int g = 0; g < 8; ++g) {
        if (g == bestStart) {
            out[n++] = ':';
            out[n++] = ':';
            g += bestLength - 1;
            continue;
        }
        if (g > 0 && g != bestStart + bestLength) out[n++] = ':';
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            unsigned digit = (groups[g] >> shift) & 0xF;
            if (digit != 0 || started || shift == 0) {
                out[n++] = kHex[digit];
                started = true;
            }
        }
    }
    return n;
}

}  // namespace divert::packet

extern "C" {

BOOL WinDivertHelperParseIPv4Address(const char* addrStr, UINT32* pAddr) {
    uint32_t address;
    if (addrStr == nullptr ||
        !divert::packet::ParseIPv4Text(addrStr, std::strlen(addrStr), address)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (pAddr) *pAddr = address;
    return TRUE;
}

BOOL WinDivertHelperParseIPv6Address(const char* addrStr, UINT32* pAddr) {
    uint32_t address[4];
    if (addrStr == nullptr ||
        !divert::packet::ParseIPv6Text(addrStr, std::strlen(addrStr), address)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (pAddr) std::memcpy(pAddr, address, sizeof(address));
    return TRUE;
}

BOOL WinDivertHelperFormatIPv4Address(UINT32 addr, char* buffer, UINT bufLen) {
    char text[16];
    size_t n = divert::packet::FormatIPv4Text(addr, text);
    return divert::packet::Deliver(text, n, buffer, bufLen);
}

BOOL WinDivertHelperFormatIPv6Address(const UINT32* pAddr, char* buffer, UINT bufLen) {
    if (pAddr == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    char text[48];
    size_t n = divert::packet::FormatIPv6Text(pAddr, text);
    return divert::packet::Deliver(text, n, buffer, bufLen);
}

}  // extern "C"
