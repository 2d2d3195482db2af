// Byte-order helpers. The library assumes a little-endian host, so every swap is
// unconditional.
#include "windivert.h"

extern "C" {

UINT16 WinDivertHelperNtohs(UINT16 x) {
    return __builtin_bswap16(x);
}
UINT16 WinDivertHelperHtons(UINT16 x) {
    return __builtin_bswap16(x);
}
UINT32 WinDivertHelperNtohl(UINT32 x) {
    return __builtin_bswap32(x);
}
UINT32 WinDivertHelperHtonl(UINT32 x) {
    return __builtin_bswap32(x);
}
UINT64 WinDivertHelperNtohll(UINT64 x) {
    return __builtin_bswap64(x);
}
UINT64 WinDivertHelperHtonll(UINT64 x) {
    return __builtin_bswap64(x);
}

void WinDivertHelperNtohIPv6Address(const UINT* inAddr, UINT* outAddr) {
    // Read all four words first: the two arrays may alias.
    UINT a = inAddr[0], b = inAddr[1], c = inAddr[2], d = inAddr[3];
    outAddr[0] = __builtin_bswap32(d);
    outAddr[1] = __builtin_bswap32(c);
    outAddr[2] = __builtin_bswap32(b);
    outAddr[3] = __builtin_bswap32(a);
}

void WinDivertHelperHtonIPv6Address(const UINT* inAddr, UINT* outAddr) {
    WinDivertHelperNtohIPv6Address(inAddr, outAddr);
}

void WinDivertHelperNtohIpv6Address(const UINT* inAddr, UINT* outAddr) {
    WinDivertHelperNtohIPv6Address(inAddr, outAddr);
}

void WinDivertHelperHtonIpv6Address(const UINT* inAddr, UINT* outAddr) {
    WinDivertHelperNtohIPv6Address(inAddr, outAddr);
}

}  // extern "C"
