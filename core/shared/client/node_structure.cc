// roz::NodeStructure: the parent link and the refusals of a leaf.
#include "client/node_structure.h"

#include <sstream>

#include "client/tree_node.h"
#include "istd/exception.h"
#include "istd/log.h"

namespace roz {

NodeStructure::NodeStructure(TreeNode* owner) : m_owner(owner) {}

NodeStructure::~NodeStructure() = default;

const std::string& NodeStructure::OwnerName() const { return m_owner->GetName(); }

TreeNodeAddr NodeStructure::GetNode(const std::string& name, const Path& path) {
  throw istd::Exception("ireg internal error: unimplemented access to " + name + ".", true);
}

TreeNodeAddr NodeStructure::GetNode(size_t index, const Path& path) {
  std::ostringstream os;
  os << "ireg internal error: unimplemented access to [" << index << "].";
  throw istd::Exception(os, true);
}

TreeNodeAddr NodeStructure::GetNode(const Path& relPath, const Path& path) {
  throw istd::Exception("ireg internal error: unimplemented access to " + ToString(relPath) + ".",
                        true);
}

TreeNodeAddresses NodeStructure::GetNodes(const Path& path) { return TreeNodeAddresses(); }

bool NodeStructure::IsLeaf(const Path& path) { return true; }

size_t NodeStructure::GetNodeCount(const Path& path) const { return 0; }

void NodeStructure::Add(const TreeNodePtr& child) {
  throw istd::Exception("ireg: Can't add node to: " + OwnerName(), true);
}

void NodeStructure::Merge(const TreeNodePtr& child) {
  throw istd::Exception("ireg: Can't merge subtree to: " + OwnerName(), true);
}

void NodeStructure::Adopt(const TreeNodePtr& node) {
  throw istd::Exception("ireg: Can't adopt children node to: " + OwnerName(), true);
}

TreeNodePtr NodeStructure::Detach(const std::string& name, const Path& path) {
  throw istd::Exception("ireg: Can't detach from: " + OwnerName(), true);
}

TreeNodePtr NodeStructure::Detach(const TreeNodePtr& child, const Path& path) {
  throw istd::Exception("ireg: Can't detach from: " + OwnerName(), true);
}

std::vector<TreeNodePtr> NodeStructure::GetAllNodes() const {
  throw istd::Exception(std::string("ireg internal error: unimplemented function ") + "GetAllNodes",
                        true);
}

TreeNodeAddr NodeStructure::GetParent(const Path& path) const {
  if (!path.empty()) {
    return TreeNodeAddr{m_owner->shared_from_this(), Path(path.begin(), path.end() - 1)};
  }
  TreeNodePtr parent;
  {
    std::lock_guard<std::mutex> lock(m_parentMutex);
    parent = m_parent.lock();
  }
  if (!parent) throw istd::Exception("ireg: root node doesn't have a parent.", true);
  return TreeNodeAddr{parent, Path()};
}

bool NodeStructure::IsRoot(const Path& path) const {
  if (!path.empty()) return false;
  std::lock_guard<std::mutex> lock(m_parentMutex);
  return m_parent.expired();
}

void NodeStructure::SetParent(const TreeNodePtr& parent) {
  std::lock_guard<std::mutex> lock(m_parentMutex);
  const std::string& name = OwnerName();
  if (name.empty()) throw istd::Exception("ireg: Can't set a parent to anonymous node.", true);
  if (parent && !m_parent.expired()) {
    throw istd::Exception("ireg: Node " + name + " already has a parent", true);
  }
  if (!parent) {
    m_parent.reset();
    ISTD_TRACE(istd::eHigh, "TreeNode detached: " << name);
    return;
  }
  m_parent = parent;
  ISTD_TRACE(istd::eHigh, "TreeNode got parent: " << parent->GetName() << " --> " << name);
}

void NodeStructure::TakeParentLink(const NodeStructure& other) {
  if (&other == this) return;
  std::weak_ptr<TreeNode> link;
  {
    std::lock_guard<std::mutex> lock(other.m_parentMutex);
    link = other.m_parent;
  }
  std::lock_guard<std::mutex> lock(m_parentMutex);
  m_parent = link;
}

}  // namespace roz
