#include "tools/Scenario.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace bastion::tools {
namespace {

using C = TrafficClass;

// Legitimate users throughout `seconds`.
std::vector<Phase> Background(double seconds) {
    return {
        {C::LegitTcp, 0, seconds, 300},
        {C::LegitUdp, 0, seconds, 40},
        {C::LegitIcmp, 0, seconds, 4},
    };
}

Scenario Make(std::string name, double seconds, std::vector<Phase> attacks) {
    Scenario s{std::move(name), seconds, Background(seconds)};
    s.phases.insert(s.phases.end(), attacks.begin(), attacks.end());
    return s;
}

std::vector<Scenario> Builtins() {
    return {
        // Every attack class in turn, some overlapping, over steady legitimate use.
        Make("mixed", 30,
             {
                 {C::TcpFloodSingle, 3, 9, 15000},
                 {C::SynFloodSpoofed, 7, 13, 10000},
                 {C::SynFloodFew, 11, 16, 5000},
                 {C::AckFlood, 14, 19, 10000},
                 {C::UdpFlood, 17, 22, 16000},
                 {C::UdpAmplification, 20, 25, 8000},
                 {C::IcmpFlood, 23, 27, 8000},
                 {C::MalformedTcp, 25, 29, 5000},
             }),
        Make("single-source", 10, {{C::TcpFloodSingle, 2, 8, 15000}}),
        Make("syn-flood", 20, {{C::SynFloodSpoofed, 3, 12, 15000}, {C::SynFloodFew, 8, 17, 5000}}),
        Make("udp", 20, {{C::UdpFlood, 3, 12, 16000}, {C::UdpAmplification, 8, 17, 8000}}),
        Make("quiet", 10, {}),
    };
}

bool ReadNumber(const nlohmann::json& object, const char* key, double* out, std::string* error,
                const std::string& where) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_number()) {
        *error = where + ": \"" + key + "\" must be a number";
        return false;
    }
    *out = it->get<double>();
    if (!std::isfinite(*out) || *out < 0) {
        *error = where + ": \"" + key + "\" must be a finite number of at least 0";
        return false;
    }
    return true;
}

}  // namespace

double Scenario::RateAt(TrafficClass c, double t) const {
    double rate = 0;
    for (const Phase& p : phases) {
        if (p.trafficClass == c && t >= p.from && t < p.to) rate += p.pps;
    }
    return rate;
}

Scenario Scenario::ScaledTo(double newSeconds) const {
    Scenario s = *this;
    if (seconds <= 0 || newSeconds <= 0) return s;
    const double factor = newSeconds / seconds;
    s.seconds = newSeconds;
    for (Phase& p : s.phases) {
        p.from *= factor;
        p.to *= factor;
    }
    return s;
}

std::vector<TrafficClass> Scenario::Classes() const {
    std::vector<TrafficClass> classes;
    for (TrafficClass c : kAllTrafficClasses) {
        if (std::any_of(phases.begin(), phases.end(), [c](const Phase& p) {
                return p.trafficClass == c && p.pps > 0 && p.to > p.from;
            })) {
            classes.push_back(c);
        }
    }
    return classes;
}

std::vector<std::string> BuiltinScenarioNames() {
    std::vector<std::string> names;
    for (const Scenario& s : Builtins())
        names.push_back(s.name);
    return names;
}

std::optional<Scenario> BuiltinScenario(std::string_view name) {
    for (Scenario& s : Builtins()) {
        if (s.name == name) return std::move(s);
    }
    return std::nullopt;
}

std::optional<Scenario> ParseScenario(std::string_view text, std::string* error) {
    nlohmann::json root = nlohmann::json::parse(text, nullptr, false);
    if (root.is_discarded()) {
        *error = "not valid JSON";
        return std::nullopt;
    }
    if (!root.is_object()) {
        *error = "the scenario must be a JSON object";
        return std::nullopt;
    }
    Scenario s;
    s.name = root.value("name", std::string("custom"));
    if (!ReadNumber(root, "seconds", &s.seconds, error, "scenario")) return std::nullopt;
    if (s.seconds <= 0) {
        *error = "scenario: \"seconds\" must be above 0";
        return std::nullopt;
    }
    auto phases = root.find("phases");
    if (phases == root.end() || !phases->is_array()) {
        *error = "scenario: \"phases\" must be an array";
        return std::nullopt;
    }
    for (size_t i = 0; i < phases->size(); ++i) {
        const nlohmann::json& item = (*phases)[i];
        const std::string where = "phase " + std::to_string(i + 1);
        if (!item.is_object()) {
            *error = where + ": must be an object";
            return std::nullopt;
        }
        auto cls = item.find("class");
        std::optional<TrafficClass> c;
        if (cls != item.end() && cls->is_string()) c = ClassFromName(cls->get<std::string>());
        if (!c) {
            std::string names;
            for (TrafficClass k : kAllTrafficClasses)
                names += (names.empty() ? "" : ", ") + std::string(ClassName(k));
            *error = where + ": \"class\" must be one of " + names;
            return std::nullopt;
        }
        Phase p;
        p.trafficClass = *c;
        if (!ReadNumber(item, "from", &p.from, error, where) ||
            !ReadNumber(item, "to", &p.to, error, where) ||
            !ReadNumber(item, "pps", &p.pps, error, where)) {
            return std::nullopt;
        }
        if (p.to < p.from) {
            *error = where + ": \"to\" is before \"from\"";
            return std::nullopt;
        }
        s.phases.push_back(p);
    }
    return s;
}

std::optional<Scenario> LoadScenario(const std::string& nameOrPath, std::string* error) {
    if (auto builtin = BuiltinScenario(nameOrPath)) return builtin;
    std::ifstream in(nameOrPath, std::ios::binary);
    if (!in) {
        std::string names;
        for (const std::string& n : BuiltinScenarioNames())
            names += (names.empty() ? "" : ", ") + n;
        *error = "\"" + nameOrPath + "\" is neither a built-in scenario (" + names +
                 ") nor a readable file";
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string why;
    auto s = ParseScenario(text.str(), &why);
    if (!s) *error = nameOrPath + ": " + why;
    return s;
}

}  // namespace bastion::tools
