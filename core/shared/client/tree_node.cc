// roz::TreeNode: the defaults of a local node, the locked forwarders and the
// structure forwarders.
#include "client/tree_node.h"

#include <typeinfo>

#include "istd/assert.h"
#include "istd/exception.h"
#include "istd/log.h"
#include "istd/process.h"

namespace roz {

namespace {

[[noreturn]] void ThrowTypeNotSupported(const std::type_info& type) {
  static const std::string c_prefix = "ireg: type not supported : ";
  throw istd::Exception(c_prefix + istd::CppName(type), true);
}

}  // namespace

TreeNode::TreeNode(const Flags& flags) : m_structure(new NodeStructure(this)), m_flags(flags) {}

TreeNode::TreeNode(const std::string& name, const Flags& flags)
    : m_structure(new NodeStructure(this)), m_name(name), m_flags(flags) {
  ISTD_TRACE_FNC();
  ISTD_TRACE(istd::eHigh, "new TreeNode: " << m_name << " id: " << m_id.Value());
  if (!IsValidName(m_name)) throw istd::Exception("Invalid node name: " + m_name, true);
}

TreeNode::~TreeNode() {
  ISTD_TRACE(istd::eHigh, "TreeNode destroyed: " << m_name);
  m_structure.reset();
}

bool TreeNode::IsValidName(const std::string& name) {
  if (name.empty()) return false;
  const unsigned char first = static_cast<unsigned char>(name[0]);
  // The C locale's letters, whatever locale the program has set.
  const bool letter = (first >= 'a' && first <= 'z') || (first >= 'A' && first <= 'Z');
  return letter && name.find_first_of(" .") == std::string::npos;
}

bool TreeNode::operator==(const TreeNode& other) const {
  return m_name == other.m_name && GetFlags(c_noRelPath) == other.GetFlags(c_noRelPath) &&
         typeid(*this) == typeid(other);
}

// The base value slots: a local node has no value.
#define ROZ_TREE_NODE_VALUE_SLOTS(T)                                                            \
  void TreeNode::Get(T& value, size_t position, const Path& path) {                             \
    ThrowTypeNotSupported(typeid(T));                                                           \
  }                                                                                             \
  void TreeNode::Get(std::vector<T>& values, size_t position, size_t count, const Path& path) { \
    ThrowTypeNotSupported(typeid(std::vector<T>));                                              \
  }                                                                                             \
  void TreeNode::Set(const T& value, size_t position, const Path& path) {                       \
    ThrowTypeNotSupported(typeid(T));                                                           \
  }                                                                                             \
  void TreeNode::Set(const std::vector<T>& values, size_t position, const Path& path) {         \
    ThrowTypeNotSupported(typeid(std::vector<T>));                                              \
  }

ROZ_TREE_NODE_VALUE_SLOTS(std::string)
ROZ_TREE_NODE_VALUE_SLOTS(int64_t)
ROZ_TREE_NODE_VALUE_SLOTS(uint64_t)
ROZ_TREE_NODE_VALUE_SLOTS(int32_t)
ROZ_TREE_NODE_VALUE_SLOTS(uint32_t)
ROZ_TREE_NODE_VALUE_SLOTS(double)
ROZ_TREE_NODE_VALUE_SLOTS(float)
ROZ_TREE_NODE_VALUE_SLOTS(bool)

#undef ROZ_TREE_NODE_VALUE_SLOTS

bool TreeNode::Emit() { return false; }

bool TreeNode::Init() { return true; }

bool TreeNode::OnCleanup(const Path& path) {
  ISTD_TRACE_FNC();
  return true;
}

bool TreeNode::OnEmit(const NotificationData& data) { return false; }

bool TreeNode::OnEmitValue(const istd::Any& value, const size_t& position) { return false; }

bool TreeNode::OnSubscribe(const ClientId& client, const Path& path) {
  ISTD_TRACE_FNC();
  return false;
}

bool TreeNode::OnUnsubscribe(const ClientId& client, const Path& path, bool unregister) {
  ISTD_TRACE_FNC();
  return false;
}

Flags TreeNode::OnGetFlags(const Path& path) const { return m_flags.load(); }

Flags TreeNode::OnSetFlags(Flags flags, const Path& path) {
  return m_flags.fetch_or(flags) | flags;
}

bool TreeNode::OnResize(size_t size, const Path& path) {
  ISTD_TRACE_FNC();
  return false;
}

size_t TreeNode::OnGetSize(const Path& path) const { return 0; }

enums::NodeValType_e TreeNode::OnGetValueType(const Path& path) const { return enums::eUndefined; }

bool TreeNode::OnGetDomainValues(istd::StrTokens& values, const Path& path) const { return false; }

bool TreeNode::OnGetValidatorExpression(std::string& expression, const Path& path) const {
  return false;
}

void TreeNode::SetName(const std::string& name) {
  if (!IsRoot()) {
    throw istd::Exception("ireg: Can't change name of non-root node: " + m_name, true);
  }
  m_name = name;
}

Flags TreeNode::GetFlags(const Path& path) const { return OnGetFlags(path); }

Flags TreeNode::SetFlags(Flags flags, const Path& path) { return OnSetFlags(flags, path); }

bool TreeNode::HasFlagSet(Flags mask, const Path& path) const {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  return (GetFlags(path) & mask) != 0;
}

bool TreeNode::IsReadable(const Path& path) const { return HasFlagSet(enums::eRead, path); }
bool TreeNode::IsWritable(const Path& path) const { return HasFlagSet(enums::eWrite, path); }
bool TreeNode::IsPersistent(const Path& path) const { return HasFlagSet(enums::ePersistent, path); }
bool TreeNode::IsConstant(const Path& path) const { return HasFlagSet(enums::eConstant, path); }
bool TreeNode::IsHidden(const Path& path) const { return HasFlagSet(enums::eHidden, path); }
bool TreeNode::IsExecutable(const Path& path) const { return HasFlagSet(enums::eExecutable, path); }
bool TreeNode::IsArray(const Path& path) const { return HasFlagSet(enums::eArray, path); }
bool TreeNode::IsSignal(const Path& path) const { return HasFlagSet(enums::eSignal, path); }

enums::NodeValType_e TreeNode::GetValueType(const Path& path) const {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  return OnGetValueType(path);
}

size_t TreeNode::GetSize(const Path& path) const {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  return OnGetSize(path);
}

bool TreeNode::Resize(size_t size, const Path& path) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  return IsArray(c_noRelPath) ? OnResize(size, path) : false;
}

istd::StrTokens TreeNode::GetDomainValues(const Path& path) const {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  istd::StrTokens values;
  OnGetDomainValues(values, path);
  return values;
}

bool TreeNode::GetValidatorExpression(std::string& expression, const Path& path) const {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  return OnGetValidatorExpression(expression, path);
}

bool TreeNode::Execute(const Path& path) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  if (!IsExecutable(path)) {
    throw istd::Exception("ireg: node is not executable: " + m_name, true);
  }
  const int64_t c_executeValue = 238;
  Set(c_executeValue, 0, path);
  return true;
}

bool TreeNode::Cleanup(const Path& path) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  return OnCleanup(path);
}

bool TreeNode::Subscribe(const ClientId& client, const Path& path) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  return OnSubscribe(client, path);
}

bool TreeNode::Unsubscribe(const ClientId& client, const Path& path, bool unregister) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  return OnUnsubscribe(client, path, unregister);
}

bool TreeNode::Emit(const NotificationData& data) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  return OnEmit(data);
}

std::unique_lock<std::recursive_mutex> TreeNode::Lock() const {
  return std::unique_lock<std::recursive_mutex>(m_mutex);
}

std::unique_lock<std::recursive_mutex> TreeNode::LockRead() const {
  if ((GetFlags(c_noRelPath) & enums::eUnlockedRead) != 0) {
    return std::unique_lock<std::recursive_mutex>(m_mutex, std::defer_lock);
  }
  return std::unique_lock<std::recursive_mutex>(m_mutex);
}

bool TreeNode::IsRoot() const { return m_structure->IsRoot(c_noRelPath); }

TreeNodeAddr TreeNode::GetParent(const Path& path) const { return m_structure->GetParent(path); }

void TreeNode::SetParent(const TreeNodePtr& parent) { m_structure->SetParent(parent); }

bool TreeNode::IsLeaf(const Path& path) { return m_structure->IsLeaf(path); }

size_t TreeNode::GetNodeCount(const Path& path) const { return m_structure->GetNodeCount(path); }

TreeNodeAddr TreeNode::GetNode(const std::string& name, const Path& path) {
  return m_structure->GetNode(name, path);
}

TreeNodeAddr TreeNode::GetNode(size_t index, const Path& path) {
  return m_structure->GetNode(index, path);
}

TreeNodeAddr TreeNode::GetNode(const Path& relPath, const Path& path) {
  return m_structure->GetNode(relPath, path);
}

TreeNodeAddresses TreeNode::GetNodes(const Path& path) { return m_structure->GetNodes(path); }

std::vector<TreeNodePtr> TreeNode::GetAllNodes() const { return m_structure->GetAllNodes(); }

TreeNodePtr TreeNode::Add(const TreeNodePtr& child) {
  if (child) m_structure->Add(child);
  return child;
}

TreeNodePtr TreeNode::Attach(const TreeNodePtr& child) {
  if (child) m_structure->Add(child);
  return shared_from_this();
}

TreeNodePtr TreeNode::Merge(const TreeNodePtr& child) {
  if (child) m_structure->Merge(child);
  return child;
}

void TreeNode::Adopt(const TreeNodePtr& node) {
  if (node) m_structure->Adopt(node);
}

TreeNodePtr TreeNode::Detach(const std::string& name, const Path& path) {
  return m_structure->Detach(name, path);
}

TreeNodePtr TreeNode::Detach(const TreeNodePtr& child, const Path& path) {
  if (!child) return TreeNodePtr();
  return m_structure->Detach(child, path);
}

void TreeNode::Remove(const std::string& name, const Path& path) { Detach(name, path); }

void TreeNode::Remove(const TreeNodePtr& child, const Path& path) { Detach(child, path); }

void TreeNode::SetNodeStructure(NodeStructure* structure) {
  ISTD_ASSERT(structure != nullptr);
  if (m_structure && !m_structure->IsLeaf(c_noRelPath)) {
    throw istd::Exception("ireg: Can't replace node structure for non leaf nodes.", true);
  }
  if (structure == m_structure.get()) return;
  if (m_structure) structure->TakeParentLink(*m_structure);
  m_structure.reset(structure);
}

}  // namespace roz
