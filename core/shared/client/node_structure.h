// roz::NodeStructure, the strategy object through which a tree node answers
// every question about its parent, its children and its descendants, and
// roz::TreeNodeAddr, the answer of every lookup.
//
// The base class is the structure of a leaf: it keeps the parent link and
// refuses to hold children. roz::LocalNodeStructure keeps children in this
// process; the remote structure answers by asking another process.
//
// Ownership: a tree node owns its structure (created and deleted with
// it); the structure points back at its owner with a plain pointer (the
// owner outlives it) and holds the owner's parent weakly, so a parent owns
// its children and never the reverse.
//
// Thread-safety: the parent link is guarded by the parent lock, a plain mutex
// taken inside GetParent, IsRoot and SetParent only; nothing else is locked
// while it is held except the trace.
#ifndef VARNEK_CLIENT_NODE_STRUCTURE_H
#define VARNEK_CLIENT_NODE_STRUCTURE_H

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/roz_util.h"

namespace roz {

class TreeNode;
using TreeNodePtr = std::shared_ptr<TreeNode>;

// A registry node as a tree node plus the path of the node inside it
// (empty when the tree node itself is meant).
struct TreeNodeAddr {
  TreeNodePtr node;
  Path relPath;
};

using TreeNodeAddresses = std::vector<TreeNodeAddr>;

class NodeStructure {
 public:
  // `owner` is the tree node that owns this structure; it must outlive it.
  explicit NodeStructure(TreeNode* owner);
  NodeStructure(const NodeStructure&) = delete;
  NodeStructure& operator=(const NodeStructure&) = delete;

  // In every operation `path` is the path, inside the owner, of the node
  // whose children are meant; `relPath` is the path still to be walked.
  // All failures are istd::Exception.

  // The child `name`. Base: throws "ireg internal error: unimplemented
  // access to " + name + ".".
  virtual TreeNodeAddr GetNode(const std::string& name, const Path& path);
  // The visible child at `index`. Base: throws "ireg internal error:
  // unimplemented access to [" + index + "].".
  virtual TreeNodeAddr GetNode(size_t index, const Path& path);
  // The descendant at `relPath`. Base: throws "ireg internal error:
  // unimplemented access to " + relPath text + ".".
  virtual TreeNodeAddr GetNode(const Path& relPath, const Path& path);
  // The visible children in order of addition. Base: empty.
  virtual TreeNodeAddresses GetNodes(const Path& path);
  // Base: true.
  virtual bool IsLeaf(const Path& path);
  // Number of visible children. Base: 0.
  virtual size_t GetNodeCount(const Path& path) const;
  // Base: throws "ireg: Can't add node to: " + owner name.
  virtual void Add(const TreeNodePtr& child);
  // Base: throws "ireg: Can't merge subtree to: " + owner name.
  virtual void Merge(const TreeNodePtr& child);
  // Base: throws "ireg: Can't adopt children node to: " + owner name.
  virtual void Adopt(const TreeNodePtr& node);
  // Base: both throw "ireg: Can't detach from: " + owner name.
  virtual TreeNodePtr Detach(const std::string& name, const Path& path);
  virtual TreeNodePtr Detach(const TreeNodePtr& child, const Path& path);
  // Every child, hidden ones included, in name order. Base: throws
  // "ireg internal error: unimplemented function GetAllNodes".
  virtual std::vector<TreeNodePtr> GetAllNodes() const;
  // Releases the parent link.
  virtual ~NodeStructure();

  // With an empty `path`: { parent, empty path }; throws "ireg: root node
  // doesn't have a parent." when there is no live parent. With a non-empty
  // `path`: { owner, path without its last element }. Throws
  // std::bad_weak_ptr when the owner is not held by a shared pointer.
  TreeNodeAddr GetParent(const Path& path) const;
  // False for a non-empty `path`; otherwise true when there is no live parent.
  bool IsRoot(const Path& path) const;
  // Sets (or, with an empty pointer, clears) the owner's parent link.
  // Throws "ireg: Can't set a parent to anonymous node." when the owner has
  // no name, and "ireg: Node " + name + " already has a parent" when setting
  // a parent while a live one is linked.
  void SetParent(const TreeNodePtr& parent);
  // Takes over the parent link of `other` (the structure being replaced by
  // this one), so that replacing a structure keeps the node in its tree.
  void TakeParentLink(const NodeStructure& other);

 protected:
  TreeNode* Owner() const { return m_owner; }
  const std::string& OwnerName() const;

 private:
  TreeNode* m_owner;
  std::weak_ptr<TreeNode> m_parent;
  mutable std::mutex m_parentMutex;
};

}  // namespace roz

#endif  // VARNEK_CLIENT_NODE_STRUCTURE_H
