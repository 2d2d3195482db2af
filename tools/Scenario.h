// Scenarios: timelines of traffic classes and their rates, built in or read from JSON.
//
//   {
//     "name": "my-test",
//     "seconds": 20,
//     "phases": [
//       {"class": "legit-tcp", "from": 0, "to": 20, "pps": 200},
//       {"class": "syn-spoofed", "from": 5, "to": 12, "pps": 20000}
//     ]
//   }
//
// A phase offers `pps` packets per second of its class from `from` (inclusive) to `to`
// (exclusive) seconds after the start; overlapping phases of one class add up.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/TrafficClass.h"

namespace bastion::tools {

struct Phase {
    TrafficClass trafficClass = TrafficClass::LegitTcp;
    double from = 0;  // seconds after the start
    double to = 0;
    double pps = 0;  // packets per second while the phase runs
};

struct Scenario {
    std::string name;
    double seconds = 0;  // the run's length
    std::vector<Phase> phases;

    // Packets per second of class `c` at `t` seconds.
    double RateAt(TrafficClass c, double t) const;
    // The same timeline stretched or shrunk to `seconds`.
    Scenario ScaledTo(double seconds) const;
    // The classes some phase offers.
    std::vector<TrafficClass> Classes() const;
};

std::vector<std::string> BuiltinScenarioNames();
std::optional<Scenario> BuiltinScenario(std::string_view name);

// Parses the JSON form; on failure returns nullopt and says why in `error`.
std::optional<Scenario> ParseScenario(std::string_view json, std::string* error);
// A built-in name or the path of a JSON file.
std::optional<Scenario> LoadScenario(const std::string& nameOrPath, std::string* error);

}  // namespace bastion::tools
