// Filter evaluation per packet for the engine's filters, on mixes of matching and
// non-matching packets, and compile time of the largest engine filter.
//
// Evaluate* measure Evaluate on packets parsed beforehand (the dispatch path parses each
// packet once and runs every handle's program on it); ParseAndEvaluate* include the parse.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "divert/filter/Filter.h"
#include "divert/filter/PacketInfo.h"
#include "tests/divert/EngineFilters.h"
#include "tests/divert/PacketBuilder.h"

namespace {

using namespace divert::testing;
using divert::filter::PacketInfo;

struct Sample {
    Bytes bytes;
    WINDIVERT_ADDRESS address;
    PacketInfo info;
};

std::vector<Sample> Prepare(std::vector<std::pair<Bytes, bool>> packets) {
    std::vector<Sample> samples(packets.size());
    for (size_t i = 0; i < packets.size(); ++i) {
        samples[i].bytes = std::move(packets[i].first);
        const bool ipv6 = (samples[i].bytes[0] >> 4) == 6;
        samples[i].address = NetworkAddress(packets[i].second, ipv6);
    }
    // Parse after the vector stops moving: PacketInfo points into the bytes.
    for (Sample& s : samples) {
        divert::filter::ParsePacketInfo(s.bytes.data(), static_cast<UINT>(s.bytes.size()), s.info);
    }
    return samples;
}

PacketBuilder In(const char* destination = "1.2.3.4") {
    return PacketBuilder::Ipv4("203.0.113.7", destination);
}

// Main filter: half the packets are diverted.
std::vector<Sample> MainMix() {
    return Prepare({
        {In().Tcp(5000, 80).Syn().Seq(1).Window(1024).Build(), false},
        {In().Tcp(5000, 443).Ack().Seq(1).AckNumber(1).Window(1024).Payload("data").Build(), false},
        {In("9.9.9.9").Icmp(8, 0, 1).Payload("ping").Build(), false},
        {In().Tcp(5000, 80).Ack().Psh().Payload(std::string(200, 'x')).Build(), false},
        {In().Tcp(5000, 22).Syn().Build(), false},
        {In().Udp(4000, 53).Payload("q").Build(), false},
        {In("1.2.3.5").Tcp(5000, 80).Syn().Build(), false},
        {PacketBuilder::Ipv4("1.2.3.4", "203.0.113.7").Tcp(80, 5000).Ack().Build(), true},
    });
}

// Header lane: learned shapes for ports 80..89 and near misses.
std::vector<Sample> HeaderLaneMix() {
    const Bytes options(20, 1);
    auto learned = [&](uint16_t port) {
        return In().Tcp(5000, port).Syn().Seq(5).Window(64240).TcpOptions(options);
    };
    return Prepare({
        {learned(80).Build(), false},
        {learned(85).Build(), false},
        {learned(89).Build(), false},
        {learned(90).Build(), false},
        {learned(84).Window(1000).Build(), false},
        {learned(81).Ack().Build(), false},
        {In().Tcp(5000, 443).Ack().Psh().Payload(std::string(500, 'x')).Build(), false},
        {In().Udp(4000, 53).Payload("q").Build(), false},
    });
}

// Protocol validation: malformed packets and ordinary traffic.
std::vector<Sample> ValidationMix() {
    auto tcp = [] { return In().Tcp(5000, 80).Seq(100).Window(64240); };
    return Prepare({
        {tcp().Syn().Fin().Build(), false},
        {tcp().Build(), false},
        {In().Tcp(0, 80).Ack().Seq(1).AckNumber(1).Window(1).Build(), false},
        {tcp().Fin().Psh().Urg().Build(), false},
        {tcp().Syn().TcpOptions({2, 4, 5, 0xb4}).Build(), false},
        {tcp().Ack().AckNumber(9).Payload(std::string(100, 'x')).Build(), false},
        {tcp().Ack().Psh().AckNumber(9).Payload("GET / HTTP/1.1").Build(), false},
        {tcp().Ack().Fin().AckNumber(9).Build(), false},
    });
}

void RunEvaluate(benchmark::State& state, const std::string& text,
                 const std::vector<Sample>& samples, bool parse) {
    auto compiled = divert::filter::Compile(text.c_str(), WINDIVERT_LAYER_NETWORK);
    if (!compiled.program) {
        state.SkipWithError(compiled.error);
        return;
    }
    const divert::filter::Program& program = *compiled.program;
    size_t i = 0, matches = 0;
    for (auto _ : state) {
        const Sample& s = samples[i];
        if (++i == samples.size()) i = 0;
        bool match;
        if (parse) {
            PacketInfo info;
            divert::filter::ParsePacketInfo(s.bytes.data(), static_cast<UINT>(s.bytes.size()),
                                            info);
            match = divert::filter::Evaluate(program, &info, s.address);
        } else {
            match = divert::filter::Evaluate(program, &s.info, s.address);
        }
        matches += match;
        benchmark::DoNotOptimize(match);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["match%"] = state.iterations() ? 100.0 * matches / state.iterations() : 0;
}

void EvaluateMainFilter(benchmark::State& state) {
    RunEvaluate(state, kMainFilter, MainMix(), false);
}
void EvaluateHeaderLane10(benchmark::State& state) {
    RunEvaluate(state, HeaderLaneFilter(10), HeaderLaneMix(), false);
}
void EvaluateProtocolValidation(benchmark::State& state) {
    RunEvaluate(state, kProtocolValidationFilter, ValidationMix(), false);
}
void ParseAndEvaluateMainFilter(benchmark::State& state) {
    RunEvaluate(state, kMainFilter, MainMix(), true);
}
void ParseAndEvaluateProtocolValidation(benchmark::State& state) {
    RunEvaluate(state, kProtocolValidationFilter, ValidationMix(), true);
}

void ParsePacketInfoOnly(benchmark::State& state) {
    std::vector<Sample> samples = MainMix();
    size_t i = 0;
    for (auto _ : state) {
        const Sample& s = samples[i];
        if (++i == samples.size()) i = 0;
        PacketInfo info;
        bool ok = divert::filter::ParsePacketInfo(s.bytes.data(), static_cast<UINT>(s.bytes.size()),
                                                  info);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(info);
    }
    state.SetItemsProcessed(state.iterations());
}

void CompileSynAck150(benchmark::State& state) {
    const std::string text = SynAckFilter(150);
    for (auto _ : state) {
        auto compiled = divert::filter::Compile(text.c_str(), WINDIVERT_LAYER_NETWORK);
        benchmark::DoNotOptimize(compiled.program);
    }
    state.counters["tests"] = divert::filter::TestCount(
        *divert::filter::Compile(text.c_str(), WINDIVERT_LAYER_NETWORK).program);
}

void CompileProtocolValidation(benchmark::State& state) {
    for (auto _ : state) {
        auto compiled = divert::filter::Compile(kProtocolValidationFilter, WINDIVERT_LAYER_NETWORK);
        benchmark::DoNotOptimize(compiled.program);
    }
}

BENCHMARK(EvaluateMainFilter);
BENCHMARK(EvaluateHeaderLane10);
BENCHMARK(EvaluateProtocolValidation);
BENCHMARK(ParseAndEvaluateMainFilter);
BENCHMARK(ParseAndEvaluateProtocolValidation);
BENCHMARK(ParsePacketInfoOnly);
BENCHMARK(CompileSynAck150)->Unit(benchmark::kMicrosecond);
BENCHMARK(CompileProtocolValidation)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
