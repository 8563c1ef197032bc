// roz::LocalNodeStructure: children kept in this process.
#include "client/local_node_structure.h"

#include <algorithm>
#include <atomic>
#include <sstream>

#include "client/tree_node.h"
#include "istd/exception.h"
#include "istd/log.h"

namespace roz {

namespace {
std::atomic<bool> s_exposeHidden{false};
}  // namespace

void ExposeHiddenRegistry() { s_exposeHidden.store(true); }

LocalNodeStructure::LocalNodeStructure(TreeNode* owner) : NodeStructure(owner) {}

LocalNodeStructure::~LocalNodeStructure() = default;

TreeNodeAddr LocalNodeStructure::GetNode(const std::string& name, const Path& path) {
  std::lock_guard<std::recursive_mutex> lock(m_childrenMutex);
  auto it = m_children.find(name);
  if (it == m_children.end()) throw istd::Exception("ireg: node " + name + " not found.", true);
  return TreeNodeAddr{it->second, Path()};
}

TreeNodeAddr LocalNodeStructure::GetNode(size_t index, const Path& path) {
  std::lock_guard<std::recursive_mutex> lock(m_childrenMutex);
  if (index >= m_visible.size()) {
    std::ostringstream os;
    os << "ireg: Index out of range: " << index;
    throw istd::Exception(os, true);
  }
  return TreeNodeAddr{m_visible[index], Path()};
}

TreeNodeAddr LocalNodeStructure::GetNode(const Path& relPath, const Path& path) {
  if (relPath.empty()) return TreeNodeAddr{Owner()->shared_from_this(), path};
  // Only the first step needs the children lock: the rest of the walk is
  // answered by the child's own structure (possibly a remote call), and the
  // child is kept alive by the address.
  const TreeNodeAddr child = GetNode(relPath[0], path);
  return child.node->GetNode(Path(relPath.begin() + 1, relPath.end()), child.relPath);
}

TreeNodeAddresses LocalNodeStructure::GetNodes(const Path& path) {
  std::lock_guard<std::recursive_mutex> lock(m_childrenMutex);
  TreeNodeAddresses addresses;
  addresses.reserve(m_visible.size());
  for (const TreeNodePtr& child : m_visible) addresses.push_back(TreeNodeAddr{child, Path()});
  return addresses;
}

bool LocalNodeStructure::IsLeaf(const Path& path) {
  std::lock_guard<std::recursive_mutex> lock(m_childrenMutex);
  return m_children.empty();
}

size_t LocalNodeStructure::GetNodeCount(const Path& path) const {
  std::lock_guard<std::recursive_mutex> lock(m_childrenMutex);
  return m_visible.size();
}

void LocalNodeStructure::Add(const TreeNodePtr& child) {
  std::lock_guard<std::recursive_mutex> lock(m_childrenMutex);
  const std::string& name = child->GetName();
  ISTD_TRACE(istd::eDetail, "Add: " << OwnerName() << " <- " << name);
  child->SetParent(Owner()->shared_from_this());
  if (!m_children.emplace(name, child).second) {
    // The link was set just above (SetParent refuses a child that already
    // has a parent), so clearing it gives the child back its earlier state.
    child->SetParent(TreeNodePtr());
    throw istd::Exception("ireg: Node with the same name already exists: " + name, true);
  }
  if (!s_exposeHidden.load() && child->IsHidden(c_noRelPath)) {
    ISTD_TRACE(istd::eHigh, "Added hidden node: " << name);
  } else {
    m_visible.push_back(child);
  }
}

void LocalNodeStructure::Merge(const TreeNodePtr& child) {
  std::lock_guard<std::recursive_mutex> lock(m_childrenMutex);
  auto it = m_children.find(child->GetName());
  if (it == m_children.end()) {
    child->SetParent(TreeNodePtr());
    Add(child);
    return;
  }
  const TreeNodePtr existing = it->second;
  if (!(*existing == *child)) {
    throw istd::Exception(
        "ireg: Different type of node with the same name already exists: " + child->GetName(),
        true);
  }
  for (const TreeNodePtr& grandchild : child->GetAllNodes()) existing->Merge(grandchild);
}

void LocalNodeStructure::Adopt(const TreeNodePtr& node) {
  std::lock_guard<std::recursive_mutex> lock(m_childrenMutex);
  for (const TreeNodePtr& child : node->GetAllNodes()) {
    node->Detach(child, c_noRelPath);
    Merge(child);
  }
}

TreeNodePtr LocalNodeStructure::DetachEntry(std::map<std::string, TreeNodePtr>::iterator it) {
  const TreeNodePtr child = it->second;
  m_children.erase(it);
  // Removed whenever listed: a child may have become hidden after it was
  // added (flags are only ever added), and it must not stay listed once it
  // is no longer a child.
  auto listed = std::find(m_visible.begin(), m_visible.end(), child);
  if (listed != m_visible.end()) m_visible.erase(listed);
  child->SetParent(TreeNodePtr());
  return child;
}

TreeNodePtr LocalNodeStructure::Detach(const std::string& name, const Path& path) {
  ISTD_TRACE_FNC();
  std::lock_guard<std::recursive_mutex> lock(m_childrenMutex);
  auto it = m_children.find(name);
  if (it == m_children.end()) return TreeNodePtr();
  return DetachEntry(it);
}

TreeNodePtr LocalNodeStructure::Detach(const TreeNodePtr& child, const Path& path) {
  ISTD_TRACE_FNC();
  std::lock_guard<std::recursive_mutex> lock(m_childrenMutex);
  for (auto it = m_children.begin(); it != m_children.end(); ++it) {
    if (it->second == child) return DetachEntry(it);
  }
  return TreeNodePtr();
}

std::vector<TreeNodePtr> LocalNodeStructure::GetAllNodes() const {
  std::lock_guard<std::recursive_mutex> lock(m_childrenMutex);
  std::vector<TreeNodePtr> nodes;
  nodes.reserve(m_children.size());
  for (const auto& entry : m_children) nodes.push_back(entry.second);
  return nodes;
}

}  // namespace roz
