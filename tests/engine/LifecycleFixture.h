// An engine on the simulated network: a fresh world (no faults, API trace off), a host
// state block and an engine built on it, and readers for what the engine asked of the
// driver and what it logged.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "divert/runtime/Faults.h"
#include "divert/runtime/Trace.h"
#include "divert/sim/SimWorld.h"
#include "engine/Lifecycle.h"
#include "engine/PacketProcessor.h"
#include "platform/Testing.h"
#include "tests/services/LogTestSupport.h"
#include "windivert.h"

namespace bastion::testing {

class LifecycleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        divert::ClearFaults();
        divert::SetTraceEnabled(false);
        divert::TakeTrace();
        platform::testing::SetAffinityEnabled(false);
        sim = divert::sim::SimWorld::Install();  // eth0 203.0.113.10 is the one address
        engine = std::make_unique<PacketProcessor>(state);
    }

    void TearDown() override {
        engine.reset();
        divert::ClearFaults();
        divert::SetTraceEnabled(false);
        platform::testing::SetProcessorCount(0);
        platform::testing::SetAffinityEnabled(true);
        sim->Uninstall();
    }

    HANDLE Handle() const { return engine->captureHandle.load(); }

    // The driver calls of `function` recorded since the last look.
    static std::vector<divert::TraceRecord> Calls(const std::vector<divert::TraceRecord>& trace,
                                                  divert::ApiFunction function) {
        std::vector<divert::TraceRecord> out;
        for (const divert::TraceRecord& record : trace) {
            if (record.function == function) out.push_back(record);
        }
        return out;
    }

    // The calls of `function` on `handle`.
    static std::vector<divert::TraceRecord> CallsOn(const std::vector<divert::TraceRecord>& trace,
                                                    divert::ApiFunction function, HANDLE handle) {
        std::vector<divert::TraceRecord> out;
        for (const divert::TraceRecord& record : Calls(trace, function)) {
            if (record.handle == handle) out.push_back(record);
        }
        return out;
    }

    // Opens at the network layer: the main handle's (the flow tracker opens at the flow
    // layer).
    static std::vector<divert::TraceRecord> NetworkOpens(
        const std::vector<divert::TraceRecord>& trace) {
        std::vector<divert::TraceRecord> out;
        for (const divert::TraceRecord& record : Calls(trace, divert::ApiFunction::Open)) {
            if (record.layer == WINDIVERT_LAYER_NETWORK) out.push_back(record);
        }
        return out;
    }

    // Whether `handle` is still open in the driver.
    static bool IsOpen(HANDLE handle) {
        UINT64 value = 0;
        return WinDivertGetParam(handle, WINDIVERT_PARAM_QUEUE_LENGTH, &value) != FALSE;
    }

    // Log lines queued since the last call (the engine is not running: nothing drains them).
    std::vector<std::string> TakeLogLines() {
        std::vector<std::string> all = QueuedTexts(*engine);
        std::vector<std::string> fresh(all.begin() + static_cast<std::ptrdiff_t>(seenLines_),
                                       all.end());
        seenLines_ = all.size();
        return fresh;
    }

    static AppConfig TcpOnly(std::string address, std::set<uint16_t> ports) {
        AppConfig config;
        config.tcpTargetAddress = std::move(address);
        config.tcpPorts = std::move(ports);
        return config;
    }

    RuntimeState state;
    std::shared_ptr<divert::sim::SimWorld> sim;
    std::unique_ptr<PacketProcessor> engine;

  private:
    size_t seenLines_ = 0;
};

}  // namespace bastion::testing
