// Winsock's host name and name resolution over the current world (platform/SystemTables.h).
//
// Results are chains of `addrinfo` records that this file allocates; FreeAddrInfoA frees
// them. Only IPv4 is resolved, which is all the engine asks for.
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/SystemTables.h"
#include "platform/Win32.h"
#include "platform/src/WinsockState.h"

namespace {

// One result: the record and the address it points to, freed together.
struct ResultNode {
    addrinfo info;
    sockaddr_in address;
};
static_assert(std::is_standard_layout_v<ResultNode>);

int Fail(int error) {
    WSASetLastError(error);
    return error;
}

// Decimal port text; false for service names (no services database here).
bool ParsePort(const char* service, uint16_t* port) {
    if (service == nullptr || *service == '\0') {
        *port = 0;
        return service == nullptr;
    }
    unsigned long value = 0;
    for (const char* c = service; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return false;
        value = value * 10 + static_cast<unsigned long>(*c - '0');
        if (value > std::numeric_limits<uint16_t>::max()) return false;
    }
    *port = static_cast<uint16_t>(value);
    return true;
}

void FreeChain(addrinfo* chain) {
    while (chain != nullptr) {
        addrinfo* next = chain->ai_next;
        delete[] chain->ai_canonname;
        delete reinterpret_cast<ResultNode*>(chain);
        chain = next;
    }
}

}  // namespace

extern "C" INT GetAddrInfoA(PCSTR nodeName, PCSTR serviceName, const ADDRINFOA* hints,
                            PADDRINFOA* result) {
    if (result == nullptr) return Fail(WSAEINVAL);
    *result = nullptr;
    if (!platform::detail::WinsockStarted()) return Fail(WSANOTINITIALISED);
    if (nodeName == nullptr && serviceName == nullptr) return Fail(WSAHOST_NOT_FOUND);

    addrinfo want{};
    if (hints != nullptr) want = *hints;
    if (want.ai_family == AF_INET6) return Fail(WSANO_DATA);
    if (want.ai_family != AF_UNSPEC && want.ai_family != AF_INET) return Fail(WSAEAFNOSUPPORT);

    uint16_t port = 0;
    if (!ParsePort(serviceName, &port)) return Fail(WSATYPE_NOT_FOUND);

    std::vector<uint32_t> addresses;
    in_addr numeric{};
    if (nodeName == nullptr) {
        addresses.push_back((want.ai_flags & AI_PASSIVE) ? INADDR_ANY : INADDR_LOOPBACK);
    } else if (inet_pton(AF_INET, nodeName, &numeric) == 1) {
        addresses.push_back(ntohl(numeric.s_addr));
    } else if (want.ai_flags & AI_NUMERICHOST) {
        return Fail(WSAHOST_NOT_FOUND);
    } else {
        std::optional<std::vector<uint32_t>> resolved =
            platform::CurrentSystemTables()->Resolve(nodeName);
        if (!resolved) return Fail(WSAHOST_NOT_FOUND);
        if (resolved->empty()) return Fail(WSANO_DATA);
        addresses = std::move(*resolved);
    }

    int protocol = want.ai_protocol;
    if (protocol == 0 && want.ai_socktype == SOCK_STREAM) protocol = IPPROTO_TCP;
    if (protocol == 0 && want.ai_socktype == SOCK_DGRAM) protocol = IPPROTO_UDP;

    addrinfo* head = nullptr;
    addrinfo** link = &head;
    for (uint32_t address : addresses) {
        auto* node = new (std::nothrow) ResultNode{};
        if (node == nullptr) {
            FreeChain(head);
            return Fail(WSA_NOT_ENOUGH_MEMORY);
        }
        node->address.sin_family = AF_INET;
        node->address.sin_port = htons(port);
        node->address.sin_addr.s_addr = htonl(address);
        node->info.ai_family = AF_INET;
        node->info.ai_socktype = want.ai_socktype;
        node->info.ai_protocol = protocol;
        node->info.ai_addrlen = sizeof(sockaddr_in);
        node->info.ai_addr = reinterpret_cast<sockaddr*>(&node->address);
        *link = &node->info;
        link = &node->info.ai_next;
    }
    if ((want.ai_flags & AI_CANONNAME) && head != nullptr && nodeName != nullptr) {
        size_t length = std::strlen(nodeName);
        head->ai_canonname = new (std::nothrow) char[length + 1];
        if (head->ai_canonname == nullptr) {
            FreeChain(head);
            return Fail(WSA_NOT_ENOUGH_MEMORY);
        }
        std::memcpy(head->ai_canonname, nodeName, length + 1);
    }
    *result = head;
    return 0;
}

extern "C" VOID FreeAddrInfoA(PADDRINFOA addrInfo) {
    FreeChain(addrInfo);
}

namespace platform::winsock {

int gethostname(char* name, int nameLength) {
    if (!platform::detail::WinsockStarted()) {
        Fail(WSANOTINITIALISED);
        return SOCKET_ERROR;
    }
    if (name == nullptr || nameLength <= 0) {
        Fail(WSAEFAULT);
        return SOCKET_ERROR;
    }
    std::optional<std::string> host = platform::CurrentSystemTables()->HostName();
    if (!host) {
        Fail(WSAENETDOWN);
        return SOCKET_ERROR;
    }
    if (host->size() + 1 > static_cast<size_t>(nameLength)) {
        Fail(WSAEFAULT);
        return SOCKET_ERROR;
    }
    std::memcpy(name, host->c_str(), host->size() + 1);
    return 0;
}

}  // namespace platform::winsock
