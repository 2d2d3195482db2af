// The Win32, Winsock and IP Helper subset the engine is written against.
//
// On Windows this header includes the real system headers. On Linux it declares the
// same names with the same values and layouts, implemented by this folder (events,
// overlapped completion, last-error, affinity, module path, Winsock start-up, the
// adapter, route and TCP tables). Engine code includes only this header and
// "windivert.h"; every Linux call stays inside platform/ and divert/.
//
// Where the answers come from: the IP Helper tables, the host name and name resolution
// are read from the current world (platform/SystemTables.h), so the simulated network
// answers them in tests and the real system in production. Name resolution cannot keep
// the lower-case Winsock names, because the C library already defines getaddrinfo and
// freeaddrinfo for the same `addrinfo` type (a second declaration would make every call
// ambiguous). The engine therefore calls Winsock's own alternative spellings,
// `GetAddrInfoA` and `FreeAddrInfoA` (macros for getaddrinfo/freeaddrinfo in Windows'
// ws2tcpip.h), which this layer implements over the world. `gethostname` keeps its name:
// it is declared in namespace platform::winsock and brought into namespace bastion, where
// it hides the C library's. `inet_ntop` and the byte-order functions are the C library's
// (pure conversions with the Windows signatures' behaviour).
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#else  // POSIX

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

// ---- Basic types (LP64 equivalents of the Windows types) ----------------------------
typedef int BOOL;
typedef uint8_t BOOLEAN;
typedef uint8_t BYTE;
typedef int8_t INT8;
typedef uint8_t UINT8;
typedef int16_t INT16;
typedef uint16_t UINT16;
typedef int32_t INT32;
typedef uint32_t UINT32;
typedef int64_t INT64;
typedef uint64_t UINT64;
typedef int INT;
typedef unsigned int UINT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint64_t ULONG64;
typedef uint64_t ULONGLONG;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef uint32_t DWORD;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef intptr_t LONG_PTR;
typedef size_t SIZE_T;
typedef char CHAR;
typedef wchar_t WCHAR;
typedef void VOID;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
typedef ULONG* PULONG;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef UINT8* PUINT8;
typedef UINT* PUINT;
typedef CHAR* PCHAR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef WCHAR* PWCHAR;

// The module instance handed to the host entry. On Linux the process arguments take
// its place (see control/BastionMain.h).
struct BastionProcessArgs;
typedef BastionProcessArgs* HINSTANCE;
typedef void* HMODULE;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define MAX_PATH 260

#define MAKEWORD(low, high) ((WORD)(((BYTE)((low)&0xff)) | ((WORD)((BYTE)((high)&0xff))) << 8))
#define LOBYTE(w) ((BYTE)((w)&0xff))
#define HIBYTE(w) ((BYTE)(((w) >> 8) & 0xff))

// ---- Error codes (GetLastError values) -------------------------------------------------
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_BAD_COMMAND 22L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_OPEN_FAILED 110L
#define ERROR_BUFFER_OVERFLOW 111L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_NO_DATA 232L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_INVALID_IMAGE_HASH 577L
#define ERROR_DATA_NOT_ACCEPTED 592L
#define ERROR_DRIVER_FAILED_PRIOR_UNLOAD 654L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_INCOMPLETE 996L
#define ERROR_IO_PENDING 997L
#define ERROR_SERVICE_DOES_NOT_EXIST 1060L
#define ERROR_NOT_FOUND 1168L
#define ERROR_HOST_UNREACHABLE 1232L
#define ERROR_PROTOCOL_UNREACHABLE 1233L
#define ERROR_DRIVER_BLOCKED 1275L
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#define ERROR_WORKING_SET_QUOTA 1453L
#define EPT_S_NOT_REGISTERED 1753L

#define WSA_NOT_ENOUGH_MEMORY 8
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEAFNOSUPPORT 10047
#define WSAENETDOWN 10050
#define WSASYSNOTREADY 10091
#define WSAVERNOTSUPPORTED 10092
#define WSANOTINITIALISED 10093
#define WSATYPE_NOT_FOUND 10109
#define WSAHOST_NOT_FOUND 11001
#define WSANO_DATA 11004
#define SOCKET_ERROR (-1)

// ---- Waits ---------------------------------------------------------------------------
#define WAIT_OBJECT_0 0x00000000UL
#define WAIT_ABANDONED 0x00000080UL
#define WAIT_TIMEOUT 0x00000102UL
#define WAIT_FAILED 0xFFFFFFFFUL
#define INFINITE 0xFFFFFFFFUL

// ---- Overlapped I/O --------------------------------------------------------------------
// Win32 layout (32 bytes on 64-bit). `Internal` holds the completion status
// (STATUS_PENDING while the operation is in flight), `InternalHigh` the byte count.
typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;
static_assert(sizeof(OVERLAPPED) == 32, "OVERLAPPED must keep the Win32 layout");

#define STATUS_PENDING 0x00000103UL
#define HasOverlappedIoCompleted(lpOverlapped) \
    (((DWORD)(lpOverlapped)->Internal) != STATUS_PENDING)

// ---- Processors ------------------------------------------------------------------------
typedef struct _SYSTEM_INFO {
    union {
        DWORD dwOemId;
        struct {
            WORD wProcessorArchitecture;
            WORD wReserved;
        };
    };
    DWORD dwPageSize;
    LPVOID lpMinimumApplicationAddress;
    LPVOID lpMaximumApplicationAddress;
    DWORD_PTR dwActiveProcessorMask;
    DWORD dwNumberOfProcessors;
    DWORD dwProcessorType;
    DWORD dwAllocationGranularity;
    WORD wProcessorLevel;
    WORD wProcessorRevision;
} SYSTEM_INFO, *LPSYSTEM_INFO;

typedef ULONG_PTR KAFFINITY;
typedef struct _GROUP_AFFINITY {
    KAFFINITY Mask;
    WORD Group;
    WORD Reserved[3];
} GROUP_AFFINITY, *PGROUP_AFFINITY;

#define ALL_PROCESSOR_GROUPS 0xffff

// ---- Winsock ---------------------------------------------------------------------------
#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128
typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
} WSADATA, *LPWSADATA;

// Winsock's name-resolution record is the C library's `addrinfo` (same field names).
typedef struct addrinfo ADDRINFOA;
typedef struct addrinfo* PADDRINFOA;
typedef struct sockaddr SOCKADDR;
typedef struct sockaddr* LPSOCKADDR;

// ---- IP Helper: adapters (GetAdaptersAddresses) ----------------------------------------
// The records keep the Windows names and order up to FirstGatewayAddress (the fields this
// layer fills); later Windows fields are not provided. Every record and every address the
// records point to lives inside the caller's buffer.
#define MAX_ADAPTER_ADDRESS_LENGTH 8

#define GAA_FLAG_SKIP_UNICAST 0x0001
#define GAA_FLAG_SKIP_ANYCAST 0x0002
#define GAA_FLAG_SKIP_MULTICAST 0x0004
#define GAA_FLAG_SKIP_DNS_SERVER 0x0008
#define GAA_FLAG_INCLUDE_PREFIX 0x0010
#define GAA_FLAG_SKIP_FRIENDLY_NAME 0x0020
#define GAA_FLAG_INCLUDE_WINS_INFO 0x0040
#define GAA_FLAG_INCLUDE_GATEWAYS 0x0080
#define GAA_FLAG_INCLUDE_ALL_INTERFACES 0x0100
#define GAA_FLAG_INCLUDE_ALL_COMPARTMENTS 0x0200
#define GAA_FLAG_INCLUDE_TUNNEL_BINDINGORDER 0x0400

typedef ULONG IFTYPE;
typedef ULONG IF_INDEX;
#define IF_TYPE_OTHER 1
#define IF_TYPE_ETHERNET_CSMACD 6
#define IF_TYPE_SOFTWARE_LOOPBACK 24

typedef enum {
    IfOperStatusUp = 1,
    IfOperStatusDown = 2,
    IfOperStatusTesting = 3,
    IfOperStatusUnknown = 4,
    IfOperStatusDormant = 5,
    IfOperStatusNotPresent = 6,
    IfOperStatusLowerLayerDown = 7,
} IF_OPER_STATUS;

typedef enum {
    IpPrefixOriginOther = 0,
    IpPrefixOriginManual = 1,
    IpPrefixOriginWellKnown = 2,
    IpPrefixOriginDhcp = 3,
    IpPrefixOriginRouterAdvertisement = 4,
    IpPrefixOriginUnchanged = 16,
} IP_PREFIX_ORIGIN;

typedef enum {
    IpSuffixOriginOther = 0,
    IpSuffixOriginManual = 1,
    IpSuffixOriginWellKnown = 2,
    IpSuffixOriginDhcp = 3,
    IpSuffixOriginLinkLayerAddress = 4,
    IpSuffixOriginRandom = 5,
    IpSuffixOriginUnchanged = 16,
} IP_SUFFIX_ORIGIN;

typedef enum {
    IpDadStateInvalid = 0,
    IpDadStateTentative = 1,
    IpDadStateDuplicate = 2,
    IpDadStateDeprecated = 3,
    IpDadStatePreferred = 4,
} IP_DAD_STATE;

typedef struct _SOCKET_ADDRESS {
    LPSOCKADDR lpSockaddr;
    INT iSockaddrLength;
} SOCKET_ADDRESS, *PSOCKET_ADDRESS;

typedef struct _IP_ADAPTER_UNICAST_ADDRESS {
    union {
        ULONGLONG Alignment;
        struct {
            ULONG Length;
            DWORD Flags;
        };
    };
    struct _IP_ADAPTER_UNICAST_ADDRESS* Next;
    SOCKET_ADDRESS Address;
    IP_PREFIX_ORIGIN PrefixOrigin;
    IP_SUFFIX_ORIGIN SuffixOrigin;
    IP_DAD_STATE DadState;
    ULONG ValidLifetime;
    ULONG PreferredLifetime;
    ULONG LeaseLifetime;
    UINT8 OnLinkPrefixLength;
} IP_ADAPTER_UNICAST_ADDRESS, *PIP_ADAPTER_UNICAST_ADDRESS;

// Anycast, multicast, DNS server and gateway entries share one shape.
#define BASTION_ADAPTER_ADDRESS_RECORD(name) \
    typedef struct _##name {                 \
        union {                              \
            ULONGLONG Alignment;             \
            struct {                         \
                ULONG Length;                \
                DWORD Reserved;              \
            };                               \
        };                                   \
        struct _##name* Next;                \
        SOCKET_ADDRESS Address;              \
    } name, *P##name
BASTION_ADAPTER_ADDRESS_RECORD(IP_ADAPTER_ANYCAST_ADDRESS);
BASTION_ADAPTER_ADDRESS_RECORD(IP_ADAPTER_MULTICAST_ADDRESS);
BASTION_ADAPTER_ADDRESS_RECORD(IP_ADAPTER_DNS_SERVER_ADDRESS);
BASTION_ADAPTER_ADDRESS_RECORD(IP_ADAPTER_GATEWAY_ADDRESS);
BASTION_ADAPTER_ADDRESS_RECORD(IP_ADAPTER_WINS_SERVER_ADDRESS);
#undef BASTION_ADAPTER_ADDRESS_RECORD

typedef struct _IP_ADAPTER_PREFIX IP_ADAPTER_PREFIX, *PIP_ADAPTER_PREFIX;  // never filled

typedef struct _IP_ADAPTER_ADDRESSES {
    union {
        ULONGLONG Alignment;
        struct {
            ULONG Length;
            IF_INDEX IfIndex;
        };
    };
    struct _IP_ADAPTER_ADDRESSES* Next;
    PCHAR AdapterName;
    PIP_ADAPTER_UNICAST_ADDRESS FirstUnicastAddress;
    PIP_ADAPTER_ANYCAST_ADDRESS FirstAnycastAddress;
    PIP_ADAPTER_MULTICAST_ADDRESS FirstMulticastAddress;
    PIP_ADAPTER_DNS_SERVER_ADDRESS FirstDnsServerAddress;
    PWCHAR DnsSuffix;
    PWCHAR Description;
    PWCHAR FriendlyName;
    BYTE PhysicalAddress[MAX_ADAPTER_ADDRESS_LENGTH];
    ULONG PhysicalAddressLength;
    ULONG Flags;
    ULONG Mtu;
    IFTYPE IfType;
    IF_OPER_STATUS OperStatus;
    IF_INDEX Ipv6IfIndex;
    ULONG ZoneIndices[16];
    PIP_ADAPTER_PREFIX FirstPrefix;
    ULONG64 TransmitLinkSpeed;
    ULONG64 ReceiveLinkSpeed;
    PIP_ADAPTER_WINS_SERVER_ADDRESS FirstWinsServerAddress;
    PIP_ADAPTER_GATEWAY_ADDRESS FirstGatewayAddress;
} IP_ADAPTER_ADDRESSES, *PIP_ADAPTER_ADDRESSES;

// ---- IP Helper: IPv4 routes (GetIpForwardTable) ------------------------------------------
// Addresses in network byte order, as on Windows.
#define MIB_IPROUTE_TYPE_OTHER 1
#define MIB_IPROUTE_TYPE_INVALID 2
#define MIB_IPROUTE_TYPE_DIRECT 3
#define MIB_IPROUTE_TYPE_INDIRECT 4
#define MIB_IPPROTO_NETMGMT 3
#define ANY_SIZE 1

typedef struct _MIB_IPFORWARDROW {
    DWORD dwForwardDest;
    DWORD dwForwardMask;
    DWORD dwForwardPolicy;
    DWORD dwForwardNextHop;
    IF_INDEX dwForwardIfIndex;
    DWORD dwForwardType;
    DWORD dwForwardProto;
    DWORD dwForwardAge;
    DWORD dwForwardNextHopAS;
    DWORD dwForwardMetric1;
    DWORD dwForwardMetric2;
    DWORD dwForwardMetric3;
    DWORD dwForwardMetric4;
    DWORD dwForwardMetric5;
} MIB_IPFORWARDROW, *PMIB_IPFORWARDROW;
static_assert(sizeof(MIB_IPFORWARDROW) == 56, "MIB_IPFORWARDROW must keep the Win32 layout");

typedef struct _MIB_IPFORWARDTABLE {
    DWORD dwNumEntries;
    MIB_IPFORWARDROW table[ANY_SIZE];
} MIB_IPFORWARDTABLE, *PMIB_IPFORWARDTABLE;

// ---- IP Helper: the TCP connection table ----------------------------------------------
typedef enum {
    MIB_TCP_STATE_CLOSED = 1,
    MIB_TCP_STATE_LISTEN = 2,
    MIB_TCP_STATE_SYN_SENT = 3,
    MIB_TCP_STATE_SYN_RCVD = 4,
    MIB_TCP_STATE_ESTAB = 5,
    MIB_TCP_STATE_FIN_WAIT1 = 6,
    MIB_TCP_STATE_FIN_WAIT2 = 7,
    MIB_TCP_STATE_CLOSE_WAIT = 8,
    MIB_TCP_STATE_CLOSING = 9,
    MIB_TCP_STATE_LAST_ACK = 10,
    MIB_TCP_STATE_TIME_WAIT = 11,
    MIB_TCP_STATE_DELETE_TCB = 12,
} MIB_TCP_STATE;

typedef enum {
    TCP_TABLE_BASIC_LISTENER,
    TCP_TABLE_BASIC_CONNECTIONS,
    TCP_TABLE_BASIC_ALL,
    TCP_TABLE_OWNER_PID_LISTENER,
    TCP_TABLE_OWNER_PID_CONNECTIONS,
    TCP_TABLE_OWNER_PID_ALL,
    TCP_TABLE_OWNER_MODULE_LISTENER,
    TCP_TABLE_OWNER_MODULE_CONNECTIONS,
    TCP_TABLE_OWNER_MODULE_ALL,
} TCP_TABLE_CLASS, *PTCP_TABLE_CLASS;

// Addresses in network byte order; ports in network byte order in the low 16 bits.
typedef struct _MIB_TCPROW_OWNER_PID {
    union {
        DWORD dwState;
        MIB_TCP_STATE State;
    };
    DWORD dwLocalAddr;
    DWORD dwLocalPort;
    DWORD dwRemoteAddr;
    DWORD dwRemotePort;
    DWORD dwOwningPid;
} MIB_TCPROW_OWNER_PID, *PMIB_TCPROW_OWNER_PID;

#define ANY_SIZE 1
typedef struct _MIB_TCPTABLE_OWNER_PID {
    DWORD dwNumEntries;
    MIB_TCPROW_OWNER_PID table[ANY_SIZE];
} MIB_TCPTABLE_OWNER_PID, *PMIB_TCPTABLE_OWNER_PID;
static_assert(sizeof(MIB_TCPROW_OWNER_PID) == 24, "MIB_TCPROW_OWNER_PID keeps the Win32 layout");

extern "C" {

// Last error (thread-local).
DWORD GetLastError(void);
void SetLastError(DWORD error);

void Sleep(DWORD milliseconds);

// Events. Names and security attributes are not supported (must be null).
HANDLE CreateEventW(LPVOID eventAttributes, BOOL manualReset, BOOL initialState, LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);

// Overlapped completion (the I/O itself is issued by the diversion runtime).
BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred,
                         BOOL wait);
BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped);

// Processors and affinity.
void GetSystemInfo(LPSYSTEM_INFO systemInfo);
WORD GetActiveProcessorGroupCount(void);
DWORD GetActiveProcessorCount(WORD groupNumber);
HANDLE GetCurrentThread(void);
DWORD_PTR SetThreadAffinityMask(HANDLE thread, DWORD_PTR mask);
BOOL SetThreadGroupAffinity(HANDLE thread, const GROUP_AFFINITY* groupAffinity,
                            PGROUP_AFFINITY previousGroupAffinity);

// The running executable's full path. Truncates to size - 1 characters and fails with
// ERROR_INSUFFICIENT_BUFFER (returning size) when the buffer is too small, as Windows does.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR filename, DWORD size);

// Winsock start-up bookkeeping; sockets themselves are the native POSIX ones.
int WSAStartup(WORD versionRequested, LPWSADATA data);
int WSACleanup(void);
int WSAGetLastError(void);
void WSASetLastError(int error);

// Adapters of the current world. `family` AF_INET, AF_INET6 or AF_UNSPEC (this layer
// knows IPv4 addresses only); `reserved` must be null. The size protocol is Windows':
// with no buffer or one smaller than needed, *sizePointer receives the size needed and the
// result is ERROR_BUFFER_OVERFLOW. The buffer must be aligned as malloc aligns. No adapter:
// ERROR_NO_DATA. Gateways are listed only with GAA_FLAG_INCLUDE_GATEWAYS.
ULONG GetAdaptersAddresses(ULONG family, ULONG flags, PVOID reserved,
                           PIP_ADAPTER_ADDRESSES adapterAddresses, PULONG sizePointer);

// IPv4 routes of the current world. With no table or one smaller than needed, *size
// receives the size needed and the result is ERROR_INSUFFICIENT_BUFFER. `order` sorts by
// destination, mask, policy and next hop. No route: ERROR_NO_DATA.
DWORD GetIpForwardTable(PMIB_IPFORWARDTABLE ipForwardTable, PULONG size, BOOL order);

// Name resolution over the current world (Winsock's getaddrinfo/freeaddrinfo; see the
// banner for the names). Requires WSAStartup, as on Windows. IPv4 results only; numeric
// host texts are converted without a lookup. Results are freed with FreeAddrInfoA only.
// Returns 0 or a Winsock error code (WSAHOST_NOT_FOUND, WSANO_DATA, WSATYPE_NOT_FOUND, ...).
INT GetAddrInfoA(PCSTR nodeName, PCSTR serviceName, const ADDRINFOA* hints, PADDRINFOA* result);
VOID FreeAddrInfoA(PADDRINFOA addrInfo);

// The IPv4 TCP table of the current world (platform/SystemTables.h). Supports AF_INET with
// the TCP_TABLE_OWNER_PID_* classes; the size protocol is Windows': with a null or short
// buffer, *size receives the bytes needed and the result is ERROR_INSUFFICIENT_BUFFER.
// Other families fail with ERROR_NOT_SUPPORTED, other classes with ERROR_INVALID_PARAMETER.
DWORD GetExtendedTcpTable(PVOID tcpTable, PDWORD size, BOOL order, ULONG addressFamily,
                          TCP_TABLE_CLASS tableClass, ULONG reserved);

}  // extern "C"

namespace platform::winsock {
// Winsock's gethostname: the current world's host name. 0, or SOCKET_ERROR with
// WSAGetLastError() = WSAEFAULT (buffer too small) or WSANOTINITIALISED.
int gethostname(char* name, int nameLength);
}  // namespace platform::winsock

namespace bastion {
using platform::winsock::gethostname;
}  // namespace bastion

#endif  // _WIN32
