// The engine's connection-tracking operations: maintenance of the connection tables
// (ConnectionTables.h) by the cleanup thread and by stop and reconfiguration.
//
// Each operation takes `connTableLock` exclusively for its change only and publishes the
// number of addresses holding inbound connections as AppMetrics.activeConnections, under
// metricsMutex after releasing the table lock, whenever that number changed.
#pragma once

#include <cstdint>

namespace bastion {

class PacketProcessor;

// Reconciles the tables with the operating system's TCP table: connections the system no
// longer lists as established are removed (a missed close); connections it lists that the
// flow layer never announced are not added. A failing or ever-growing system table skips
// the reconciliation until the next call and removes nothing.
void RefreshTcpConnectionTable(PacketProcessor& engine);

// Recomputes the per-address and per-port counts from the connection sets and replaces the
// live ones only when they differ, so readers always see complete maps.
void RebuildConnectionCounts(PacketProcessor& engine);

// Removes every inbound connection of `address` (a source that was just blocked).
void ForgetSourceConnections(PacketProcessor& engine, uint32_t address);

// Empties every connection table and publishes 0 active connections.
void ClearConnectionTables(PacketProcessor& engine);

// Copies the tables' activeAddressCount into AppMetrics.activeConnections under
// metricsMutex. Call with no engine lock held.
void PublishActiveConnections(PacketProcessor& engine);

}  // namespace bastion
