// roz::Node: identity, navigation, removal, typed access helpers, raw
// buffers, text cells and text forms.
#include "client/node.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <utility>

#include "client/notification_data.h"
#include "istd/exception.h"
#include "istd/log.h"
#include "istd/string_util.h"

namespace roz {

// Drawn during the library's static initialisation, before any tree node
// can exist.
const TreeNodeId c_nullNodeId;

namespace {

// The element type of the node's raw buffers and text cells: that of
// `type`, except that Enumeration has none (its values are strings, but
// these forms serve numbers and plain strings only).
template <typename F>
void WithArrayType(enums::NodeValType_e type, F&& f) {
  if (type == enums::eEnumeration) return;
  VisitValueType(type, f, [] {});
}

// Element text of the printed forms: bool as true/false, numbers in the
// stream's default format, strings unchanged.
template <typename T>
std::string PrintText(const T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    return value ? "true" : "false";
  } else if constexpr (std::is_same_v<T, std::string>) {
    return value;
  } else {
    std::ostringstream os;
    os << value;
    return os.str();
  }
}

// Element text of a text cell: the stream's default format (bool as 1/0).
template <typename T>
std::string CellText(const T& value) {
  std::ostringstream os;
  os << value;
  return os.str();
}

// Width of one element in a raw buffer.
template <typename T>
constexpr size_t c_rawWidth = std::is_same_v<T, bool> ? 1 : sizeof(T);

void CollectSubTree(const Node& node, size_t depth, std::vector<Node>& nodes) {
  nodes.push_back(node);
  if (depth == 0 || node.IsLeaf()) return;
  for (const Node& child : node.GetNodes()) CollectSubTree(child, depth - 1, nodes);
}

}  // namespace

// ---- construction and identity ----

Node::Node() : m_id(c_nullNodeId), m_unmanagedData(nullptr) {}

Node::Node(const TreeNodeAddr& addr) : Node(addr.node, addr.relPath) {}

Node::Node(const TreeNodePtr& node, const Path& relPath)
    : m_id(node ? node->GetId() : c_nullNodeId),
      m_treeNode(node),
      m_relPath(relPath),
      m_unmanagedData(nullptr) {}

Node::Node(const TreeNodePtr& node, Path&& relPath)
    : m_id(node ? node->GetId() : c_nullNodeId),
      m_treeNode(node),
      m_relPath(std::move(relPath)),
      m_unmanagedData(nullptr) {}

Node::Node(const TreeNodeId& id, const Path& relPath)
    : m_id(id), m_relPath(relPath), m_unmanagedData(nullptr) {}

bool Node::IsValid() const { return !m_treeNode.expired(); }

TreeNodePtr Node::GetTreeNode() const {
  TreeNodePtr node = m_treeNode.lock();
  if (!node) throw istd::Exception("Node is not valid anymore.", true);
  return node;
}

bool Node::operator==(const Node& other) const {
  if (this == &other) return true;
  if (m_id == c_nullNodeId || other.m_id == c_nullNodeId) return false;
  return m_id == other.m_id && m_relPath == other.m_relPath;
}

bool Node::operator<(const Node& other) const {
  if (m_id.Value() != other.m_id.Value()) return m_id.Value() < other.m_id.Value();
  // The paths' lexicographic order with one three-way comparison per name
  // (the vector's operator< compares each pair of names twice). Handles are
  // map keys of the notification path, looked up for every record.
  const size_t common = std::min(m_relPath.size(), other.m_relPath.size());
  for (size_t i = 0; i < common; ++i) {
    const int order = m_relPath[i].compare(other.m_relPath[i]);
    if (order != 0) return order < 0;
  }
  return m_relPath.size() < other.m_relPath.size();
}

bool Node::IsSameHandle(const Node& other) const {
  return m_id == other.m_id && m_unmanagedData == other.m_unmanagedData &&
         !m_treeNode.owner_before(other.m_treeNode) && !other.m_treeNode.owner_before(m_treeNode) &&
         m_relPath == other.m_relPath;
}

// ---- navigation ----

std::string Node::GetName() const {
  if (!m_relPath.empty()) return m_relPath.back();
  return GetTreeNode()->GetName();
}

std::string detail::TraceName(const Node& node) {
  try {
    return node.GetName();
  } catch (const istd::Exception&) {
    return "(null)";
  }
}

Node Node::GetNode(const std::string& name) const {
  return Node(GetTreeNode()->GetNode(name, m_relPath));
}

Node Node::operator[](const std::string& name) const { return GetNode(name); }

Node Node::operator[](const char* name) const {
  return GetNode(std::string(name != nullptr ? name : ""));
}

Node Node::GetNode(size_t index) const { return Node(GetTreeNode()->GetNode(index, m_relPath)); }

Node Node::GetNode(const Path& path) const { return Node(GetTreeNode()->GetNode(path, m_relPath)); }

std::vector<Node> Node::GetNodes() const {
  const TreeNodeAddresses addresses = GetTreeNode()->GetNodes(m_relPath);
  return std::vector<Node>(addresses.begin(), addresses.end());
}

size_t Node::GetNodeCount() const { return GetTreeNode()->GetNodeCount(m_relPath); }

bool Node::IsLeaf() const { return GetTreeNode()->IsLeaf(m_relPath); }

bool Node::IsRoot() const { return m_relPath.empty() && GetTreeNode()->IsRoot(); }

Node Node::GetParent() const { return Node(GetTreeNode()->GetParent(m_relPath)); }

Node Node::GetRoot() const {
  Node node(*this);
  while (!node.IsRoot()) node = node.GetParent();
  return node;
}

Path Node::GetFullPath(bool excludeRoot) const {
  Path names;
  Node node(*this);
  while (!node.IsRoot()) {
    names.push_back(node.GetName());
    node = node.GetParent();
  }
  if (!excludeRoot) names.push_back(node.GetName());
  std::reverse(names.begin(), names.end());
  return names;
}

// ---- attributes, commands, metadata ----

Flags Node::GetFlags() const { return GetTreeNode()->GetFlags(m_relPath); }
bool Node::IsArray() const { return GetTreeNode()->IsArray(m_relPath); }
bool Node::IsExecutable() const { return GetTreeNode()->IsExecutable(m_relPath); }
bool Node::IsReadable() const { return GetTreeNode()->IsReadable(m_relPath); }
bool Node::IsWritable() const { return GetTreeNode()->IsWritable(m_relPath); }
bool Node::IsPersistent() const { return GetTreeNode()->IsPersistent(m_relPath); }
bool Node::IsSignal() const { return GetTreeNode()->IsSignal(m_relPath); }
bool Node::IsConstant() const { return GetTreeNode()->IsConstant(m_relPath); }
size_t Node::GetSize() const { return GetTreeNode()->GetSize(m_relPath); }
enums::NodeValType_e Node::GetValueType() const { return GetTreeNode()->GetValueType(m_relPath); }

bool Node::Execute() const { return GetTreeNode()->Execute(m_relPath); }

bool Node::GetValidatorExpression(std::string& expression) const {
  return GetTreeNode()->GetValidatorExpression(expression, m_relPath);
}

bool Node::GetDomainValues(std::vector<std::string>& values) const {
  try {
    values = GetTreeNode()->GetDomainValues(m_relPath);
    return true;
  } catch (const istd::Exception&) {
    return false;
  }
}

// ---- notifications ----

bool Node::Subscribe(const ClientId& client) const {
  ISTD_TRACE_FNC();
  try {
    return GetTreeNode()->Subscribe(client, m_relPath);
  } catch (const istd::Exception& e) {
    ISTD_TRACE(istd::eMedium, e.what());
    return false;
  }
}

bool Node::Unsubscribe(const ClientId& client) {
  ISTD_TRACE_FNC();
  try {
    return GetTreeNode()->Unsubscribe(client, m_relPath, true);
  } catch (const istd::Exception& e) {
    ISTD_TRACE(istd::eMedium, e.what());
    return false;
  }
}

bool Node::Emit(enums::NotificationType_e type, istd::Any value) {
  ISTD_TRACE_FNC();
  try {
    const TreeNodePtr node = GetTreeNode();
    return node->Emit(NotificationData(*this, type, value, 0));
  } catch (const istd::Exception& e) {
    ISTD_TRACE(istd::eMedium, e.what());
    return false;
  }
}

// ---- removal and subtrees ----

bool Node::Destroy() {
  const TreeNodePtr node = GetTreeNode();
  if (!IsRoot()) {
    const TreeNodeAddr parent = node->GetParent(c_noRelPath);
    parent.node->Remove(node->GetName(), m_relPath);
  }
  node->Cleanup(m_relPath);
  return true;
}

void Node::DeleteNode(const std::string& childName, const std::string& grandchildName) {
  const TreeNodeAddr child = GetTreeNode()->GetNode(childName, c_noRelPath);
  child.node->Remove(grandchildName, c_noRelPath);
}

void DestroyNode(TreeNodePtr& node) {
  if (!node) return;
  Node(node, c_noRelPath).Destroy();
  const long useCount = node.use_count();
  if (useCount > 1) {
    ISTD_TRACE(istd::eMedium, "Warning: Node " << node->GetName() << " use count: " << useCount
                                               << ". Should be 1.");
  }
  node.reset();
}

std::vector<Node> SubTree(const Node& node, size_t depth) {
  std::vector<Node> nodes;
  CollectSubTree(node, depth, nodes);
  return nodes;
}

std::vector<Node> SubTree(const Node& node) {
  return SubTree(node, std::numeric_limits<size_t>::max());
}

// ---- value reports ----

void Node::ReportValueException(const char* function, const char* file, int line,
                                bool setting) const {
  const std::string action = setting ? "setting" : "getting";
  std::string name = "(null)";
  try {
    if (IsValid()) name = GetName();
  } catch (...) {
    // The tree node went away meanwhile: keep "(null)".
  }
  const bool traced = istd::TraceFile::IsActive() && istd::TraceActiveLevel() >= istd::eLow;
  try {
    throw;
  } catch (const istd::Exception& e) {
    if (traced) {
      std::ostringstream os;
      os << "Exception at " << action << " value for ireg node " << name << ": " << e;
      istd::TraceWrite(istd::eLow, function, file, line, os.str());
    }
  } catch (const std::exception& e) {
    if (traced) {
      istd::TraceWrite(istd::eLow, function, file, line,
                       "Exception at " + action + " value for ireg node " + name + ": " + e.what());
    }
  } catch (...) {
    istd::LogWarning("Unknown exception at " + action + " value for ireg node " + name + ".");
  }
}

// ---- raw buffers ----

template <typename T>
void Node::GetArray(void* buffer, size_t bytes) const {
  std::vector<T> values;
  if (!GetValue(values, 0, 0)) return;
  const size_t count = std::min(bytes / c_rawWidth<T>, values.size());
  unsigned char* out = static_cast<unsigned char*>(buffer);
  for (size_t i = 0; i < count; ++i, out += c_rawWidth<T>) {
    if constexpr (std::is_same_v<T, bool>) {
      *out = values[i] ? 1 : 0;
    } else {
      const T value = values[i];
      std::memcpy(out, &value, sizeof value);
    }
  }
}

template <typename T>
void Node::SetArray(void* buffer) {
  const size_t count = GetSize();
  const unsigned char* in = static_cast<const unsigned char*>(buffer);
  std::vector<T> values;
  values.reserve(count);
  for (size_t i = 0; i < count; ++i, in += c_rawWidth<T>) {
    if constexpr (std::is_same_v<T, bool>) {
      values.push_back(*in != 0);
    } else {
      T value;
      std::memcpy(&value, in, sizeof value);
      values.push_back(value);
    }
  }
  SetValue(values, 0);
}

void Node::GetArrayByType(void* buffer, size_t bytes) const {
  if (!IsArray() || !IsReadable()) return;
  WithArrayType(GetValueType(), [&](auto tag) {
    using T = typename decltype(tag)::Type;
    if constexpr (!std::is_same_v<T, std::string>) GetArray<T>(buffer, bytes);
  });
}

void Node::SetArrayByType(void* buffer) {
  if (!IsArray() || !IsReadable()) return;
  WithArrayType(GetValueType(), [&](auto tag) {
    using T = typename decltype(tag)::Type;
    if constexpr (!std::is_same_v<T, std::string>) SetArray<T>(buffer);
  });
}

// ---- text cells ----

template <typename T>
void Node::GetStringArray(void* buffer, size_t bytes, size_t cellLen) const {
  std::vector<T> values;
  if (!GetValue(values, 0, 0) || values.empty() || bytes == 0 || cellLen == 0) return;
  char* const out = static_cast<char*>(buffer);
  for (size_t i = 0, start = 0; i < values.size() && start < bytes; ++i, start += cellLen) {
    // A last cell that does not fit wholly is cut at `bytes`.
    const size_t room = std::min(cellLen, bytes - start);
    const std::string text = CellText(static_cast<T>(values[i]));
    std::strncpy(out + start, text.c_str(), room);
    out[start + room - 1] = '\0';
  }
}

template <typename T>
void Node::SetStringArray(void* buffer, size_t cellLen) {
  const size_t count = GetSize();
  if (count != 0 && cellLen == 0) return;
  const char* const in = static_cast<const char*>(buffer);
  std::vector<T> values;
  values.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const char* cell = in + i * cellLen;
    values.push_back(istd::FromString<T>(std::string(cell, ::strnlen(cell, cellLen))));
  }
  SetValue(values, 0);
}

void Node::GetStringArrayByType(void* buffer, size_t bytes, size_t cellLen) const {
  if (!IsArray() || !IsReadable()) return;
  WithArrayType(GetValueType(), [&](auto tag) {
    GetStringArray<typename decltype(tag)::Type>(buffer, bytes, cellLen);
  });
}

void Node::SetStringArrayByType(void* buffer, size_t cellLen) {
  if (!IsArray() || !IsReadable()) return;
  WithArrayType(GetValueType(),
                [&](auto tag) { SetStringArray<typename decltype(tag)::Type>(buffer, cellLen); });
}

// ---- text forms ----

template <typename T>
std::string Node::PrintValue() const {
  static const char* const c_notAvailable = "N/A";
  if (IsArray()) {
    std::vector<T> values;
    if (!GetValue(values, 0, 0) || values.empty()) return c_notAvailable;
    if (values.size() == 1) return PrintText(static_cast<T>(values[0]));
    std::string text = "[";
    for (size_t i = 0; i < values.size(); ++i) {
      if (i != 0) text += ",";
      text += PrintText(static_cast<T>(values[i]));
    }
    return text + "]";
  }
  T value{};
  if (!GetValue(value, 0)) return c_notAvailable;
  return PrintText(value);
}

std::string Node::ToString(size_t maxLen) const {
  const enums::NodeValType_e type = GetValueType();
  if (type == enums::eUndefined || !IsReadable()) return std::string();
  std::string text = "Invalid type";
  VisitValueType(
      type, [&](auto tag) { text = PrintValue<typename decltype(tag)::Type>(); }, [] {});
  static const size_t c_ellipsisLen = 3;
  if (maxLen != 0 && text.size() > maxLen) {
    text.resize(maxLen >= c_ellipsisLen ? maxLen - c_ellipsisLen : 0);
    text += "...";
  }
  return text;
}

std::string Node::DumpSubTree(int depth, unsigned long mode, size_t maxLen) const {
  static const unsigned long c_relPaths = 1;
  static const unsigned long c_flags = 2;
  static const unsigned long c_valuesOnly = 4;
  const size_t base = GetFullPath(false).size();
  // A negative depth becomes a huge unsigned one: no limit.
  const std::vector<Node> nodes = SubTree(*this, static_cast<size_t>(depth));
  std::ostringstream os;
  for (size_t i = 1; i < nodes.size(); ++i) {
    const Node& node = nodes[i];
    const Path full = node.GetFullPath(false);
    const Path rel(full.begin() + std::min(base, full.size()), full.end());
    const enums::NodeValType_e type = node.GetValueType();
    if ((mode & c_valuesOnly) != 0 && type == enums::eUndefined) continue;
    if ((mode & c_flags) != 0) os << StringFlags(node.GetFlags()) << " ";
    if ((mode & (c_relPaths | c_valuesOnly)) != 0) {
      os << roz::ToString(rel);
    } else {
      os << std::string(rel.empty() ? 0 : rel.size() * 2 - 2, ' ') << node.GetName();
    }
    if (type != enums::eUndefined && node.IsReadable()) os << "=" << node.ToString(maxLen);
    os << std::endl;
  }
  return os.str();
}

std::ostream& operator<<(std::ostream& os, const Node& node) { return os << node.ToString(0); }

// The types that the raw-buffer and text-cell templates serve: the value
// types and the other names of the integer types (the six integer names are
// distinct types on every word size, and each of int32_t ... uint64_t is one
// of them).
#define ROZ_NODE_TEXT_TEMPLATES(T)                                    \
  template void Node::GetStringArray<T>(void*, size_t, size_t) const; \
  template void Node::SetStringArray<T>(void*, size_t);               \
  template std::string Node::PrintValue<T>() const;
#define ROZ_NODE_RAW_TEMPLATES(T)                       \
  template void Node::GetArray<T>(void*, size_t) const; \
  template void Node::SetArray<T>(void*);

ROZ_NODE_TEXT_TEMPLATES(bool)
ROZ_NODE_TEXT_TEMPLATES(int)
ROZ_NODE_TEXT_TEMPLATES(unsigned int)
ROZ_NODE_TEXT_TEMPLATES(long)
ROZ_NODE_TEXT_TEMPLATES(unsigned long)
ROZ_NODE_TEXT_TEMPLATES(long long)
ROZ_NODE_TEXT_TEMPLATES(unsigned long long)
ROZ_NODE_TEXT_TEMPLATES(double)
ROZ_NODE_TEXT_TEMPLATES(float)
ROZ_NODE_TEXT_TEMPLATES(std::string)
ROZ_NODE_RAW_TEMPLATES(bool)
ROZ_NODE_RAW_TEMPLATES(int)
ROZ_NODE_RAW_TEMPLATES(unsigned int)
ROZ_NODE_RAW_TEMPLATES(long)
ROZ_NODE_RAW_TEMPLATES(unsigned long)
ROZ_NODE_RAW_TEMPLATES(long long)
ROZ_NODE_RAW_TEMPLATES(unsigned long long)
ROZ_NODE_RAW_TEMPLATES(double)
ROZ_NODE_RAW_TEMPLATES(float)

#undef ROZ_NODE_TEXT_TEMPLATES
#undef ROZ_NODE_RAW_TEMPLATES

}  // namespace roz
