// Re-injection of a judged batch: the passing packets go back into the stack, the others
// are simply not sent.
//
// All passing: the receive buffer and address array are sent back as they are, with one
// asynchronous WinDivertSendEx ("ZERO-COPY"); while it is in flight the next receive goes
// to the other buffer set. Some dropped: each run of consecutive passing packets is copied
// once into set C and the compacted batch is sent with one synchronous call
// ("SELECTIVE"). A failed batch send is retried as halves and then packet by packet, so
// that a failing driver call never loses a passing packet. An outbound packet's checksums
// are recomputed exactly once, before its first send, and its flag is cleared so that no
// fallback recomputes them.
#include <cstring>
#include <string>

#include "capture/CaptureWorker.h"
#include "engine/PacketProcessor.h"

namespace bastion {
namespace {

inline bool LengthUsable(uint32_t length) {
    return length != 0 && length <= kMaxPacketLength;
}

std::string Thread(const CaptureWorker& worker) {
    return "(Thread " + std::to_string(worker.workerIndex);
}

// The walk's warnings are built out of line: inlined, their string code took the registers
// of the walk, whose counters then lived on the stack.
[[gnu::cold, gnu::noinline]] void WarnPacketTooSmall(CaptureWorker& worker, uint32_t length) {
    if (worker.ShouldWarn(WarningSite::PacketTooSmall)) {
        worker.Emit("[⚠️] Packet too small " + Thread(worker) + ", Size=" +
                    std::to_string(length) + " bytes, Min=20) - Skipping invalid packet");
    }
}

[[gnu::cold, gnu::noinline]] void WarnInvalidVersion(CaptureWorker& worker, uint32_t version) {
    if (worker.ShouldWarn(WarningSite::InvalidVersion)) {
        worker.Emit("[⚠️] Invalid IP version " + Thread(worker) + ", Version=" +
                    std::to_string(version) + ", Expected=4) - Skipping packet (prevent ERROR 87)");
    }
}

void WholeBatch(CaptureWorker& worker, CaptureScratch& s, size_t n) {
    BufferSet& set = worker.sets[static_cast<size_t>(worker.receiveSet)];
    uint8_t* buffer = set.packets.get();
    WINDIVERT_ADDRESS* addresses = set.addresses.get();
    const UINT recvLen = worker.recvLen;

    // The indexes are written through a plain pointer: with push_back the vector's end
    // went through memory on every packet.
    s.validIndexes.resize(n);
    uint32_t* const valid = s.validIndexes.data();
    const uint32_t* const lengths = s.packetLengths.data();
    uint8_t* const needsChecksum = s.needsChecksum.data();
    uint32_t offset = 0;
    uint32_t sendCount = 0;
    uint32_t sendLen = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t length = lengths[i];
        if (!LengthUsable(length) || offset + length > recvLen) break;
        uint8_t* packet = buffer + offset;
        offset += length;
        if (length < kMinIpv4Header) {
            WarnPacketTooSmall(worker, length);
            continue;
        }
        const uint32_t version = packet[0] >> 4;
        if (version != 4) {
            WarnInvalidVersion(worker, version);
            continue;
        }
        if (needsChecksum[i]) {
            worker.RecomputeChecksums(packet, length, &addresses[i]);
            needsChecksum[i] = 0;
        }
        valid[sendCount] = static_cast<uint32_t>(i);
        ++sendCount;
        sendLen += length;
    }
    s.validIndexes.resize(sendCount);
    if (sendCount == 0 || sendCount > n) {
        if (worker.ShouldWarn(WarningSite::InvalidCount)) {
            worker.Emit("[⚠️] Invalid packet count " + Thread(worker) +
                        ", Valid=" + std::to_string(sendCount) + ", Total=" + std::to_string(n) +
                        ", TotalLen=" + std::to_string(sendLen) +
                        ") - Skipping batch (prevent ERROR 122)");
        }
        return;
    }
    if (sendLen < kMinIpv4Header) {
        if (worker.ShouldWarn(WarningSite::InvalidBufferSize)) {
            worker.Emit("[⚠️] Invalid packet buffer size " + Thread(worker) + ", ValidLen=" +
                        std::to_string(sendLen) + ", ValidCount=" + std::to_string(sendCount) +
                        ") - Skipping batch (prevent ERROR 122)");
        }
        return;
    }
    if (!worker.Running()) return;

    const HANDLE handle = worker.handle;
    // What the batch send carried, for the single-packet fallback.
    const uint8_t* sentBuffer = buffer;
    const WINDIVERT_ADDRESS* sentAddresses = addresses;
    uint32_t sentBytes = sendLen;
    size_t sentCount = sendCount;
    size_t copied = sendCount;
    bool truncated = false;

    if (sendCount == n && n <= kMaxBatchPackets) {
        ResetEvent(worker.sendEvent);
        if (WinDivertSendEx(handle, buffer, sendLen, nullptr, 0, addresses,
                            sendCount * kAddressBytes, &worker.sendOverlapped)) {
            return;
        }
        if (GetLastError() == ERROR_IO_PENDING) {
            // The buffer stays untouched until the next cycle collects the send: receive
            // into the other set meanwhile.
            worker.sendPending = true;
            worker.sendHandle = handle;
            worker.receiveSet = worker.receiveSet == CaptureWorker::kSetA ? CaptureWorker::kSetB
                                                                          : CaptureWorker::kSetA;
            return;
        }
    } else {
        BufferSet& out = worker.sets[CaptureWorker::kSetC];
        const size_t copy =
            s.validIndexes.size() < kMaxBatchPackets ? s.validIndexes.size() : kMaxBatchPackets;
        uint32_t pos = 0;
        copied = 0;
        for (size_t k = 0; k < copy; ++k) {
            const uint32_t idx = s.validIndexes[k];
            if (idx >= n) break;
            const uint32_t length = s.packetLengths[idx];
            if (!LengthUsable(length) || s.packetOffsets[idx] + length > recvLen) break;
            std::memcpy(out.packets.get() + pos, buffer + s.packetOffsets[idx], length);
            out.addresses[k] = addresses[idx];
            pos += length;
            ++copied;
        }
        truncated = s.validIndexes.size() > copied;
        if (copied == 0 || pos == 0) return;
        ResetEvent(worker.sendEvent);
        sentBuffer = out.packets.get();
        sentAddresses = out.addresses.get();
        sentBytes = pos;
        sentCount = copied;
        bool sent = WinDivertSendEx(handle, out.packets.get(), pos, nullptr, 0, out.addresses.get(),
                                    static_cast<UINT>(copied * kAddressBytes),
                                    &worker.sendOverlapped) != FALSE;
        if (!sent && GetLastError() == ERROR_IO_PENDING) {
            worker.sendPending = true;
            worker.sendHandle = handle;
            sent = true;
        }
        if (sent) sentCount = 0;  // nothing to retry
    }

    // The batch send failed: every packet it carried, one by one.
    uint32_t pos = 0;
    for (size_t k = 0; k < sentCount; ++k) {
        const uint32_t length = s.packetLengths[s.validIndexes[k]];
        if (!LengthUsable(length) || pos + length > sentBytes) break;
        UINT sent = 0;
        WinDivertSend(handle, sentBuffer + pos, length, &sent, &sentAddresses[k]);
        pos += length;
    }

    if (!truncated) return;
    const size_t remaining = s.validIndexes.size() - copied;
    uint32_t individual = 0;
    uint32_t failed = 0;
    for (size_t k = copied; k < s.validIndexes.size(); ++k) {
        const uint32_t idx = s.validIndexes[k];
        if (idx >= n) break;
        const uint32_t length = s.packetLengths[idx];
        if (!LengthUsable(length) || s.packetOffsets[idx] + length > recvLen) break;
        UINT sent = 0;
        if (WinDivertSend(handle, buffer + s.packetOffsets[idx], length, &sent, &addresses[idx])) {
            ++individual;
            continue;
        }
        const DWORD error = GetLastError();
        ++failed;
        if (worker.ShouldWarn(WarningSite::ZeroCopyTruncatedFailed)) {
            worker.Emit("[⚠️] ZERO-COPY truncated send failed " + Thread(worker) +
                        ", Error=" + std::to_string(error) + ", Failed=" + std::to_string(failed) +
                        "/" + std::to_string(remaining) + ")");
        }
    }
    if ((individual != 0 || failed != 0) &&
        worker.ShouldWarn(WarningSite::ZeroCopyTruncateSummary, kSummaryPeriodNs)) {
        worker.Emit("[📊] ZERO-COPY truncate recovery (Thread " +
                    std::to_string(worker.workerIndex) + "): Batch=" + std::to_string(copied) +
                    ", Individual=" + std::to_string(individual) +
                    ", Failed=" + std::to_string(failed) + "/" + std::to_string(remaining));
    }
}

void Selective(CaptureWorker& worker, CaptureScratch& s, size_t n, size_t validCount) {
    BufferSet& set = worker.sets[static_cast<size_t>(worker.receiveSet)];
    uint8_t* buffer = set.packets.get();
    WINDIVERT_ADDRESS* addresses = set.addresses.get();
    BufferSet& out = worker.sets[CaptureWorker::kSetC];
    uint8_t* outBuffer = out.packets.get();
    WINDIVERT_ADDRESS* outAddresses = out.addresses.get();
    const UINT recvLen = worker.recvLen;

    s.selectedLengths.clear();
    BatchBits& compacted = worker.compacted;
    compacted.Reset(n);
    bool inRun = false;
    uint32_t runStart = 0;
    size_t runFirst = 0;
    uint32_t runLength = 0;
    uint32_t outLen = 0;
    size_t outCount = 0;

    // One copy per run; then the run's addresses, its lengths and, for outbound packets,
    // the checksums of the copies.
    auto flush = [&](size_t end) {
        if (!inRun) return;
        inRun = false;
        if (runLength == 0) return;
        std::memcpy(outBuffer + outLen, buffer + runStart, runLength);
        uint32_t cursor = outLen;
        for (size_t j = runFirst; j < end; ++j) {
            const uint32_t length = s.packetLengths[j];
            outAddresses[outCount] = addresses[j];
            if (s.needsChecksum[j]) {
                worker.RecomputeChecksums(outBuffer + cursor, length, &outAddresses[outCount]);
                s.needsChecksum[j] = 0;
            }
            s.selectedLengths.push_back(length);
            compacted.Set(j, true);
            ++outCount;
            cursor += length;
        }
        outLen += runLength;
    };

    uint32_t offset = 0;
    bool ended = false;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t length = s.packetLengths[i];
        if (!LengthUsable(length) || offset + length > recvLen) {
            flush(i);
            ended = true;
            break;
        }
        if (i + 1 < n && s.passFlags.Test(i + 1) && offset + length + kPrefetchSpan <= recvLen) {
            __builtin_prefetch(buffer + offset + length);
        }
        if (length >= kMinIpv4Header && s.passFlags.Test(i)) {
            if (!inRun) {
                inRun = true;
                runStart = offset;
                runFirst = i;
                runLength = length;
            } else {
                runLength += length;
            }
        } else {
            flush(i);
        }
        offset += length;
    }
    if (!ended) flush(n);

    if (outCount == 0) return;
    if (outLen == 0 || outCount > validCount) {
        if (worker.ShouldWarn(WarningSite::SelectiveMismatch)) {
            worker.Emit("[⚠️] SELECTIVE buffer mismatch " + Thread(worker) + ", DataSize=" +
                        std::to_string(outLen) + ", ValidCount=" + std::to_string(outCount) +
                        ", AllowedCount=" + std::to_string(validCount) + ") - Skipping batch");
        }
        return;
    }
    if (!worker.Running()) return;
    if (outCount > kMaxBatchPackets) {
        outLen = 0;
        for (size_t k = 0; k < kMaxBatchPackets; ++k)
            outLen += s.selectedLengths[k];
        outCount = kMaxBatchPackets;
        s.selectedLengths.resize(kMaxBatchPackets);
    }
    const size_t addrBytes = outCount * kAddressBytes;
    if (addrBytes < kAddressBytes || addrBytes > kAddressArrayBytes) {
        if (worker.ShouldWarn(WarningSite::SelectiveAddrLen)) {
            worker.Emit("[⚠️] SELECTIVE invalid addr_len " + Thread(worker) +
                        ", AddrLen=" + std::to_string(addrBytes) +
                        ", Count=" + std::to_string(outCount) + ") - Skipping batch");
        }
        return;
    }

    const HANDLE handle = worker.handle;
    UINT sent = 0;
    if (!WinDivertSendEx(handle, outBuffer, outLen, &sent, 0, outAddresses,
                         static_cast<UINT>(addrBytes), nullptr)) {
        std::vector<uint32_t>& positions = worker.sendPositions;
        positions.clear();
        positions.push_back(0);
        for (size_t k = 0; k < outCount; ++k)
            positions.push_back(positions.back() + s.selectedLengths[k]);
        auto sendRange = [&](size_t first, size_t end) {
            if (first >= end || end > outCount) return true;
            UINT rangeSent = 0;
            return WinDivertSendEx(
                       handle, outBuffer + positions[first], positions[end] - positions[first],
                       &rangeSent, 0, outAddresses + first,
                       static_cast<UINT>((end - first) * kAddressBytes), nullptr) != FALSE;
        };
        bool halvesSent = false;
        if (outCount > 1) {
            const size_t half = outCount / 2;
            const bool first = sendRange(0, half);
            const bool second = sendRange(half, outCount);
            halvesSent = first && second;
        }
        if (!halvesSent) {
            // A half that went through is sent again here: the driver gives no way to know
            // which packets of a failed half were injected.
            uint32_t pos = 0;
            for (size_t k = 0; k < outCount; ++k) {
                const uint32_t length = s.selectedLengths[k];
                if (pos + length > outLen) break;
                UINT single = 0;
                WinDivertSend(handle, outBuffer + pos, length, &single, &outAddresses[k]);
                pos += length;
            }
        }
    }

    if (outCount >= validCount) return;
    s.allowedIndexes.clear();
    for (size_t i = 0; i < n; ++i) {
        if (s.passFlags.Test(i)) s.allowedIndexes.push_back(static_cast<uint32_t>(i));
    }
    const size_t remaining = s.allowedIndexes.size() - outCount;
    uint32_t individual = 0;
    uint32_t failed = 0;
    // The passing packets the runs left out. They need not be the last ones: a passing
    // packet too short to send ends no run, it is only left out, and counting from
    // position outCount would send a compacted packet a second time instead of it.
    for (size_t k = 0; k < s.allowedIndexes.size(); ++k) {
        const uint32_t idx = s.allowedIndexes[k];
        if (idx >= n) break;
        if (compacted.Test(idx)) continue;
        const uint32_t length = s.packetLengths[idx];
        if (length == 0 || s.packetOffsets[idx] + length > recvLen) break;
        uint8_t* packet = buffer + s.packetOffsets[idx];
        if (s.needsChecksum[idx]) {
            worker.RecomputeChecksums(packet, length, &addresses[idx]);
            s.needsChecksum[idx] = 0;
        }
        UINT single = 0;
        if (WinDivertSend(handle, packet, length, &single, &addresses[idx])) {
            ++individual;
            continue;
        }
        const DWORD error = GetLastError();
        ++failed;
        if (worker.ShouldWarn(WarningSite::TruncatedFailed)) {
            worker.Emit("[⚠️] Truncated packet send failed " + Thread(worker) + ", Error: " +
                        std::to_string(error) + ", Failed: " + std::to_string(failed) + "/" +
                        std::to_string(remaining) + ")");
        }
    }
    if ((individual != 0 || failed != 0) &&
        worker.ShouldWarn(WarningSite::TruncateSummary, kSummaryPeriodNs)) {
        worker.Emit("[📊] Truncate recovery (Thread " + std::to_string(worker.workerIndex) +
                    "): Batch=" + std::to_string(outCount) + ", Individual=" +
                    std::to_string(individual) + ", Failed=" + std::to_string(failed) + "/" +
                    std::to_string(remaining) + " (Zero loss!)");
    }
}

}  // namespace

void CaptureWorker::RecomputeChecksums(uint8_t* packet, uint32_t length,
                                       WINDIVERT_ADDRESS* address) {
    WinDivertHelperCalcChecksums(packet, length, address, 0);
    ++checksumRecomputations;
}

void ReinjectBatch(CaptureWorker& worker, CaptureScratch& scratch, size_t n, size_t validCount) {
    if (validCount == n) {
        WholeBatch(worker, scratch, n);
    } else {
        Selective(worker, scratch, n, validCount);
    }
}

}  // namespace bastion
