// regd's registry: value access rules, server updates, change records.
#include "registry.h"

#include "istd/log.h"
#include "network/conversion.h"

namespace regd {

namespace {

using roz::enums::eEnumeration;
using roz::enums::eExecutable;
using roz::enums::eRead;
using roz::enums::eUndefined;
using roz::enums::eWrite;

[[noreturn]] void Refuse(const std::string& why, const RegNode& node) {
  throw i_NET::ValueException((why + ": " + node.PathText()).c_str());
}

[[noreturn]] void WrongType(const std::string& why, const RegNode& node) {
  throw i_NET::InvalidType((why + ": " + node.PathText()).c_str());
}

// The kind of `type` once aliases are taken off.
CORBA::TCKind ResolvedKind(CORBA::TypeCode_ptr type) {
  if (CORBA::is_nil(type)) return CORBA::tk_null;
  CORBA::TypeCode_var t = CORBA::TypeCode::_duplicate(type);
  while (t->kind() == CORBA::tk_alias) t = t->content_type();
  return t->kind();
}

std::string KindName(CORBA::TCKind kind) { return inet::CorbaKindToString(kind); }

}  // namespace

Registry::Registry(std::unique_ptr<RegNode> root) : m_root(std::move(root)) {
  std::vector<RegNode*> pending{m_root.get()};
  while (!pending.empty()) {
    RegNode* node = pending.back();
    pending.pop_back();
    m_all.push_back(node);
    for (auto it = node->m_children.rbegin(); it != node->m_children.rend(); ++it) {
      pending.push_back(it->get());
    }
  }
}

RegNode* Registry::Find(const roz::Path& path) const {
  RegNode* node = m_root.get();
  for (const std::string& name : path) {
    node = node->Child(name);
    if (node == nullptr) return nullptr;
  }
  return node;
}

RegNode* Registry::Lookup(const i_NET::NodeNames& path) const {
  RegNode* node = m_root.get();
  for (CORBA::ULong i = 0; i < path.length() && node != nullptr; ++i) {
    node = node->Child(static_cast<const char*>(path[i]));
  }
  if (node == nullptr || node->m_hooks.m_notFound) return nullptr;
  return node;
}

RegNode& Registry::Resolve(const i_NET::NodeNames& path) const {
  RegNode* node = Lookup(path);
  if (node == nullptr) {
    ISTD_TRACE(istd::eHigh, "Unknown path: " << PathText(path));
    throw i_NET::NotFound(("node not found: " + PathText(path)).c_str());
  }
  return *node;
}

std::vector<const RegNode*> Registry::Visible(const RegNode& node) {
  std::vector<const RegNode*> visible;
  for (const std::unique_ptr<RegNode>& child : node.m_children) {
    if (!child->Has(roz::enums::eHidden)) visible.push_back(child.get());
  }
  return visible;
}

size_t Registry::Size(const RegNode& node) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return ElementCount(node.m_value);
}

void Registry::Refresh(RegNode& node) {
  if (node.m_counter) node.m_value = std::vector<uint64_t>{node.m_counter()};
}

CORBA::Any* Registry::Read(RegNode& node, CORBA::ULong pos, CORBA::ULong count,
                           CORBA::TypeCode_ptr hint) {
  ISTD_TRACE_FNC();
  if (!node.Has(eRead)) Refuse("node is not readable", node);
  if (node.m_type == eUndefined) Refuse("node has no value", node);
  const CORBA::TCKind expected = ScalarKind(node.m_type);
  const CORBA::TCKind requested = ResolvedKind(hint);
  if (requested != expected) {
    WrongType(std::string("value type is ") + ValueTypeName(node.m_type) + " (" +
                  KindName(expected) + "), requested " + KindName(requested),
              node);
  }

  std::lock_guard<std::mutex> lock(m_mutex);
  Refresh(node);
  const size_t size = ElementCount(node.m_value);
  size_t first = pos;
  size_t n = 1;
  if (!node.IsArray()) {
    if (pos != 0) Refuse("position " + std::to_string(pos) + " out of range (scalar)", node);
  } else {
    if (pos > size) {
      Refuse(
          "position " + std::to_string(pos) + " out of range (size " + std::to_string(size) + ")",
          node);
    }
    n = count == 0 ? size - first : std::min<size_t>(count, size - first);
  }
  ISTD_TRACE(istd::eHigh,
             "Read " << node.PathText() << " at " << first << ", " << n << " element(s)");

  switch (node.m_hooks.m_answer) {
    case Hooks::eEmpty:
      return new CORBA::Any;
    case Hooks::eStringVec:
      return new CORBA::Any(inet::LocalSeqToCorbaAny<std::string, i_NET::StringVec>(
          SliceTexts(node.m_value, first, n)));
    case Hooks::eOtherScalar: {
      auto* answer = new CORBA::Any;
      if (expected == CORBA::tk_string) {
        *answer <<= static_cast<CORBA::Long>(0);
      } else {
        const std::vector<std::string> texts = SliceTexts(node.m_value, first, 1);
        *answer <<= texts.empty() ? "" : texts.front().c_str();
      }
      return answer;
    }
    case Hooks::eSequence:
      return new CORBA::Any(inet::AnyToCorbaAny(SliceAny(node.m_value, first, n)));
    case Hooks::eNormal:
      break;
  }
  if (!node.IsArray()) return new CORBA::Any(inet::AnyToCorbaAny(ElementAny(node.m_value, 0)));
  return new CORBA::Any(inet::AnyToCorbaAny(SliceAny(node.m_value, first, n)));
}

void Registry::Write(RegNode& node, const CORBA::Any& value, CORBA::ULong pos) {
  ISTD_TRACE_FNC();
  const bool executable = node.Has(eExecutable);
  if (!executable && !node.Has(eWrite)) Refuse("node is not writable", node);
  if (node.Has(roz::enums::eConstant)) Refuse("node is constant", node);
  if (node.m_type == eUndefined) Refuse("node has no value", node);

  istd::Any written;
  Elements values;
  try {
    written = inet::CorbaAnyToAny(value);
  } catch (const istd::Exception&) {
    // Not one of the eight buffers (a StringVec, an empty any, ...).
  }
  if (!written.IsArray() || !ElementsFromAny(written, node.m_type, values)) {
    WrongType(std::string("expected ") + BufferName(node.m_type), node);
  }
  const size_t n = ElementCount(values);

  std::lock_guard<std::mutex> lock(m_mutex);
  if (executable) {
    const auto& codes = std::get<std::vector<int64_t>>(values);
    if (pos != 0 || codes.size() != 1 || codes[0] != c_executeCode) {
      Refuse("not a command code (" + std::to_string(c_executeCode) + " at position 0)", node);
    }
    ISTD_TRACE(istd::eHigh, "Command " << node.m_command << " of " << node.PathText());
    istd::LogInfo("regd: command " + node.m_command + " of " + node.PathText());
    if (node.m_command == "reset") Reset();
    return;
  }
  const size_t size = ElementCount(node.m_value);
  if (!node.IsArray()) {
    if (pos != 0) Refuse("position " + std::to_string(pos) + " out of range (scalar)", node);
    if (n != 1) Refuse("a scalar takes exactly one element, not " + std::to_string(n), node);
  } else {
    if (pos > size) {
      Refuse(
          "position " + std::to_string(pos) + " out of range (size " + std::to_string(size) + ")",
          node);
    }
    if (pos + n > c_maxArrayElements) Refuse("array too large", node);
  }
  if (node.m_type == eEnumeration) {
    for (const std::string& v : std::get<std::vector<std::string>>(values)) {
      bool allowed = false;
      for (const std::string& d : node.m_domain) allowed = allowed || d == v;
      if (!allowed) Refuse("value \"" + v + "\" is not in the domain", node);
    }
  }
  ISTD_TRACE(istd::eHigh,
             "Write " << node.PathText() << " at " << pos << ", " << n << " element(s)");
  Store(node, pos, values, false);
  if (node.m_onWrite) node.m_onWrite(node);
}

void Registry::Store(RegNode& node, size_t pos, const Elements& values, bool replace) {
  if (replace) {
    node.m_value = values;
  } else {
    WriteElements(node.m_value, pos, values);
  }
  if (!m_listener) return;
  auto change = std::make_shared<Change>();
  change->m_path = node.m_path;
  change->m_pos = static_cast<unsigned int>(pos);
  change->m_data = node.IsArray() ? SliceAny(node.m_value, pos, ElementCount(values))
                                  : ElementAny(node.m_value, 0);
  m_listener(change);
}

void Registry::Reset() {
  for (RegNode* node : m_all) {
    if (!node->Has(eWrite) || node->Has(eExecutable) || node->m_value == node->m_initial) continue;
    Store(*node, 0, node->m_initial, true);
  }
}

void Registry::Simulate(RegNode& node) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Simulation& sim = *node.m_simulation;
  const unsigned long long index = ++sim.m_index;
  const size_t count = std::max<size_t>(1, ElementCount(node.m_value));
  Store(node, 0,
        ElementsFromSamples(
            node.m_type, count,
            [&](size_t i) { return sim.m_generator.Sample(index, static_cast<unsigned int>(i)); }),
        true);
}

ChangePtr Registry::Snapshot(RegNode& node, bool increment) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Refresh(node);
  if (increment) ++std::get<std::vector<uint64_t>>(node.m_value).at(0);
  auto change = std::make_shared<Change>();
  change->m_path = node.m_path;
  if (node.m_type != eUndefined) {
    change->m_data = node.IsArray() ? SliceAny(node.m_value, 0, ElementCount(node.m_value))
                                    : ElementAny(node.m_value, 0);
  }
  return change;
}

std::string Registry::ReadString(const RegNode& node) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto* values = std::get_if<std::vector<std::string>>(&node.m_value);
  return values != nullptr && !values->empty() ? values->front() : std::string();
}

std::string PathText(const i_NET::NodeNames& path) { return PathText(ToPath(path)); }

roz::Path ToPath(const i_NET::NodeNames& path) {
  roz::Path out;
  out.reserve(path.length());
  for (CORBA::ULong i = 0; i < path.length(); ++i)
    out.emplace_back(static_cast<const char*>(path[i]));
  return out;
}

i_NET::NodeNames ToNodeNames(const roz::Path& path) {
  i_NET::NodeNames names;
  names.length(static_cast<CORBA::ULong>(path.size()));
  for (CORBA::ULong i = 0; i < names.length(); ++i) names[i] = path[i].c_str();
  return names;
}

}  // namespace regd
