// Test double for the client library: a tree node that holds typed values
// per relative path, as a remote proxy does for a whole remote tree, so that
// handles and typed access can be tested without a network.
//
// Each defined path has a value type, flags, a vector of values (a scalar is
// element 0), optional domain values and a validator expression. The node
// itself is the empty path; its flags are the tree node's own. Value slots
// can be told to fail with an istd::Exception, a std::exception or a
// non-standard exception. Not thread-safe beyond what tests need (one thread
// uses one ValueNode, except where a test says otherwise).
#ifndef VARNEK_TESTS_CLIENT_VALUE_NODE_H
#define VARNEK_TESTS_CLIENT_VALUE_NODE_H

#include <algorithm>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/roz.h"
#include "common/test_util.h"

namespace testutil {

class ValueNode : public roz::TreeNode {
 public:
  enum Failure { eNoFailure, eIstdFailure, eStdFailure, eOtherFailure };

  struct Entry {
    roz::enums::NodeValType_e type = roz::enums::eUndefined;
    roz::Flags flags = 0;
    istd::Any values;  // std::vector<T> of the entry's type
    bool hasDomain = false;
    istd::StrTokens domain;
    bool hasValidator = false;
    std::string validator;
  };

  explicit ValueNode(const std::string& name, roz::Flags flags = 0) : TreeNode(name, flags) {}

  // Defines `path` with `values` (stored as the vector of T). For the empty
  // path `flags` are added to the node's own flags.
  template <typename T>
  Entry& Define(const roz::Path& path, roz::Flags flags, const std::vector<T>& values,
                roz::enums::NodeValType_e type = roz::c_valueTypeOf<T>) {
    Entry& entry = m_entries[path];
    entry.type = type;
    entry.flags = flags;
    entry.values = values;
    if (path.empty()) SetFlags(flags, path);
    return entry;
  }
  // Defines `path` without a value (Undefined).
  Entry& DefineEmpty(const roz::Path& path, roz::Flags flags) {
    Entry& entry = m_entries[path];
    entry = Entry();
    entry.flags = flags;
    if (path.empty()) SetFlags(flags, path);
    return entry;
  }
  template <typename T>
  std::vector<T> Values(const roz::Path& path) const {
    return Find(path).values.Get<std::vector<T>>();
  }

  Failure m_failure = eNoFailure;
  int m_setCalls = 0;
  size_t m_lastSetPos = 0;
  size_t m_lastSetCount = 0;
  int m_resizeCalls = 0;
  int m_cleanupCalls = 0;
  std::vector<roz::NotificationData> m_emitted;

  // ---- value slots ----
#define VALUE_NODE_SLOTS(T)                                                                 \
  void Get(T& value, size_t position, const roz::Path& path) override {                     \
    const std::vector<T> all = Read<T>(path);                                               \
    if (position >= all.size()) throw istd::Exception("ireg: position out of range", true); \
    value = all[position];                                                                  \
  }                                                                                         \
  void Get(std::vector<T>& values, size_t position, size_t count, const roz::Path& path)    \
      override {                                                                            \
    const std::vector<T> all = Read<T>(path);                                               \
    const size_t first = std::min(position, all.size());                                    \
    const size_t n = count == 0 ? all.size() - first : std::min(count, all.size() - first); \
    values.assign(all.begin() + first, all.begin() + first + n);                            \
  }                                                                                         \
  void Set(const T& value, size_t position, const roz::Path& path) override {               \
    Write<T>(std::vector<T>(1, value), position, path, false);                              \
  }                                                                                         \
  void Set(const std::vector<T>& values, size_t position, const roz::Path& path) override { \
    Write<T>(values, position, path, true);                                                 \
  }
  VALUE_NODE_SLOTS(std::string)
  VALUE_NODE_SLOTS(int64_t)
  VALUE_NODE_SLOTS(uint64_t)
  VALUE_NODE_SLOTS(int32_t)
  VALUE_NODE_SLOTS(uint32_t)
  VALUE_NODE_SLOTS(double)
  VALUE_NODE_SLOTS(float)
  VALUE_NODE_SLOTS(bool)
#undef VALUE_NODE_SLOTS

  // ---- attribute slots ----
  bool OnCleanup(const roz::Path& path) override {
    ++m_cleanupCalls;
    return true;
  }
  bool OnEmit(const roz::NotificationData& data) override {
    m_emitted.push_back(data);
    return true;
  }
  roz::Flags OnGetFlags(const roz::Path& path) const override {
    return path.empty() ? TreeNode::OnGetFlags(path) : Find(path).flags;
  }
  bool OnResize(size_t size, const roz::Path& path) override {
    ++m_resizeCalls;
    return true;
  }
  size_t OnGetSize(const roz::Path& path) const override {
    auto it = m_entries.find(path);
    return it == m_entries.end() || it->second.values.Empty() ? 0 : it->second.values.Size();
  }
  roz::enums::NodeValType_e OnGetValueType(const roz::Path& path) const override {
    auto it = m_entries.find(path);
    if (it != m_entries.end()) return it->second.type;
    if (path.empty()) return roz::enums::eUndefined;
    throw istd::Exception("ireg: node not found: " + roz::ToString(path), true);
  }
  bool OnGetDomainValues(istd::StrTokens& values, const roz::Path& path) const override {
    const Entry& entry = Find(path);
    if (!entry.hasDomain) return false;
    values.insert(values.end(), entry.domain.begin(), entry.domain.end());
    return true;
  }
  bool OnGetValidatorExpression(std::string& expression, const roz::Path& path) const override {
    const Entry& entry = Find(path);
    if (!entry.hasValidator) return false;
    expression = entry.validator;
    return true;
  }

 private:
  const Entry& Find(const roz::Path& path) const {
    auto it = m_entries.find(path);
    if (it == m_entries.end()) {
      throw istd::Exception("ireg: node not found: " + roz::ToString(path), true);
    }
    return it->second;
  }
  void MaybeFail() const {
    switch (m_failure) {
      case eIstdFailure:
        throw istd::Exception("ireg: injected failure", true);
      case eStdFailure:
        throw std::runtime_error("injected std failure");
      case eOtherFailure:
        throw 7;
      case eNoFailure:
        break;
    }
  }
  template <typename T>
  const Entry& Typed(const roz::Path& path) const {
    MaybeFail();
    const Entry& entry = Find(path);
    const bool text =
        entry.type == roz::enums::eEnumeration && roz::c_valueTypeOf<T> == roz::enums::eString;
    if (entry.type != roz::c_valueTypeOf<T> && !text) {
      throw istd::Exception("ireg: invalid type: " + roz::ToString(path), true);
    }
    return entry;
  }
  template <typename T>
  std::vector<T> Read(const roz::Path& path) const {
    return Typed<T>(path).values.template Get<std::vector<T>>();
  }
  template <typename T>
  // A vector written at position 0 replaces the whole value; otherwise the
  // elements from `position` on are overwritten (the value grows as needed).
  void Write(const std::vector<T>& values, size_t position, const roz::Path& path, bool whole) {
    Entry& entry = const_cast<Entry&>(Typed<T>(path));
    std::vector<T> all = entry.values.template Get<std::vector<T>>();
    if (whole && position == 0) {
      all = values;
    } else {
      if (all.size() < position + values.size()) all.resize(position + values.size());
      std::copy(values.begin(), values.end(), all.begin() + position);
    }
    entry.values = all;
    ++m_setCalls;
    m_lastSetPos = position;
    m_lastSetCount = values.size();
  }

  std::map<roz::Path, Entry> m_entries;
};

using ValueNodePtr = std::shared_ptr<ValueNode>;

// A value node with a local structure (it can hold children).
inline ValueNodePtr MakeValueNode(const std::string& name, roz::Flags flags = 0) {
  return std::static_pointer_cast<ValueNode>(
      roz::factory::Create<roz::LocalNodeStructure, ValueNode>(name, flags));
}

// Names of nodes, addresses and handles, in their order.
inline std::vector<std::string> Names(const std::vector<roz::TreeNodePtr>& nodes) {
  std::vector<std::string> names;
  for (const auto& n : nodes) names.push_back(n->GetName());
  return names;
}
inline std::vector<std::string> Names(const roz::TreeNodeAddresses& addresses) {
  std::vector<std::string> names;
  for (const auto& a : addresses) names.push_back(a.node->GetName());
  return names;
}
inline std::vector<std::string> Names(const std::vector<roz::Node>& nodes) {
  std::vector<std::string> names;
  for (const auto& n : nodes) names.push_back(n.GetName());
  return names;
}

// A plain local node.
inline roz::TreeNodePtr MakeLocalNode(const std::string& name, roz::Flags flags = 0) {
  return roz::factory::Create<roz::LocalNodeStructure, roz::TreeNode>(name, flags);
}

}  // namespace testutil

#endif  // VARNEK_TESTS_CLIENT_VALUE_NODE_H
