// The packet-diversion API (version 2.2): types, constants, header overlays and the
// functions the engine calls. On Windows the vendor's header takes this file's place;
// on Linux the divert/ library implements it with the same names, values and layouts.
#pragma once

#include "platform/Win32.h"

#ifdef __cplusplus
extern "C" {
#endif

// ---- Layers, events, flags, parameters ---------------------------------------------------
typedef enum {
    WINDIVERT_LAYER_NETWORK = 0,
    WINDIVERT_LAYER_NETWORK_FORWARD = 1,
    WINDIVERT_LAYER_FLOW = 2,
    WINDIVERT_LAYER_SOCKET = 3,
    WINDIVERT_LAYER_REFLECT = 4,
} WINDIVERT_LAYER,
    *PWINDIVERT_LAYER;

typedef enum {
    WINDIVERT_EVENT_NETWORK_PACKET = 0,
    WINDIVERT_EVENT_FLOW_ESTABLISHED = 1,
    WINDIVERT_EVENT_FLOW_DELETED = 2,
    WINDIVERT_EVENT_SOCKET_BIND = 3,
    WINDIVERT_EVENT_SOCKET_CONNECT = 4,
    WINDIVERT_EVENT_SOCKET_LISTEN = 5,
    WINDIVERT_EVENT_SOCKET_ACCEPT = 6,
    WINDIVERT_EVENT_SOCKET_CLOSE = 7,
    WINDIVERT_EVENT_REFLECT_OPEN = 8,
    WINDIVERT_EVENT_REFLECT_CLOSE = 9,
} WINDIVERT_EVENT,
    *PWINDIVERT_EVENT;

#define WINDIVERT_FLAG_SNIFF 0x0001
#define WINDIVERT_FLAG_DROP 0x0002
#define WINDIVERT_FLAG_RECV_ONLY 0x0004
#define WINDIVERT_FLAG_READ_ONLY WINDIVERT_FLAG_RECV_ONLY
#define WINDIVERT_FLAG_SEND_ONLY 0x0008
#define WINDIVERT_FLAG_WRITE_ONLY WINDIVERT_FLAG_SEND_ONLY
#define WINDIVERT_FLAG_NO_INSTALL 0x0010
#define WINDIVERT_FLAG_FRAGMENTS 0x0020

typedef enum {
    WINDIVERT_PARAM_QUEUE_LENGTH = 0,
    WINDIVERT_PARAM_QUEUE_TIME = 1,
    WINDIVERT_PARAM_QUEUE_SIZE = 2,
    WINDIVERT_PARAM_VERSION_MAJOR = 3,
    WINDIVERT_PARAM_VERSION_MINOR = 4,
} WINDIVERT_PARAM,
    *PWINDIVERT_PARAM;
#define WINDIVERT_PARAM_MAX WINDIVERT_PARAM_VERSION_MINOR

typedef enum {
    WINDIVERT_SHUTDOWN_RECV = 0x1,
    WINDIVERT_SHUTDOWN_SEND = 0x2,
    WINDIVERT_SHUTDOWN_BOTH = 0x3,
} WINDIVERT_SHUTDOWN,
    *PWINDIVERT_SHUTDOWN;
#define WINDIVERT_SHUTDOWN_MAX WINDIVERT_SHUTDOWN_BOTH

#define WINDIVERT_PRIORITY_HIGHEST 30000
#define WINDIVERT_PRIORITY_LOWEST (-WINDIVERT_PRIORITY_HIGHEST)
#define WINDIVERT_PARAM_QUEUE_LENGTH_DEFAULT 4096
#define WINDIVERT_PARAM_QUEUE_LENGTH_MIN 32
#define WINDIVERT_PARAM_QUEUE_LENGTH_MAX 16384
#define WINDIVERT_PARAM_QUEUE_TIME_DEFAULT 2000
#define WINDIVERT_PARAM_QUEUE_TIME_MIN 100
#define WINDIVERT_PARAM_QUEUE_TIME_MAX 16000
#define WINDIVERT_PARAM_QUEUE_SIZE_DEFAULT 4194304
#define WINDIVERT_PARAM_QUEUE_SIZE_MIN 65535
#define WINDIVERT_PARAM_QUEUE_SIZE_MAX 33554432
#define WINDIVERT_BATCH_MAX 0xFF
#define WINDIVERT_MTU_MAX (40 + 0xFFFF)

#define WINDIVERT_HELPER_NO_IP_CHECKSUM 1
#define WINDIVERT_HELPER_NO_ICMP_CHECKSUM 2
#define WINDIVERT_HELPER_NO_ICMPV6_CHECKSUM 4
#define WINDIVERT_HELPER_NO_TCP_CHECKSUM 8
#define WINDIVERT_HELPER_NO_UDP_CHECKSUM 16

// ---- WINDIVERT_ADDRESS (80 bytes) -------------------------------------------------------
typedef struct {
    UINT32 IfIdx;
    UINT32 SubIfIdx;
} WINDIVERT_DATA_NETWORK, *PWINDIVERT_DATA_NETWORK;

typedef struct {
    UINT64 EndpointId;
    UINT64 ParentEndpointId;
    UINT32 ProcessId;
    UINT32 LocalAddr[4];
    UINT32 RemoteAddr[4];
    UINT16 LocalPort;
    UINT16 RemotePort;
    UINT8 Protocol;
} WINDIVERT_DATA_FLOW, *PWINDIVERT_DATA_FLOW;

typedef struct {
    UINT64 EndpointId;
    UINT64 ParentEndpointId;
    UINT32 ProcessId;
    UINT32 LocalAddr[4];
    UINT32 RemoteAddr[4];
    UINT16 LocalPort;
    UINT16 RemotePort;
    UINT8 Protocol;
} WINDIVERT_DATA_SOCKET, *PWINDIVERT_DATA_SOCKET;

typedef struct {
    INT64 Timestamp;
    UINT32 ProcessId;
    WINDIVERT_LAYER Layer;
    UINT64 Flags;
    INT16 Priority;
} WINDIVERT_DATA_REFLECT, *PWINDIVERT_DATA_REFLECT;

typedef struct {
    INT64 Timestamp;
    UINT32 Layer : 8;
    UINT32 Event : 8;
    UINT32 Sniffed : 1;
    UINT32 Outbound : 1;
    UINT32 Loopback : 1;
    UINT32 Impostor : 1;
    UINT32 IPv6 : 1;
    UINT32 IPChecksum : 1;
    UINT32 TCPChecksum : 1;
    UINT32 UDPChecksum : 1;
    UINT32 Reserved1 : 8;
    UINT32 Reserved2;
    union {
        WINDIVERT_DATA_NETWORK Network;
        WINDIVERT_DATA_FLOW Flow;
        WINDIVERT_DATA_SOCKET Socket;
        WINDIVERT_DATA_REFLECT Reflect;
        UINT8 Reserved3[64];
    };
} WINDIVERT_ADDRESS, *PWINDIVERT_ADDRESS;

// ---- Protocol header overlays (fields in network byte order) ----------------------------
typedef struct {
    UINT8 HdrLength : 4;
    UINT8 Version : 4;
    UINT8 TOS;
    UINT16 Length;
    UINT16 Id;
    UINT16 FragOff0;
    UINT8 TTL;
    UINT8 Protocol;
    UINT16 Checksum;
    UINT32 SrcAddr;
    UINT32 DstAddr;
} WINDIVERT_IPHDR, *PWINDIVERT_IPHDR;

#define WINDIVERT_IPHDR_GET_FRAGOFF(hdr) (((hdr)->FragOff0) & 0xFF1F)
#define WINDIVERT_IPHDR_GET_MF(hdr) ((((hdr)->FragOff0) & 0x0020) != 0)
#define WINDIVERT_IPHDR_GET_DF(hdr) ((((hdr)->FragOff0) & 0x0040) != 0)
#define WINDIVERT_IPHDR_GET_RESERVED(hdr) ((((hdr)->FragOff0) & 0x0080) != 0)
#define WINDIVERT_IPHDR_SET_FRAGOFF(hdr, val)                            \
    do {                                                                 \
        (hdr)->FragOff0 = (((hdr)->FragOff0) & 0x00E0) | ((val)&0xFF1F); \
    } while (FALSE)
#define WINDIVERT_IPHDR_SET_MF(hdr, val)                                        \
    do {                                                                        \
        (hdr)->FragOff0 = (((hdr)->FragOff0) & 0xFFDF) | (((val)&0x0001) << 5); \
    } while (FALSE)
#define WINDIVERT_IPHDR_SET_DF(hdr, val)                                        \
    do {                                                                        \
        (hdr)->FragOff0 = (((hdr)->FragOff0) & 0xFFBF) | (((val)&0x0001) << 6); \
    } while (FALSE)
#define WINDIVERT_IPHDR_SET_RESERVED(hdr, val)                                  \
    do {                                                                        \
        (hdr)->FragOff0 = (((hdr)->FragOff0) & 0xFF7F) | (((val)&0x0001) << 7); \
    } while (FALSE)

typedef struct {
    UINT8 TrafficClass0 : 4;
    UINT8 Version : 4;
    UINT8 FlowLabel0 : 4;
    UINT8 TrafficClass1 : 4;
    UINT16 FlowLabel1;
    UINT16 Length;
    UINT8 NextHdr;
    UINT8 HopLimit;
    UINT32 SrcAddr[4];
    UINT32 DstAddr[4];
} WINDIVERT_IPV6HDR, *PWINDIVERT_IPV6HDR;

#define WINDIVERT_IPV6HDR_GET_TRAFFICCLASS(hdr) \
    ((((hdr)->TrafficClass0) << 4) | ((hdr)->TrafficClass1))
#define WINDIVERT_IPV6HDR_SET_TRAFFICCLASS(hdr, val) \
    do {                                             \
        (hdr)->TrafficClass0 = ((UINT8)(val) >> 4);  \
        (hdr)->TrafficClass1 = (UINT8)(val)&0x0F;    \
    } while (FALSE)
#define WINDIVERT_IPV6HDR_GET_FLOWLABEL(hdr) \
    ((((UINT32)(hdr)->FlowLabel0) << 16) | ((UINT32)(hdr)->FlowLabel1))
#define WINDIVERT_IPV6HDR_SET_FLOWLABEL(hdr, val)        \
    do {                                                 \
        (hdr)->FlowLabel0 = (UINT8)((val) >> 16) & 0x0F; \
        (hdr)->FlowLabel1 = (UINT16)(val);               \
    } while (FALSE)

typedef struct {
    UINT8 Type;
    UINT8 Code;
    UINT16 Checksum;
    UINT32 Body;
} WINDIVERT_ICMPHDR, *PWINDIVERT_ICMPHDR;

typedef struct {
    UINT8 Type;
    UINT8 Code;
    UINT16 Checksum;
    UINT32 Body;
} WINDIVERT_ICMPV6HDR, *PWINDIVERT_ICMPV6HDR;

typedef struct {
    UINT16 SrcPort;
    UINT16 DstPort;
    UINT32 SeqNum;
    UINT32 AckNum;
    UINT16 Reserved1 : 4;
    UINT16 HdrLength : 4;
    UINT16 Fin : 1;
    UINT16 Syn : 1;
    UINT16 Rst : 1;
    UINT16 Psh : 1;
    UINT16 Ack : 1;
    UINT16 Urg : 1;
    UINT16 Reserved2 : 2;
    UINT16 Window;
    UINT16 Checksum;
    UINT16 UrgPtr;
} WINDIVERT_TCPHDR, *PWINDIVERT_TCPHDR;

typedef struct {
    UINT16 SrcPort;
    UINT16 DstPort;
    UINT16 Length;
    UINT16 Checksum;
} WINDIVERT_UDPHDR, *PWINDIVERT_UDPHDR;

// ---- Handles and I/O --------------------------------------------------------------------
HANDLE WinDivertOpen(const char* filter, WINDIVERT_LAYER layer, INT16 priority, UINT64 flags);
BOOL WinDivertRecv(HANDLE handle, VOID* pPacket, UINT packetLen, UINT* pRecvLen,
                   WINDIVERT_ADDRESS* pAddr);
BOOL WinDivertRecvEx(HANDLE handle, VOID* pPacket, UINT packetLen, UINT* pRecvLen, UINT64 flags,
                     WINDIVERT_ADDRESS* pAddr, UINT* pAddrLen, LPOVERLAPPED lpOverlapped);
BOOL WinDivertSend(HANDLE handle, const VOID* pPacket, UINT packetLen, UINT* pSendLen,
                   const WINDIVERT_ADDRESS* pAddr);
BOOL WinDivertSendEx(HANDLE handle, const VOID* pPacket, UINT packetLen, UINT* pSendLen,
                     UINT64 flags, const WINDIVERT_ADDRESS* pAddr, UINT addrLen,
                     LPOVERLAPPED lpOverlapped);
BOOL WinDivertShutdown(HANDLE handle, WINDIVERT_SHUTDOWN how);
BOOL WinDivertClose(HANDLE handle);
BOOL WinDivertSetParam(HANDLE handle, WINDIVERT_PARAM param, UINT64 value);
BOOL WinDivertGetParam(HANDLE handle, WINDIVERT_PARAM param, UINT64* pValue);

// ---- Helpers ----------------------------------------------------------------------------
#ifdef __cplusplus
UINT64 WinDivertHelperHashPacket(const VOID* pPacket, UINT packetLen, UINT64 seed = 0);
#else
UINT64 WinDivertHelperHashPacket(const VOID* pPacket, UINT packetLen, UINT64 seed);
#endif
BOOL WinDivertHelperParsePacket(const VOID* pPacket, UINT packetLen, PWINDIVERT_IPHDR* ppIpHdr,
                                PWINDIVERT_IPV6HDR* ppIpv6Hdr, UINT8* pProtocol,
                                PWINDIVERT_ICMPHDR* ppIcmpHdr, PWINDIVERT_ICMPV6HDR* ppIcmpv6Hdr,
                                PWINDIVERT_TCPHDR* ppTcpHdr, PWINDIVERT_UDPHDR* ppUdpHdr,
                                PVOID* ppData, UINT* pDataLen, PVOID* ppNext, UINT* pNextLen);
BOOL WinDivertHelperParseIPv4Address(const char* addrStr, UINT32* pAddr);
BOOL WinDivertHelperParseIPv6Address(const char* addrStr, UINT32* pAddr);
BOOL WinDivertHelperFormatIPv4Address(UINT32 addr, char* buffer, UINT bufLen);
BOOL WinDivertHelperFormatIPv6Address(const UINT32* pAddr, char* buffer, UINT bufLen);
BOOL WinDivertHelperCalcChecksums(VOID* pPacket, UINT packetLen, WINDIVERT_ADDRESS* pAddr,
                                  UINT64 flags);
BOOL WinDivertHelperDecrementTTL(VOID* pPacket, UINT packetLen);
BOOL WinDivertHelperCompileFilter(const char* filter, WINDIVERT_LAYER layer, char* object,
                                  UINT objLen, const char** errorStr, UINT* errorPos);
BOOL WinDivertHelperEvalFilter(const char* filter, const VOID* pPacket, UINT packetLen,
                               const WINDIVERT_ADDRESS* pAddr);
BOOL WinDivertHelperFormatFilter(const char* filter, WINDIVERT_LAYER layer, char* buffer,
                                 UINT bufLen);
UINT16 WinDivertHelperNtohs(UINT16 x);
UINT16 WinDivertHelperHtons(UINT16 x);
UINT32 WinDivertHelperNtohl(UINT32 x);
UINT32 WinDivertHelperHtonl(UINT32 x);
UINT64 WinDivertHelperNtohll(UINT64 x);
UINT64 WinDivertHelperHtonll(UINT64 x);
void WinDivertHelperNtohIPv6Address(const UINT* inAddr, UINT* outAddr);
void WinDivertHelperHtonIPv6Address(const UINT* inAddr, UINT* outAddr);
void WinDivertHelperNtohIpv6Address(const UINT* inAddr, UINT* outAddr);
void WinDivertHelperHtonIpv6Address(const UINT* inAddr, UINT* outAddr);

#ifdef __cplusplus
}  // extern "C"

static_assert(sizeof(WINDIVERT_ADDRESS) == 80, "WINDIVERT_ADDRESS is 80 bytes");
static_assert(offsetof(WINDIVERT_ADDRESS, Reserved2) == 12);
static_assert(offsetof(WINDIVERT_ADDRESS, Network) == 16);
static_assert(offsetof(WINDIVERT_ADDRESS, Network.SubIfIdx) == 20);
static_assert(offsetof(WINDIVERT_ADDRESS, Flow.EndpointId) == 16);
static_assert(offsetof(WINDIVERT_ADDRESS, Flow.ParentEndpointId) == 24);
static_assert(offsetof(WINDIVERT_ADDRESS, Flow.ProcessId) == 32);
static_assert(offsetof(WINDIVERT_ADDRESS, Socket.LocalAddr) == 36);
static_assert(offsetof(WINDIVERT_ADDRESS, Socket.Protocol) == 72);
static_assert(offsetof(WINDIVERT_ADDRESS, Reflect.Timestamp) == 16);
static_assert(offsetof(WINDIVERT_ADDRESS, Reflect.ProcessId) == 24);
static_assert(sizeof(WINDIVERT_DATA_FLOW) == 64 && sizeof(WINDIVERT_DATA_REFLECT) == 32);
static_assert(offsetof(WINDIVERT_ADDRESS, Flow.LocalAddr) == 36);
static_assert(offsetof(WINDIVERT_ADDRESS, Flow.RemoteAddr) == 52);
static_assert(offsetof(WINDIVERT_ADDRESS, Flow.LocalPort) == 68);
static_assert(offsetof(WINDIVERT_ADDRESS, Flow.RemotePort) == 70);
static_assert(offsetof(WINDIVERT_ADDRESS, Flow.Protocol) == 72);
static_assert(offsetof(WINDIVERT_ADDRESS, Reflect.Layer) == 28);
static_assert(offsetof(WINDIVERT_ADDRESS, Reflect.Flags) == 32);
static_assert(offsetof(WINDIVERT_ADDRESS, Reflect.Priority) == 40);
static_assert(sizeof(WINDIVERT_IPHDR) == 20);
static_assert(sizeof(WINDIVERT_IPV6HDR) == 40);
static_assert(sizeof(WINDIVERT_ICMPHDR) == 8);
static_assert(sizeof(WINDIVERT_ICMPV6HDR) == 8);
static_assert(sizeof(WINDIVERT_TCPHDR) == 20);
static_assert(sizeof(WINDIVERT_UDPHDR) == 8);
static_assert(offsetof(WINDIVERT_IPHDR, TTL) == 8 && offsetof(WINDIVERT_IPHDR, SrcAddr) == 12);
static_assert(offsetof(WINDIVERT_IPV6HDR, Length) == 4 &&
              offsetof(WINDIVERT_IPV6HDR, SrcAddr) == 8);
static_assert(offsetof(WINDIVERT_TCPHDR, Window) == 14 && offsetof(WINDIVERT_TCPHDR, UrgPtr) == 18);
static_assert(offsetof(WINDIVERT_ICMPHDR, Body) == 4 && offsetof(WINDIVERT_UDPHDR, Checksum) == 6);
#endif
