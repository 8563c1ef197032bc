// roz::LocalNodeStructure, the structure of a tree node whose children live
// in this process (the cache root and any tree a program builds), and the
// process-wide switch roz::ExposeHiddenRegistry.
//
// Ownership: the structure owns its children through shared pointers;
// children hold their parent weakly (node_structure.h). Destroying the
// structure releases the children; those held elsewhere become roots.
//
// Thread-safety: the children lock, a recursive mutex, guards both
// containers for the whole of every child operation (Merge and Adopt call
// Add and Merge of the same structure while holding it). Lock order is
// parent before child: Add holds this lock while it takes the child's parent
// lock, Merge while it calls the existing child's Merge, Adopt while it calls
// GetAllNodes and Detach of the adopted node.
#ifndef VARNEK_CLIENT_LOCAL_NODE_STRUCTURE_H
#define VARNEK_CLIENT_LOCAL_NODE_STRUCTURE_H

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "client/node_structure.h"

namespace roz {

// From now on, hidden nodes added anywhere are listed, counted and
// indexable like other nodes. Nodes added hidden before stay unlisted.
// Nothing resets the switch.
void ExposeHiddenRegistry();

class LocalNodeStructure : public NodeStructure {
 public:
  explicit LocalNodeStructure(TreeNode* owner);
  ~LocalNodeStructure() override;

  // `path` is not used by a local structure: its owner has no descendants
  // other than its children.

  // The child `name`, hidden ones included; throws istd::Exception
  // "ireg: node " + name + " not found." when absent.
  TreeNodeAddr GetNode(const std::string& name, const Path& path) override;
  // The visible child at `index`; throws istd::Exception "ireg: Index out of
  // range: " + index.
  TreeNodeAddr GetNode(size_t index, const Path& path) override;
  // { owner, path } for an empty `relPath`; otherwise the first name is
  // looked up here and the rest is resolved by that child.
  TreeNodeAddr GetNode(const Path& relPath, const Path& path) override;
  // The visible children, in order of addition.
  TreeNodeAddresses GetNodes(const Path& path) override;
  // True when there are no children at all (hidden ones count).
  bool IsLeaf(const Path& path) override;
  // Number of visible children.
  size_t GetNodeCount(const Path& path) const override;
  // Links `child` to the owner and inserts it. Throws the parent-link
  // texts of SetParent, or "ireg: Node with the same name already exists: "
  // + name (the child's parent link is then cleared again).
  void Add(const TreeNodePtr& child) override;
  // Adds `child` when its name is free; otherwise folds its subtree into the
  // existing child of that name, level by level. Throws "ireg: Different type
  // of node with the same name already exists: " + name when the existing
  // child differs in name, flags or class (earlier siblings may already be
  // merged).
  void Merge(const TreeNodePtr& child) override;
  // Detaches every child of `node` and merges it here.
  void Adopt(const TreeNodePtr& node) override;
  // The detached child (now a root), or an empty pointer when absent.
  TreeNodePtr Detach(const std::string& name, const Path& path) override;
  TreeNodePtr Detach(const TreeNodePtr& child, const Path& path) override;
  // Every child, hidden ones included, in name order.
  std::vector<TreeNodePtr> GetAllNodes() const override;

 private:
  // Removes the entry `it` (children lock held) and clears its parent link.
  TreeNodePtr DetachEntry(std::map<std::string, TreeNodePtr>::iterator it);

  // Every child, by name (byte-wise order).
  std::map<std::string, TreeNodePtr> m_children;
  // The listed children in order of addition; each is also in m_children.
  std::vector<TreeNodePtr> m_visible;
  mutable std::recursive_mutex m_childrenMutex;
};

}  // namespace roz

#endif  // VARNEK_CLIENT_LOCAL_NODE_STRUCTURE_H
