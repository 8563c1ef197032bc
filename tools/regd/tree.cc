// The registry tree of regd and its JSON loader.
#include "tree.h"

#include <cmath>
#include <fstream>
#include <set>
#include <sstream>

#include "istd/log.h"
#include "istd/string_util.h"

namespace regd {

namespace {

using nlohmann::json;

const double c_pi = 3.14159265358979323846;

// The attribute children of a signal node, as clients read them.
const char* const c_accessType = "access_type";
const char* const c_groupSize = "group_size";
const char* const c_compNum = "components_number";
const char* const c_compNames = "components_names";
const char* const c_compType = "components_type";
const char* const c_atomSize = "atom_size";

struct ElementType {
  const char* name;
  int code;
  unsigned int size;
};

// Atom type codes of signals and the size of one value.
const ElementType c_elementTypes[] = {
    {"double", 1, 8}, {"float", 2, 4},  {"uint64", 3, 8}, {"int64", 4, 8}, {"uint32", 5, 4},
    {"int32", 6, 4},  {"uint16", 7, 2}, {"int16", 8, 2},  {"uint8", 9, 1}, {"int8", 10, 1},
};

const std::set<std::string> c_nodeKeys = {"name",   "type",      "value",    "flags",
                                          "domain", "validator", "command",  "hooks",
                                          "signal", "simulate",  "children", "description"};
const std::set<std::string> c_hookKeys = {"answer",   "value_exception",  "invalid_type",
                                          "delay_ms", "refuse_subscribe", "system_exception",
                                          "not_found"};
const std::set<std::string> c_signalKeys = {
    "access",    "element", "components", "group_size",      "block_rate_hz",
    "generator", "length",  "names_as",   "omit_attributes", "hooks"};
const std::set<std::string> c_signalHookKeys = {"refuse_register", "cancel_after_blocks",
                                                "cancel_code", "dispatch_delay_ms"};
const std::set<std::string> c_generatorKeys = {"kind", "amplitude", "offset", "period", "step"};
const std::set<std::string> c_simulateKeys = {"period_ms", "generator"};
const std::set<std::string> c_systemExceptions = {
    "TRANSIENT", "COMM_FAILURE",     "NO_PERMISSION", "BAD_PARAM", "INTERNAL",
    "TIMEOUT",   "OBJECT_NOT_EXIST", "NO_RESOURCES",  "UNKNOWN",   "NO_IMPLEMENT"};

// Reads one tree file; every problem names the file and the node path.
class Loader {
 public:
  explicit Loader(std::string source) : m_source(std::move(source)) {}

  std::unique_ptr<RegNode> Root(const json& j) {
    std::unique_ptr<RegNode> root = Node(j, "", 0, nullptr);
    if (root->Child(c_diagnosticsName) != nullptr) {
      m_where = root->m_name + "." + c_diagnosticsName;
      Fail(std::string("the name ") + c_diagnosticsName +
           " is reserved for regd's diagnostic nodes");
    }
    return root;
  }

 private:
  [[noreturn]] void Fail(const std::string& problem) const {
    throw istd::Exception(m_source + ": node " + m_where + ": " + problem, true);
  }

  void CheckKeys(const json& obj, const std::set<std::string>& allowed, const std::string& what) {
    if (!obj.is_object()) Fail(what + "expected an object");
    for (auto it = obj.begin(); it != obj.end(); ++it) {
      if (allowed.count(it.key()) == 0) Fail(what + "unknown attribute \"" + it.key() + "\"");
    }
  }

  // Typed fields of an object; `fallback` when the key is absent.
  std::string String(const json& obj, const char* key, const std::string& fallback) {
    if (!obj.contains(key)) return fallback;
    if (!obj[key].is_string()) Fail(std::string(key) + ": expected a string");
    return obj[key].get<std::string>();
  }
  bool Bool(const json& obj, const char* key, bool fallback) {
    if (!obj.contains(key)) return fallback;
    if (!obj[key].is_boolean()) Fail(std::string(key) + ": expected true or false");
    return obj[key].get<bool>();
  }
  double Number(const json& obj, const char* key, double fallback) {
    if (!obj.contains(key)) return fallback;
    if (!obj[key].is_number()) Fail(std::string(key) + ": expected a number");
    return obj[key].get<double>();
  }
  unsigned long long Unsigned(const json& obj, const char* key, unsigned long long fallback,
                              unsigned long long max) {
    if (!obj.contains(key)) return fallback;
    if (!obj[key].is_number_unsigned() || obj[key].get<unsigned long long>() > max) {
      Fail(std::string(key) + ": expected an integer from 0 to " + std::to_string(max));
    }
    return obj[key].get<unsigned long long>();
  }
  long long Integer(const json& obj, const char* key, long long fallback) {
    if (!obj.contains(key)) return fallback;
    if (!obj[key].is_number_integer()) Fail(std::string(key) + ": expected an integer");
    return obj[key].get<long long>();
  }
  std::vector<std::string> Strings(const json& obj, const char* key) {
    std::vector<std::string> out;
    if (!obj.contains(key)) return out;
    const json& list = obj[key];
    if (!list.is_array()) Fail(std::string(key) + ": expected an array of strings");
    for (const json& item : list) {
      if (!item.is_string()) Fail(std::string(key) + ": expected an array of strings");
      out.push_back(item.get<std::string>());
    }
    return out;
  }

  // Reads the node `j`; a child (index `index` of `parent`, whose path text
  // is `parentPath`) is added to its parent, the root is returned.
  std::unique_ptr<RegNode> Node(const json& j, const std::string& parentPath, size_t index,
                                RegNode* parent) {
    m_where =
        parent == nullptr ? "(root)" : parentPath + ".children[" + std::to_string(index) + "]";
    if (!j.is_object()) Fail("expected an object");
    if (!j.contains("name") || !j["name"].is_string()) Fail("a node needs a \"name\" string");
    auto owned = std::make_unique<RegNode>();
    RegNode& node = *owned;
    node.m_name = j["name"].get<std::string>();
    m_where = parent == nullptr ? node.m_name : parentPath + "." + node.m_name;
    if (node.m_name.empty() || node.m_name.find('.') != std::string::npos) {
      Fail("invalid node name \"" + node.m_name + "\" (empty or with a \".\")");
    }
    if (parent != nullptr && parent->Child(node.m_name) != nullptr) {
      Fail("a second child of that name");
    }
    CheckKeys(j, c_nodeKeys, "");
    const std::string path = m_where;

    for (const std::string& name : Strings(j, "flags")) {
      roz::Flags flag = 0;
      if (!FlagFromName(name, flag)) Fail("unknown flag \"" + name + "\"");
      node.m_flags |= flag;
    }
    const std::string typeName = String(j, "type", "");
    if (!typeName.empty() && !ValueTypeFromName(typeName, node.m_type)) {
      Fail("unknown value type \"" + typeName + "\"");
    }
    if (node.Has(roz::enums::eExecutable)) Command(j, node, typeName);
    if (node.Has(roz::enums::eSignal) != j.contains("signal")) {
      Fail("the signal flag and a \"signal\" description go together");
    }
    if (j.contains("signal") && node.m_type != roz::enums::eUndefined) {
      Fail("a signal node has no value type");
    }
    Value(j, node);
    if (j.contains("domain")) {
      node.m_hasDomain = true;
      node.m_domain = Strings(j, "domain");
    }
    if (node.m_type == roz::enums::eEnumeration) CheckDomain(node);
    if (j.contains("validator")) {
      node.m_hasValidator = true;
      node.m_validator = String(j, "validator", "");
    }
    if (j.contains("hooks")) HookSet(j["hooks"], node.m_hooks);
    if (j.contains("simulate")) Simulate(j["simulate"], node);

    if (parent != nullptr) parent->Add(std::move(owned));
    if (j.contains("children")) {
      if (!j["children"].is_array()) Fail("children: expected an array of nodes");
      for (size_t i = 0; i < j["children"].size(); ++i) Node(j["children"][i], path, i, &node);
    }
    m_where = path;
    if (j.contains("signal")) Signal(j["signal"], node);
    return owned;  // null for a child, which its parent owns now
  }

  void Command(const json& j, RegNode& node, const std::string& typeName) {
    if (typeName.empty()) node.m_type = roz::enums::eLongLong;
    if (node.m_type != roz::enums::eLongLong) Fail("an executable node has the type LongLong");
    node.m_command = String(j, "command", "noop");
    if (node.m_command != "reset" && node.m_command != "noop") {
      Fail("unknown command \"" + node.m_command + "\" (reset or noop)");
    }
  }

  void Value(const json& j, RegNode& node) {
    if (node.m_type == roz::enums::eUndefined) {
      if (j.contains("value")) Fail("a node without value type has no value");
      if (node.IsArray()) Fail("the array flag needs a value type");
      node.m_value = std::monostate{};
    } else if (j.contains("value")) {
      const json& value = j["value"];
      if (value.is_array() != node.IsArray()) {
        Fail(node.IsArray() ? "the array flag needs an array value"
                            : "an array value needs the array flag");
      }
      try {
        node.m_value = ElementsFromJson(node.m_type, value, node.IsArray());
      } catch (const istd::Exception& e) {
        Fail(std::string("value: ") + e.what());
      }
    } else if (node.IsArray()) {
      node.m_value = EmptyElements(node.m_type);
    } else if (node.m_type == roz::enums::eEnumeration && j.contains("domain") &&
               j["domain"].is_array() && !j["domain"].empty() && j["domain"][0].is_string()) {
      node.m_value = std::vector<std::string>{j["domain"][0].get<std::string>()};
    } else {
      // A scalar without a value starts at zero (false, 0, "").
      node.m_value = ElementsFromSamples(node.m_type, 1, [](size_t) { return 0.0; });
      if (node.m_type == roz::enums::eString) node.m_value = std::vector<std::string>{""};
    }
    node.m_initial = node.m_value;
  }

  void CheckDomain(const RegNode& node) {
    if (!node.m_hasDomain || node.m_domain.empty()) {
      Fail("an Enumeration needs a non-empty \"domain\"");
    }
    for (const std::string& value : std::get<std::vector<std::string>>(node.m_value)) {
      bool found = false;
      for (const std::string& allowed : node.m_domain) found = found || allowed == value;
      if (!found) Fail("value \"" + value + "\" is not in the domain");
    }
  }

  void HookSet(const json& j, Hooks& hooks) {
    CheckKeys(j, c_hookKeys, "hooks: ");
    const std::string answer = String(j, "answer", "normal");
    if (answer == "normal") {
      hooks.m_answer = Hooks::eNormal;
    } else if (answer == "sequence") {
      hooks.m_answer = Hooks::eSequence;
    } else if (answer == "empty") {
      hooks.m_answer = Hooks::eEmpty;
    } else if (answer == "string_vec") {
      hooks.m_answer = Hooks::eStringVec;
    } else if (answer == "other_scalar") {
      hooks.m_answer = Hooks::eOtherScalar;
    } else {
      Fail("hooks: unknown answer \"" + answer +
           "\" (normal, sequence, empty, string_vec, other_scalar)");
    }
    hooks.m_hasValueException = j.contains("value_exception");
    hooks.m_valueException = String(j, "value_exception", "");
    hooks.m_invalidType = Bool(j, "invalid_type", false);
    hooks.m_delayMs = static_cast<unsigned int>(Unsigned(j, "delay_ms", 0, 600000));
    hooks.m_refuseSubscribe = Bool(j, "refuse_subscribe", false);
    hooks.m_systemException = String(j, "system_exception", "");
    if (!hooks.m_systemException.empty() &&
        c_systemExceptions.count(hooks.m_systemException) == 0) {
      Fail("hooks: unknown system exception \"" + hooks.m_systemException + "\"");
    }
    hooks.m_notFound = Bool(j, "not_found", false);
  }

  Generator MakeGenerator(const json& j) {
    Generator g;
    if (j.is_null()) return g;
    CheckKeys(j, c_generatorKeys, "generator: ");
    const std::string kind = String(j, "kind", "sine");
    if (kind == "sine") {
      g.m_kind = Generator::eSine;
    } else if (kind == "ramp") {
      g.m_kind = Generator::eRamp;
    } else if (kind == "noise") {
      g.m_kind = Generator::eNoise;
    } else if (kind == "constant") {
      g.m_kind = Generator::eConstant;
    } else {
      Fail("generator: unknown kind \"" + kind + "\" (sine, ramp, noise, constant)");
    }
    g.m_amplitude = Number(j, "amplitude", g.m_amplitude);
    g.m_offset = Number(j, "offset", g.m_offset);
    g.m_period = Number(j, "period", g.m_kind == Generator::eRamp ? 0.0 : g.m_period);
    g.m_step = Number(j, "step", g.m_step);
    if (g.m_kind == Generator::eSine && !(g.m_period > 0))
      Fail("generator: a sine needs a period > 0");
    if (g.m_period < 0) Fail("generator: the period cannot be negative");
    return g;
  }

  void Simulate(const json& j, RegNode& node) {
    CheckKeys(j, c_simulateKeys, "simulate: ");
    if (node.m_type == roz::enums::eUndefined || node.m_type == roz::enums::eString ||
        node.m_type == roz::enums::eEnumeration) {
      Fail("simulate: only numeric and Bool nodes can be simulated");
    }
    node.m_simulation = std::make_unique<Simulation>();
    node.m_simulation->m_periodMs =
        static_cast<unsigned int>(Unsigned(j, "period_ms", 1000, 3600000));
    node.m_simulation->m_generator =
        MakeGenerator(j.contains("generator") ? j["generator"] : json());
  }

  void Signal(const json& j, RegNode& node) {
    CheckKeys(j, c_signalKeys, "signal: ");
    auto description = std::make_unique<SignalDescription>();
    const std::string access = String(j, "access", "push");
    if (access != "push" && access != "dod") Fail("signal: access is \"push\" or \"dod\"");
    description->m_push = access == "push";
    const std::string element = String(j, "element", "double");
    const ElementType* type = nullptr;
    for (const ElementType& t : c_elementTypes) {
      if (element == t.name) type = &t;
    }
    if (type == nullptr) Fail("signal: unknown element type \"" + element + "\"");
    description->m_elementCode = type->code;
    description->m_components = Strings(j, "components");
    if (description->m_components.empty()) Fail("signal: \"components\" needs at least one name");
    description->m_groupSize = static_cast<unsigned int>(Unsigned(j, "group_size", 64, 1u << 20));
    if (description->m_groupSize == 0) Fail("signal: group_size must be at least 1");
    description->m_blockRateHz = Number(j, "block_rate_hz", 10.0);
    if (description->m_blockRateHz < 0) Fail("signal: block_rate_hz cannot be negative");
    description->m_generator = MakeGenerator(j.contains("generator") ? j["generator"] : json());
    description->m_length = Unsigned(j, "length", 0, ~0ull);
    const std::string namesAs = String(j, "names_as", "array");
    if (namesAs != "array" && namesAs != "string")
      Fail("signal: names_as is \"array\" or \"string\"");
    if (j.contains("hooks")) {
      const json& hooks = j["hooks"];
      CheckKeys(hooks, c_signalHookKeys, "signal: hooks: ");
      description->m_refuseRegister = Bool(hooks, "refuse_register", false);
      description->m_cancelAfterBlocks = Unsigned(hooks, "cancel_after_blocks", 0, ~0ull);
      description->m_cancelCode = static_cast<int>(Integer(hooks, "cancel_code", -5));
      description->m_dispatchDelayMs =
          static_cast<unsigned int>(Unsigned(hooks, "dispatch_delay_ms", 0, 600000));
    }
    const std::vector<std::string> omitted = Strings(j, "omit_attributes");
    const std::set<std::string> omit(omitted.begin(), omitted.end());

    // The attribute children, unless omitted or given explicitly.
    const roz::Flags attr = roz::enums::eRead | roz::enums::eAttribute;
    auto add = [&](const char* name, ValueType t, Elements value, roz::Flags extra) {
      if (omit.count(name) != 0 || node.Child(name) != nullptr) return;
      auto child = std::make_unique<RegNode>();
      child->m_name = name;
      child->m_flags = attr | extra;
      child->m_type = t;
      child->m_value = value;
      child->m_initial = value;
      node.Add(std::move(child));
    };
    add(c_accessType, roz::enums::eLongLong, std::vector<int64_t>{description->m_push ? 1 : 2}, 0);
    add(c_groupSize, roz::enums::eULong, std::vector<uint32_t>{description->m_groupSize}, 0);
    add(c_compNum, roz::enums::eULong, std::vector<uint32_t>{description->Components()}, 0);
    if (namesAs == "array") {
      add(c_compNames, roz::enums::eString, description->m_components, roz::enums::eArray);
    } else {
      add(c_compNames, roz::enums::eString,
          std::vector<std::string>{istd::StringVecIntoString(description->m_components, ",")}, 0);
    }
    add(c_compType, roz::enums::eLongLong, std::vector<int64_t>{description->m_elementCode}, 0);
    add(c_atomSize, roz::enums::eULong,
        std::vector<uint32_t>{description->Components() * type->size}, 0);
    node.m_signal = std::move(description);
  }

  std::string m_source;
  std::string m_where;
};

}  // namespace

double Generator::Sample(unsigned long long index, unsigned int component) const {
  const double i = static_cast<double>(index);
  switch (m_kind) {
    case eSine:
      return m_offset + m_amplitude * std::sin(2.0 * c_pi * i / m_period + component * c_pi / 2.0);
    case eRamp: {
      const double position =
          m_period >= 1.0 ? static_cast<double>(index % static_cast<unsigned long long>(m_period))
                          : i;
      return m_offset + m_step * position + component;
    }
    case eNoise: {
      // splitmix64 of (index, component): reproducible for every position.
      unsigned long long z = index * 0x9E3779B97F4A7C15ull + component * 0xBF58476D1CE4E5B9ull + 1;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      z ^= z >> 31;
      const double u = static_cast<double>(z >> 11) / 9007199254740992.0;  // [0, 1)
      return m_offset + m_amplitude * (2.0 * u - 1.0);
    }
    case eConstant:
      break;
  }
  return m_offset + component;
}

RegNode* RegNode::Child(const std::string& name) const {
  for (const std::unique_ptr<RegNode>& child : m_children) {
    if (child->m_name == name) return child.get();
  }
  return nullptr;
}

RegNode& RegNode::Add(std::unique_ptr<RegNode> child) {
  child->m_parent = this;
  child->m_path = m_path;
  child->m_path.push_back(child->m_name);
  // A subtree added as a whole (the diagnostic nodes) gets its paths fixed.
  std::vector<RegNode*> pending{child.get()};
  while (!pending.empty()) {
    RegNode* node = pending.back();
    pending.pop_back();
    for (std::unique_ptr<RegNode>& grandChild : node->m_children) {
      grandChild->m_parent = node;
      grandChild->m_path = node->m_path;
      grandChild->m_path.push_back(grandChild->m_name);
      pending.push_back(grandChild.get());
    }
  }
  m_children.push_back(std::move(child));
  return *m_children.back();
}

const char* ElementTypeName(int code) {
  for (const ElementType& t : c_elementTypes) {
    if (t.code == code) return t.name;
  }
  return "";
}

unsigned int ElementTypeSize(int code) {
  for (const ElementType& t : c_elementTypes) {
    if (t.code == code) return t.size;
  }
  return 0;
}

std::string RegNode::PathText() const { return regd::PathText(m_path); }

std::string PathText(const roz::Path& path) { return istd::StringVecIntoString(path, "."); }

roz::Path SplitPath(const std::string& text) { return istd::TokenizeString(text.c_str(), "."); }

std::unique_ptr<RegNode> LoadTreeFromText(const std::string& text, const std::string& source) {
  ISTD_TRACE_FNC();
  json j;
  try {
    j = json::parse(text);
  } catch (const json::parse_error& e) {
    throw istd::Exception(source + ": " + e.what(), true);
  }
  return Loader(source).Root(j);
}

std::unique_ptr<RegNode> LoadTree(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in) throw istd::Exception(fileName + ": cannot open the tree file", true);
  std::ostringstream text;
  text << in.rdbuf();
  return LoadTreeFromText(text.str(), fileName);
}

}  // namespace regd
