// A received batch: checks, split into packets, header pre-parse, per-packet parse and
// verdict, counter flush, then re-injection of what passes.
#include <string>

#include "capture/CaptureWorker.h"
#include "engine/PacketProcessor.h"
#include "platform/Clock.h"
#include "rules/Counters.h"
#include "rules/Enforcement.h"
#include "rules/Evaluators.h"
#include "rules/TcpOptions.h"

namespace bastion {
namespace {

constexpr uint8_t kProtocolIcmp = 1;
constexpr uint8_t kProtocolTcp = 6;
constexpr uint8_t kProtocolUdp = 17;
constexpr uint32_t kTcpMinHeader = 20;
constexpr uint32_t kUdpIcmpHeader = 8;
constexpr uint16_t kMoreFragments = 0x2000;
constexpr uint16_t kFragmentOffsetMask = 0x1FFF;
constexpr uint32_t kSplitPrefetchAhead = 512;

inline uint16_t Load16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t Load32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

namespace {

// Every field of `view` is stored one by one: assigning a fresh PacketView first made the
// compiler build a temporary out of narrow stores and copy it with wide loads, a
// store-forwarding stall on every packet.
[[gnu::always_inline]] inline PacketClass Parse(const uint8_t* packet, uint32_t length,
                                                const HeaderBlock& block, size_t lane,
                                                const WINDIVERT_ADDRESS& address,
                                                PacketView& view) {
    // The lane's validity is the IPv4 header test itself (length, version, IHL, header
    // within the packet): a lane that failed it is a packet that fails it.
    if (!(block.validMask & (1u << lane))) return PacketClass::Skip;
    const uint32_t headerLength = block.headerLength[lane];
    const uint8_t protocol = block.protocol[lane];
    const uint32_t remaining = length - headerLength;
    const uint8_t* transport = packet + headerLength;

    view.tcpFlags = 0;
    view.seq = 0;
    view.ack = 0;
    view.window = 0;
    view.dataOffset = 5;
    view.hasMss = 0;
    view.mss = 0;
    view.tcpOptionCount = 0;
    view.hasWindowScale = 0;
    view.hasTimestamps = 0;
    view.isUdp = 0;
    view.isIcmp = 0;
    view.icmpType = 0;
    switch (protocol) {
        case kProtocolTcp: {
            if (remaining < kTcpMinHeader) return PacketClass::Skip;
            const uint8_t dataOffset = transport[12] >> 4;
            const uint32_t tcpHeader = dataOffset * 4u;
            if (tcpHeader < kTcpMinHeader || tcpHeader > remaining) return PacketClass::Skip;
            view.srcPort = Load16(transport);
            view.dstPort = Load16(transport + 2);
            view.seq = Load32(transport + 4);
            view.ack = Load32(transport + 8);
            view.tcpFlags = transport[13] & 0x3F;
            view.window = Load16(transport + 14);
            view.dataOffset = dataOffset;
            view.payload = transport + tcpHeader;
            view.payloadLength = remaining - tcpHeader;
            if (view.tcpFlags & tcp_flags::kSyn) {
                const TcpOptionSummary options = ScanTcpOptions(transport, tcpHeader);
                view.hasMss = options.mss != 0;
                view.mss = options.mss;
                view.tcpOptionCount = options.optionCount;
                view.hasWindowScale = options.hasWindowScale;
                view.hasTimestamps = options.hasTimestamps;
            }
            break;
        }
        case kProtocolUdp:
            if (remaining < kUdpIcmpHeader) return PacketClass::Skip;
            view.isUdp = 1;
            view.srcPort = Load16(transport);
            view.dstPort = Load16(transport + 2);
            view.payload = transport + kUdpIcmpHeader;
            view.payloadLength = remaining - kUdpIcmpHeader;
            break;
        case kProtocolIcmp:
            if (remaining < kUdpIcmpHeader) return PacketClass::Skip;
            view.isIcmp = 1;
            view.srcPort = 0;
            view.dstPort = 0;
            view.icmpType = transport[0];
            view.payload = transport + kUdpIcmpHeader;
            view.payloadLength = remaining - kUdpIcmpHeader;
            break;
        default:
            return PacketClass::PassUnjudged;
    }
    view.srcAddr = block.srcAddr[lane];
    view.dstAddr = block.dstAddr[lane];
    view.ttl = block.ttl[lane];
    view.packetLength = length;
    view.inbound = address.Outbound ? 0 : 1;
    const uint16_t fragment = Load16(packet + 6);
    view.fragmentOffset = fragment & kFragmentOffsetMask;
    view.isFragment = (view.fragmentOffset != 0 || (fragment & kMoreFragments)) ? 1 : 0;
    return PacketClass::Parsed;
}

// The split's warnings are built out of line: inlined, their string code took the
// registers of the walk.
[[gnu::cold, gnu::noinline]] void WarnNonIpv4(CaptureWorker& worker, uint32_t version,
                                              uint32_t offset) {
    if (worker.ShouldWarn(WarningSite::NonIpv4)) {
        worker.Emit("[⚠️] Non-IPv4 packet in batch (Thread " +
                    std::to_string(worker.workerIndex) + ", Version=" + std::to_string(version) +
                    ", Offset=" + std::to_string(offset) + ") - Stopping batch processing");
    }
}

[[gnu::cold, gnu::noinline]] void WarnInvalidLength(CaptureWorker& worker, uint32_t length,
                                                    uint32_t offset) {
    if (worker.ShouldWarn(WarningSite::InvalidLength)) {
        worker.Emit("[⚠️] Invalid IP packet length detected (Thread " +
                    std::to_string(worker.workerIndex) + ", IPLen=" + std::to_string(length) +
                    ", RecvLen=" + std::to_string(worker.recvLen) + ", Offset=" +
                    std::to_string(offset) + ") - This would cause ERROR 122, skipping packet");
    }
}

}  // namespace

PacketClass ParsePacket(const uint8_t* packet, uint32_t length, const HeaderBlock& block,
                        size_t lane, const WINDIVERT_ADDRESS& address, PacketView& view) {
    return Parse(packet, length, block, lane, address, view);
}

void CaptureWorker::ProcessBatch(UINT received, UINT addressBytes) {
    recvLen = received;
    addrLen = addressBytes;
    if (recvLen > kBatchBufferBytes) {
        if (ShouldWarn(WarningSite::BufferOverflow)) {
            Emit("[⚠️] Buffer overflow protection (Thread " + std::to_string(workerIndex) +
                 ", RecvLen: " + std::to_string(recvLen) +
                 ", BufferSize: " + std::to_string(kBatchBufferBytes) + ") - Packet batch dropped");
        }
        return;
    }
    size_t count = addrLen / kAddressBytes;
    if (count == 0) return;
    if (count > kMaxBatchPackets) {
        if (ShouldWarn(WarningSite::AddressOverflow)) {
            Emit("[⚠️] Address count overflow (Thread " + std::to_string(workerIndex) +
                 ", Received: " + std::to_string(count) + ", Max: " +
                 std::to_string(kMaxBatchPackets) + ") - Capping to prevent buffer overrun");
        }
        count = kMaxBatchPackets;
    }

    CaptureScratch& s = scratch;
    s.batchTime = SteadyNowNs();
    const uint8_t* buffer = sets[static_cast<size_t>(receiveSet)].packets.get();
    const WINDIVERT_ADDRESS* addresses = sets[static_cast<size_t>(receiveSet)].addresses.get();
    const uint32_t batchBytes = recvLen;

    // Split the buffer at the IPv4 length fields. A packet whose boundary cannot be
    // trusted ends the split: nothing after it can be located. The vectors are sized up
    // front and written through plain pointers: with push_back the compiler had to store
    // and reload their ends (and recvLen) on every step of a walk that is a chain of
    // dependent loads already.
    s.packetLengths.resize(count);
    s.packetOffsets.resize(count);
    uint32_t* const lengths = s.packetLengths.data();
    uint32_t* const offsets = s.packetOffsets.data();
    size_t n = 0;
    uint32_t offset = 0;
    for (size_t i = 0; i < count && offset < batchBytes; ++i) {
        if (offset + kMinIpv4Header > batchBytes) break;
        // Packets lie back to back: fetch a few lines ahead so that the walk, whose every
        // step depends on the length read in the previous one, does not wait on memory.
        if (offset + kSplitPrefetchAhead < batchBytes)
            __builtin_prefetch(buffer + offset + kSplitPrefetchAhead);
        const uint32_t length = Load16(buffer + offset + 2);
        const uint32_t version = buffer[offset] >> 4;
        if (version != 4) {
            WarnNonIpv4(*this, version, offset);
            break;
        }
        if (length < kMinIpv4Header) {
            WarnInvalidLength(*this, length, offset);
            break;
        }
        if (offset + length > batchBytes) break;
        lengths[n] = length;
        offsets[n] = offset;
        ++n;
        offset += length;
    }
    s.packetLengths.resize(n);
    s.packetOffsets.resize(n);
    s.passFlags.Reset(n);
    s.needsChecksum.assign(n, 0);
    if (n == 0) return;

    const uint8_t* lanePackets[kHeaderLanes];
    for (size_t first = 0, b = 0; first < n; first += kHeaderLanes, ++b) {
        const size_t lanes = n - first < kHeaderLanes ? n - first : kHeaderLanes;
        for (size_t k = 0; k < lanes; ++k)
            lanePackets[k] = buffer + offsets[first + k];
        PreParseHeaders(lanePackets, lengths + first, lanes, blocks[b]);
    }

    const bool hasLocal = engine.localAddresses.Size() != 0;
    const bool hasApiHost = engine.apiHostAddresses.Size() != 0;
    const IpListManager& lists = engine.runtimeState.ipLists;
    PacketView view;
    offset = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t length = lengths[i];
        if (length == 0 || length > kMaxPacketLength || offset + length > batchBytes) break;
        if (i + 1 < n && offset + length + kPrefetchSpan <= batchBytes) {
            __builtin_prefetch(buffer + offset + length);
        }
        const uint8_t* packet = buffer + offset;
        offset += length;
        const PacketClass kind =
            Parse(packet, length, blocks[i / kHeaderLanes], i % kHeaderLanes, addresses[i], view);
        if (kind == PacketClass::Skip) continue;
        if (kind == PacketClass::PassUnjudged) {
            s.passFlags.Set(i, true);
            continue;
        }
        if (!view.inbound) {
            s.needsChecksum[i] = 1;
            s.passFlags.Set(i, true);
            continue;
        }
        const uint32_t source = view.srcAddr;
        if ((hasLocal && engine.localAddresses.Contains(source)) ||
            (hasApiHost && engine.apiHostAddresses.Contains(source))) {
            s.passFlags.Set(i, true);
            continue;
        }
        const SourceListMatch listed = lists.MatchSourceLockFree(source);
        if (listed == SourceListMatch::kAllowed) {
            s.passFlags.Set(i, true);
            continue;
        }
        if (listed == SourceListMatch::kBlocked) continue;

        result.verdict = Verdict::Allow;
        result.reason.clear();
        if (view.isUdp) {
            EvaluateUdp(engine, result, view, SourceChecks::DoneByCaller);
        } else if (view.isIcmp) {
            EvaluateIcmp(engine, result, view, SourceChecks::DoneByCaller);
        } else if (engine.ruleEngine.tcpEnabled.load(std::memory_order_relaxed)) {
            // With its switch off EvaluateTcp only sets the Allow already set above.
            EvaluateTcp(engine, result, view, SourceChecks::DoneByCaller);
        }
        if (result.verdict == Verdict::Allow) {
            // RecordVerdict's whole work for a pass, without the call.
            ++s.processed;
            ++s.allowed;
            s.passFlags.Set(i, true);
            continue;
        }
        RecordVerdict(engine, view, result, s);
    }

    FlushEngineCounts(engine, s.counterShards);
    const int64_t now = s.batchTime;
    if (now - lastFlush >= kCounterFlushNs) FlushCounters(now);

    const size_t validCount = s.passFlags.CountSet();
    if (validCount == 0) return;
    ReinjectBatch(*this, s, n, validCount);
}

}  // namespace bastion
