// The Win32, Winsock and IP Helper subset the engine is written against.
//
// On Windows this header includes the real system headers. On Linux it declares the
// same names with the same values and layouts, implemented by this folder (events,
// overlapped completion, last-error, affinity, module path, Winsock start-up, the
// adapter, route and TCP tables). Engine code includes only this header and
// "windivert.h"; every Linux call stays inside platform/ and divert/.
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

#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSASYSNOTREADY 10091
#define WSAVERNOTSUPPORTED 10092
#define WSANOTINITIALISED 10093

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

}  // extern "C"

#endif  // _WIN32
