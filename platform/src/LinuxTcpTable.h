// The kernel's TCP sockets as rows of the IPv4 TCP table, read two ways: the sock_diag
// netlink dump (binary records, the default) and the text of /proc/net/tcp (the fallback
// when the netlink family is unavailable). Both list IPv4 sockets and the IPv4-mapped
// sockets of dual-stack IPv6 listeners ("::ffff:a.b.c.d"), whose connections are IPv4
// connections to every peer.
//
// Internal to platform/ (and its benchmark); the engine reads the table through
// GetExtendedTcpTable.
#pragma once

#include <vector>

#include "platform/SystemTables.h"

namespace platform::linux_tcp {

// Appends the rows to `rows`. False when the netlink dump cannot be made (the rows
// appended so far are then removed).
bool ReadSockDiag(std::vector<TcpRow>& rows);

// Appends the rows of /proc/net/tcp and /proc/net/tcp6 to `rows`. False when neither
// file can be read.
bool ReadProcNet(std::vector<TcpRow>& rows);

// Kernel TCP state number (include/net/tcp_states.h) as MIB_TCP_STATE.
TcpState FromKernelState(unsigned state);

}  // namespace platform::linux_tcp
