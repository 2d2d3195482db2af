// Reading the configuration file: parse, index positions, then decode section by section,
// collecting every problem with its position.
#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>

#include "control/AtomicFile.h"
#include "control/ConfigNames.h"
#include "control/HostConfig.h"
#include "control/JsonPositions.h"

namespace bastion {

using json = nlohmann::json;

std::string ConfigProblem::Describe() const {
    if (line == 0) return file + ": " + message;
    return file + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + message;
}

namespace {

constexpr uint64_t kU16Max = std::numeric_limits<uint16_t>::max();
constexpr uint64_t kU32Max = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kI64Max = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

size_t EditDistance(std::string_view a, std::string_view b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t above = row[j];
            bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                        std::tolower(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The closest of `candidates` to `word`, when it is close enough to be a likely typo.
std::string Suggestion(std::string_view word, const std::vector<std::string_view>& candidates) {
    std::string_view best;
    size_t bestDistance = 3;
    for (std::string_view candidate : candidates) {
        size_t distance = EditDistance(word, candidate);
        if (distance < bestDistance) {
            bestDistance = distance;
            best = candidate;
        }
    }
    return best.empty() ? std::string() : " (did you mean \"" + std::string(best) + "\"?)";
}

std::string Join(const std::vector<std::string_view>& words) {
    std::string joined;
    for (std::string_view word : words) {
        if (!joined.empty()) joined += ", ";
        joined += word;
    }
    return joined;
}

// "/tcp/rules/0/kind" -> "tcp.rules[0].kind", the spelling used in messages.
std::string DisplayPath(const std::string& pointer) {
    std::string display;
    size_t at = 1;
    while (at <= pointer.size() && !pointer.empty()) {
        size_t end = pointer.find('/', at);
        if (end == std::string::npos) end = pointer.size();
        std::string segment = pointer.substr(at, end - at);
        bool index = !segment.empty() && std::all_of(segment.begin(), segment.end(),
                                                     [](char c) { return c >= '0' && c <= '9'; });
        if (index) {
            display += "[" + segment + "]";
        } else {
            std::string key;
            for (size_t i = 0; i < segment.size(); ++i) {
                if (segment[i] == '~' && i + 1 < segment.size()) {
                    key += segment[i + 1] == '1' ? '/' : '~';
                    ++i;
                } else {
                    key += segment[i];
                }
            }
            if (!display.empty()) display += '.';
            display += key;
        }
        at = end + 1;
    }
    return display.empty() ? "the top level" : display;
}

std::string TypeText(const json& value) {
    switch (value.type()) {
        case json::value_t::null:
            return "null";
        case json::value_t::boolean:
            return value.get<bool>() ? "true" : "false";
        case json::value_t::string:
            return "a string";
        case json::value_t::number_float:
            return "the number " + value.dump();
        case json::value_t::number_integer:
        case json::value_t::number_unsigned:
            return "the number " + value.dump();
        case json::value_t::array:
            return "a list";
        case json::value_t::object:
            return "an object";
        default:
            return "a value";
    }
}

bool ParseIPv4(const std::string& text) {
    in_addr parsed{};
    return text.size() <= 15 && ::inet_pton(AF_INET, text.c_str(), &parsed) == 1;
}

// Decodes one parsed file; every problem goes to `problems` with its position.
class Decoder {
  public:
    Decoder(std::string_view text, const std::string& file, const JsonPositions& positions,
            std::vector<ConfigProblem>& problems)
        : text_(text), file_(file), positions_(positions), problems_(problems) {}

    void Decode(const json& root, HostConfig& out) {
        if (!Object(root, "",
                    {"host", "firewallBlockDurationSeconds", "logging", "tcp", "udp", "icmp"})) {
            return;
        }
        if (root.contains("host")) Host(root["host"], "/host", out.host);
        Signed(root, "", "firewallBlockDurationSeconds", out.config.firewallBlockDurationSeconds, 0,
               kI64Max);
        if (root.contains("logging")) Logging(root["logging"], "/logging", out.config);
        if (root.contains("tcp")) Tcp(root["tcp"], "/tcp", out);
        if (root.contains("udp")) Udp(root["udp"], "/udp", out);
        if (root.contains("icmp")) Icmp(root["icmp"], "/icmp", out);
    }

  private:
    // ---- Reporting -----------------------------------------------------------------------
    void ProblemAt(size_t offset, std::string message) {
        ConfigProblem problem{file_, 1, 1, std::move(message)};
        if (offset != JsonPositions::kNone) {
            TextPosition position = PositionAt(text_, offset);
            problem.line = position.line;
            problem.column = position.column;
        }
        problems_.push_back(std::move(problem));
    }
    void ValueProblem(const std::string& pointer, std::string message) {
        ProblemAt(positions_.Find(pointer).valueOffset, std::move(message));
    }
    void KeyProblem(const std::string& pointer, std::string message) {
        JsonPositions::Entry entry = positions_.Find(pointer);
        ProblemAt(entry.keyOffset != JsonPositions::kNone ? entry.keyOffset : entry.valueOffset,
                  std::move(message));
    }
    void WrongType(const std::string& pointer, const json& value, const char* expected) {
        ValueProblem(pointer, DisplayPath(pointer) + ": expected " + expected + ", found " +
                                  TypeText(value));
    }

    // ---- Shapes --------------------------------------------------------------------------
    // Checks that `value` is an object whose keys are all in `keys`.
    bool Object(const json& value, const std::string& pointer, std::vector<std::string_view> keys) {
        if (!value.is_object()) {
            WrongType(pointer, value, "an object");
            return false;
        }
        for (const auto& [key, member] : value.items()) {
            if (std::find(keys.begin(), keys.end(), key) != keys.end()) continue;
            std::string where = pointer.empty() ? "" : " in " + DisplayPath(pointer);
            KeyProblem(JsonPositions::Child(pointer, key),
                       "unknown key \"" + key + "\"" + where + Suggestion(key, keys));
        }
        return true;
    }

    const json* Member(const json& object, const std::string& pointer, const char* key,
                       std::string& childPointer) {
        auto it = object.find(key);
        if (it == object.end()) return nullptr;
        childPointer = JsonPositions::Child(pointer, key);
        return &*it;
    }

    // ---- Scalars -------------------------------------------------------------------------
    void Bool(const json& object, const std::string& pointer, const char* key, bool& out) {
        std::string child;
        const json* value = Member(object, pointer, key, child);
        if (value == nullptr) return;
        if (!value->is_boolean()) return WrongType(child, *value, "true or false");
        out = value->get<bool>();
    }

    // A whole number in [min, max] at `pointer`; false (reported) otherwise.
    bool WholeNumber(const json& value, const std::string& pointer, uint64_t min, uint64_t max,
                     uint64_t& out) {
        if (value.is_number_unsigned()) {
            out = value.get<uint64_t>();
        } else if (value.is_number_integer()) {
            int64_t signedValue = value.get<int64_t>();
            if (signedValue < 0) {
                ValueProblem(pointer, DisplayPath(pointer) + ": " + value.dump() +
                                          " is out of range (" + std::to_string(min) + " to " +
                                          std::to_string(max) + ")");
                return false;
            }
            out = static_cast<uint64_t>(signedValue);
        } else {
            WrongType(pointer, value, "a whole number");
            return false;
        }
        if (out < min || out > max) {
            ValueProblem(pointer, DisplayPath(pointer) + ": " + std::to_string(out) +
                                      " is out of range (" + std::to_string(min) + " to " +
                                      std::to_string(max) + ")");
            return false;
        }
        return true;
    }

    template <class T>
    void Unsigned(const json& object, const std::string& pointer, const char* key, T& out,
                  uint64_t min = 0, uint64_t max = std::numeric_limits<T>::max()) {
        std::string child;
        const json* value = Member(object, pointer, key, child);
        if (value == nullptr) return;
        uint64_t number = 0;
        if (WholeNumber(*value, child, min, max, number)) out = static_cast<T>(number);
    }

    void Signed(const json& object, const std::string& pointer, const char* key, int64_t& out,
                uint64_t min, uint64_t max) {
        std::string child;
        const json* value = Member(object, pointer, key, child);
        if (value == nullptr) return;
        uint64_t number = 0;
        if (WholeNumber(*value, child, min, max, number)) out = static_cast<int64_t>(number);
    }

    void String(const json& object, const std::string& pointer, const char* key, std::string& out) {
        std::string child;
        const json* value = Member(object, pointer, key, child);
        if (value == nullptr) return;
        if (!value->is_string()) return WrongType(child, *value, "a string");
        out = value->get<std::string>();
    }

    // "" or a dotted IPv4 address.
    void Address(const json& object, const std::string& pointer, const char* key,
                 std::string& out) {
        std::string child;
        const json* value = Member(object, pointer, key, child);
        if (value == nullptr) return;
        if (!value->is_string()) return WrongType(child, *value, "a string");
        std::string text = value->get<std::string>();
        if (!text.empty() && !ParseIPv4(text)) {
            return ValueProblem(child, DisplayPath(child) + ": \"" + text +
                                           "\" is not an IPv4 address (write \"\" for every "
                                           "address, \"0.0.0.0\" for the server's own)");
        }
        out = std::move(text);
    }

    void PortSet(const json& object, const std::string& pointer, const char* key,
                 std::set<uint16_t>& out, uint64_t minPort) {
        std::string child;
        const json* value = Member(object, pointer, key, child);
        if (value == nullptr) return;
        if (!value->is_array()) return WrongType(child, *value, "a list of ports");
        std::set<uint16_t> ports;
        for (size_t i = 0; i < value->size(); ++i) {
            uint64_t port = 0;
            if (WholeNumber((*value)[i], JsonPositions::Child(child, i), minPort, kU16Max, port)) {
                ports.insert(static_cast<uint16_t>(port));
            }
        }
        out = std::move(ports);
    }

    // ---- Sections ------------------------------------------------------------------------
    void Host(const json& value, const std::string& pointer, HostSettings& out) {
        if (!Object(value, pointer,
                    {"stateDirectory", "httpAddress", "httpPort", "packetLogCapacity",
                     "apiHostName", "linuxWorld"})) {
            return;
        }
        String(value, pointer, "stateDirectory", out.stateDirectory);
        if (out.stateDirectory.empty()) {
            ValueProblem(JsonPositions::Child(pointer, "stateDirectory"),
                         "host.stateDirectory: must not be empty");
        }
        std::string child;
        if (const json* address = Member(value, pointer, "httpAddress", child)) {
            if (!address->is_string()) {
                WrongType(child, *address, "a string");
            } else if (!ParseIPv4(address->get<std::string>())) {
                ValueProblem(child, "host.httpAddress: \"" + address->get<std::string>() +
                                        "\" is not an IPv4 address");
            } else {
                out.httpAddress = address->get<std::string>();
            }
        }
        Unsigned(value, pointer, "httpPort", out.httpPort);
        Unsigned(value, pointer, "packetLogCapacity", out.packetLogCapacity, 1, 10'000'000);
        String(value, pointer, "apiHostName", out.apiHostName);
        if (const json* world = Member(value, pointer, "linuxWorld", child))
            LinuxWorld(*world, child, out.linuxWorld);
    }

    void LinuxWorld(const json& value, const std::string& pointer, LinuxWorldSettings& out) {
        if (!Object(value, pointer,
                    {"failOpen", "firstQueue", "queueCount", "heldGraceMs", "readGatherUs"})) {
            return;
        }
        Bool(value, pointer, "failOpen", out.failOpen);
        Unsigned(value, pointer, "firstQueue", out.firstQueue);
        Unsigned(value, pointer, "queueCount", out.queueCount, 1, 64);
        Unsigned(value, pointer, "heldGraceMs", out.heldGraceMs, 1, 60'000);
        Unsigned(value, pointer, "readGatherUs", out.readGatherUs, 0, 10'000);
        if (uint32_t{out.firstQueue} + out.queueCount > 65536) {
            ValueProblem(JsonPositions::Child(pointer, "queueCount"),
                         "host.linuxWorld: the queues must lie within 0 to 65535 (firstQueue + "
                         "queueCount <= 65536)");
        }
    }

    void Logging(const json& value, const std::string& pointer, AppConfig& out) {
        if (!Object(value, pointer, {"packetLog", "statsLog", "fileLog"})) return;
        Bool(value, pointer, "packetLog", out.packetLogEnabled);
        Bool(value, pointer, "statsLog", out.statsLogEnabled);
        Bool(value, pointer, "fileLog", out.fileLogEnabled);
    }

    void Tcp(const json& value, const std::string& pointer, HostConfig& out) {
        if (!Object(value, pointer,
                    {"enabled", "targetAddress", "ports", "rules", "portRules", "advancedRules"})) {
            return;
        }
        Bool(value, pointer, "enabled", out.config.tcpEnabled);
        Address(value, pointer, "targetAddress", out.config.tcpTargetAddress);
        PortSet(value, pointer, "ports", out.config.tcpPorts, 0);
        Rules(value, pointer, Protocol::Tcp, out.rules);
        std::string child;
        if (const json* portRules = Member(value, pointer, "portRules", child)) {
            if (Object(*portRules, child,
                       {"packetRate", "payloadSize", "connections", "synRate"})) {
                PortRules(*portRules, child, "packetRate", out.portPpsRules);
                PortRules(*portRules, child, "payloadSize", out.portSizeRules);
                PortRules(*portRules, child, "connections", out.portConnRules);
                PortRules(*portRules, child, "synRate", out.portSynRules);
            }
        }
        AdvancedRules(value, pointer, child, &Decoder::AdvancedRule, AdvancedRuleTypeName,
                      out.advancedRules);
    }

    void Udp(const json& value, const std::string& pointer, HostConfig& out) {
        if (!Object(value, pointer,
                    {"enabled", "targetAddress", "ports", "rules", "advancedRules"})) {
            return;
        }
        Bool(value, pointer, "enabled", out.config.udpEnabled);
        Address(value, pointer, "targetAddress", out.config.udpTargetAddress);
        PortSet(value, pointer, "ports", out.config.udpPorts, 0);
        Rules(value, pointer, Protocol::Udp, out.udpRules);
        std::string child;
        AdvancedRules(value, pointer, child, &Decoder::UdpAdvancedRule, UdpAdvancedRuleTypeName,
                      out.udpAdvancedRules);
    }

    void Icmp(const json& value, const std::string& pointer, HostConfig& out) {
        if (!Object(value, pointer, {"enabled", "targetAddress", "rules", "advancedRules"})) return;
        Bool(value, pointer, "enabled", out.config.icmpEnabled);
        Address(value, pointer, "targetAddress", out.config.icmpTargetAddress);
        Rules(value, pointer, Protocol::Icmp, out.icmpRules);
        std::string child;
        AdvancedRules(value, pointer, child, &Decoder::IcmpAdvancedRule, IcmpAdvancedRuleTypeName,
                      out.icmpAdvancedRules);
    }

    const json* List(const json& object, const std::string& pointer, const char* key,
                     std::string& child) {
        const json* value = Member(object, pointer, key, child);
        if (value == nullptr) return nullptr;
        if (!value->is_array()) {
            WrongType(child, *value, "a list");
            return nullptr;
        }
        return value;
    }

    // Reads an "advancedRules" list with `parse`, keeping the rules that read cleanly, and
    // refuses a second rule of one type.
    template <class Rule>
    void AdvancedRules(const json& value, const std::string& pointer, std::string& child,
                       bool (Decoder::*parse)(const json&, const std::string&, Rule&),
                       const char* (*typeName)(uint32_t), std::vector<Rule>& out) {
        const json* list = List(value, pointer, "advancedRules", child);
        if (list == nullptr) return;
        out.clear();
        std::vector<size_t> indexes;
        for (size_t i = 0; i < list->size(); ++i) {
            Rule rule;
            if ((this->*parse)((*list)[i], JsonPositions::Child(child, i), rule)) {
                out.push_back(std::move(rule));
                indexes.push_back(i);
            }
        }
        FirstOfTypeOnly(out, indexes, child, typeName);
    }

    // The engine uses the first advanced rule of each type; a second one would be
    // silently ignored, so it is refused.
    template <class Rule>
    void FirstOfTypeOnly(const std::vector<Rule>& rules, const std::vector<size_t>& indexes,
                         const std::string& pointer, const char* (*typeName)(uint32_t)) {
        for (size_t i = 0; i < rules.size(); ++i) {
            for (size_t j = 0; j < i; ++j) {
                if (rules[j].type != rules[i].type) continue;
                const char* name = typeName(rules[i].type);
                std::string rulePointer = JsonPositions::Child(pointer, indexes[i]);
                ValueProblem(rulePointer, DisplayPath(rulePointer) + ": a second " +
                                              (name != nullptr ? name : "") +
                                              " rule; only the first rule of each type takes "
                                              "effect");
                break;
            }
        }
    }

    // ---- Rules ---------------------------------------------------------------------------
    void Rules(const json& object, const std::string& pointer, Protocol protocol,
               std::vector<RuleDefinition>& out) {
        std::string child;
        const json* list = List(object, pointer, "rules", child);
        if (list == nullptr) return;
        out.clear();
        for (size_t i = 0; i < list->size(); ++i) {
            std::string rulePointer = JsonPositions::Child(child, i);
            const json& value = (*list)[i];
            if (!Object(value, rulePointer,
                        {"kind", "name", "description", "enabled", "parameter", "dropThreshold",
                         "blockThreshold"})) {
                continue;
            }
            RuleDefinition rule;
            rule.enabled = true;
            bool kindOk = Kind(value, rulePointer, protocol, rule.kind);
            String(value, rulePointer, "name", rule.name);
            String(value, rulePointer, "description", rule.description);
            Bool(value, rulePointer, "enabled", rule.enabled);
            Unsigned(value, rulePointer, "parameter", rule.parameter);
            Unsigned(value, rulePointer, "dropThreshold", rule.dropThreshold);
            Unsigned(value, rulePointer, "blockThreshold", rule.blockThreshold);
            if (kindOk) out.push_back(std::move(rule));
        }
    }

    bool Kind(const json& rule, const std::string& pointer, Protocol protocol, int32_t& out) {
        std::vector<std::string_view> names = RuleKindNames(protocol);
        std::string child;
        const json* value = Member(rule, pointer, "kind", child);
        if (value == nullptr) {
            ValueProblem(pointer,
                         DisplayPath(pointer) + ": missing \"kind\" (one of " + Join(names) + ")");
            return false;
        }
        const char* protocolName = ProtocolName(protocol);
        if (value->is_string()) {
            std::string name = value->get<std::string>();
            std::optional<KindInfo> kind = FindRuleKind(name);
            if (!kind) {
                ValueProblem(child, DisplayPath(child) + ": unknown rule kind \"" + name + "\"" +
                                        Suggestion(name, names) + "; " + protocolName +
                                        " rules take " + Join(names));
                return false;
            }
            if (kind->protocol != protocol) {
                ValueProblem(child, DisplayPath(child) + ": rule kind \"" + name + "\" is a " +
                                        ProtocolName(kind->protocol) + " kind; " + protocolName +
                                        " rules take " + Join(names));
                return false;
            }
            out = kind->value;
            return true;
        }
        auto [low, high] = RuleKindRange(protocol);
        uint64_t number = 0;
        if (!value->is_number_integer()) {
            WrongType(child, *value, "a rule kind name or number");
            return false;
        }
        if (!WholeNumber(*value, child, low, high, number)) return false;
        out = static_cast<int32_t>(number);
        return true;
    }

    void PortRules(const json& object, const std::string& pointer, const char* key,
                   std::vector<PortRuleDefinition>& out) {
        std::string child;
        const json* list = List(object, pointer, key, child);
        if (list == nullptr) return;
        out.clear();
        for (size_t i = 0; i < list->size(); ++i) {
            std::string rulePointer = JsonPositions::Child(child, i);
            const json& value = (*list)[i];
            if (!Object(value, rulePointer,
                        {"port", "enabled", "dropThreshold", "blockThreshold"})) {
                continue;
            }
            PortRuleDefinition rule;
            rule.enabled = true;
            if (!value.contains("port")) {
                ValueProblem(rulePointer, DisplayPath(rulePointer) + ": missing \"port\"");
                continue;
            }
            size_t before = problems_.size();
            Unsigned(value, rulePointer, "port", rule.port, 1);
            Bool(value, rulePointer, "enabled", rule.enabled);
            Unsigned(value, rulePointer, "dropThreshold", rule.dropThreshold);
            Unsigned(value, rulePointer, "blockThreshold", rule.blockThreshold);
            if (problems_.size() == before) out.push_back(rule);
        }
    }

    // The type of an advanced rule, by name or number; false (reported) when missing or
    // unknown.
    bool RuleType(const json& rule, const std::string& pointer, const TypeTable& table,
                  uint32_t& out) {
        std::vector<std::string_view> names;
        for (const TypeInfo& type : table.types)
            names.push_back(type.name);
        std::string child;
        const json* value = Member(rule, pointer, "type", child);
        if (value == nullptr) {
            ValueProblem(pointer,
                         DisplayPath(pointer) + ": missing \"type\" (one of " + Join(names) + ")");
            return false;
        }
        if (value->is_string()) {
            std::string name = value->get<std::string>();
            for (const TypeInfo& type : table.types) {
                if (name == type.name) {
                    out = type.value;
                    return true;
                }
            }
            ValueProblem(child, DisplayPath(child) + ": unknown rule type \"" + name + "\"" +
                                    Suggestion(name, names) + "; " + table.what + " take " +
                                    Join(names));
            return false;
        }
        if (!value->is_number_integer()) {
            WrongType(child, *value, "a rule type name or number");
            return false;
        }
        uint64_t number = 0;
        if (!WholeNumber(*value, child, table.types.front().value, table.types.back().value,
                         number)) {
            return false;
        }
        out = static_cast<uint32_t>(number);
        return true;
    }

    // Checks the keys of an advanced rule: the common ones plus those of its type.
    bool AdvancedKeys(const json& value, const std::string& pointer, const TypeTable& table,
                      uint32_t& type) {
        if (!value.is_object()) {
            WrongType(pointer, value, "an object");
            return false;
        }
        if (!RuleType(value, pointer, table, type)) {
            // Without a known type only the common keys can be judged.
            type = 0;
        }
        std::vector<std::string_view> keys{"type", "name", "enabled"};
        if (table.hasDescription) keys.push_back("description");
        std::vector<std::string_view> all = keys;
        for (const TypeInfo& info : table.types) {
            for (std::string_view field : info.fields) {
                all.push_back(field);
                if (info.value == type) keys.push_back(field);
            }
        }
        for (const auto& [key, member] : value.items()) {
            if (std::find(keys.begin(), keys.end(), key) != keys.end()) continue;
            std::string keyPointer = JsonPositions::Child(pointer, key);
            if (type != 0 && std::find(all.begin(), all.end(), key) != all.end()) {
                KeyProblem(keyPointer, "\"" + key + "\" does not apply to a " +
                                           TypeName(table, type) + " rule");
            } else if (type != 0) {
                KeyProblem(keyPointer, "unknown key \"" + key + "\" in " + DisplayPath(pointer) +
                                           Suggestion(key, keys));
            }
        }
        return type != 0;
    }

    static std::string TypeName(const TypeTable& table, uint32_t type) {
        for (const TypeInfo& info : table.types) {
            if (info.value == type) return info.name;
        }
        return std::to_string(type);
    }

    bool AdvancedRule(const json& value, const std::string& pointer, AdvancedRuleDefinition& out) {
        uint32_t type = 0;
        size_t before = problems_.size();
        if (!AdvancedKeys(value, pointer, TcpAdvancedTypes(), type)) return false;
        out.type = type;
        out.enabled = true;
        String(value, pointer, "name", out.name);
        String(value, pointer, "description", out.description);
        Bool(value, pointer, "enabled", out.enabled);
        Unsigned(value, pointer, "threshold", out.threshold);
        Unsigned(value, pointer, "idleViolationLimit", out.idleViolationLimit, 0, kU32Max);
        Unsigned(value, pointer, "idleSeconds", out.idleSeconds);
        Unsigned(value, pointer, "windowSeconds", out.windowSeconds);
        Unsigned(value, pointer, "learningWindowSeconds", out.learningWindowSeconds);
        Unsigned(value, pointer, "minHitsNoPayload", out.minHitsNoPayload);
        Unsigned(value, pointer, "minHitsPayload", out.minHitsPayload);
        Unsigned(value, pointer, "ruleTtlNoPayloadSeconds", out.ruleTtlNoPayloadSeconds);
        Unsigned(value, pointer, "ruleTtlPayloadSeconds", out.ruleTtlPayloadSeconds);
        Unsigned(value, pointer, "minSourcesNoPayload", out.minSourcesNoPayload);
        Unsigned(value, pointer, "minSourcesPayload", out.minSourcesPayload);
        Unsigned(value, pointer, "maxRulesNoPayload", out.maxRulesNoPayload);
        Unsigned(value, pointer, "maxRulesPayload", out.maxRulesPayload);
        Bool(value, pointer, "learnNoPayload", out.learnNoPayload);
        Bool(value, pointer, "learnPayload", out.learnPayload);
        Bool(value, pointer, "learnSpoofedNoPayload", out.learnSpoofedNoPayload);
        Bool(value, pointer, "learnSpoofedPayload", out.learnSpoofedPayload);
        Unsigned(value, pointer, "allowancePerSecond", out.allowancePerSecond);
        Bool(value, pointer, "rejectSynPayload", out.rejectSynPayload);
        return problems_.size() == before;
    }

    bool UdpAdvancedRule(const json& value, const std::string& pointer,
                         UdpAdvancedRuleDefinition& out) {
        uint32_t type = 0;
        size_t before = problems_.size();
        if (!AdvancedKeys(value, pointer, UdpAdvancedTypes(), type)) return false;
        out.type = type;
        out.enabled = true;
        String(value, pointer, "name", out.name);
        Bool(value, pointer, "enabled", out.enabled);
        PortSet(value, pointer, "amplificationPorts", out.amplificationPorts, 1);
        Unsigned(value, pointer, "peerTimeoutSeconds", out.peerTimeoutSeconds);
        Bool(value, pointer, "rejectEmptyPayload", out.rejectEmptyPayload);
        return problems_.size() == before;
    }

    bool IcmpAdvancedRule(const json& value, const std::string& pointer,
                          IcmpAdvancedRuleDefinition& out) {
        uint32_t type = 0;
        size_t before = problems_.size();
        if (!AdvancedKeys(value, pointer, IcmpAdvancedTypes(), type)) return false;
        out.type = type;
        out.enabled = true;
        String(value, pointer, "name", out.name);
        Bool(value, pointer, "enabled", out.enabled);
        Bool(value, pointer, "rejectTtlOne", out.rejectTtlOne);
        Bool(value, pointer, "rejectFragments", out.rejectFragments);
        Bool(value, pointer, "lastFragmentOnly", out.lastFragmentOnly);
        Bool(value, pointer, "limitSize", out.limitSize);
        Unsigned(value, pointer, "maxSize", out.maxSize, 0, kU16Max);
        Bool(value, pointer, "rejectNonZeroEchoCode", out.rejectNonZeroEchoCode);
        Bool(value, pointer, "rejectDeprecatedTypes", out.rejectDeprecatedTypes);
        Bool(value, pointer, "rejectEmpty", out.rejectEmpty);
        return problems_.size() == before;
    }

    std::string_view text_;
    const std::string& file_;
    const JsonPositions& positions_;
    std::vector<ConfigProblem>& problems_;
};

// "[json.exception.parse_error.101] parse error at line 3, column 7: syntax error while
// parsing object - unexpected ..." -> "syntax error while parsing object - unexpected ..."
std::string SyntaxMessage(const std::string& what) {
    size_t column = what.find("column ");
    size_t colon = column == std::string::npos ? std::string::npos : what.find(": ", column);
    if (colon != std::string::npos) return what.substr(colon + 2);
    size_t bracket = what.find("] ");
    return bracket == std::string::npos ? what : what.substr(bracket + 2);
}

}  // namespace

ConfigLoad ParseConfig(std::string_view text, const std::string& fileName) {
    ConfigLoad load;
    json root;
    try {
        root = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/true,
                           /*ignore_comments=*/true);
    } catch (const json::parse_error& error) {
        // `byte` counts from 1 and names the character that made the text invalid.
        size_t offset = error.byte == 0 ? 0 : error.byte - 1;
        TextPosition position = PositionAt(text, offset);
        load.problems.push_back(
            {fileName, position.line, position.column, SyntaxMessage(error.what())});
        return load;
    }
    JsonPositions positions = JsonPositions::Index(text);
    for (const JsonPositions::Duplicate& duplicate : positions.Duplicates()) {
        TextPosition position = PositionAt(text, duplicate.keyOffset);
        load.problems.push_back({fileName, position.line, position.column,
                                 "duplicate key " + DisplayPath(duplicate.pointer) +
                                     " (only the last one would count)"});
    }
    HostConfig config;
    Decoder(text, fileName, positions, load.problems).Decode(root, config);
    std::stable_sort(load.problems.begin(), load.problems.end(),
                     [](const ConfigProblem& a, const ConfigProblem& b) {
                         return std::tie(a.line, a.column) < std::tie(b.line, b.column);
                     });
    if (load.problems.empty()) load.config = std::move(config);
    return load;
}

ConfigLoad LoadConfigFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        ConfigLoad load;
        load.problems.push_back({path, 0, 0, "cannot open: " + ErrnoText(errno)});
        return load;
    }
    std::ostringstream content;
    content << file.rdbuf();
    if (file.bad()) {
        ConfigLoad load;
        load.problems.push_back({path, 0, 0, "cannot read: " + ErrnoText(errno)});
        return load;
    }
    return ParseConfig(content.str(), path);
}

}  // namespace bastion
