// roz::TreeNode, one node of the registry tree as it exists in this process:
// name, identifier, flags, the node lock and the node structure that knows
// the node's children.
//
// Every operation that reads or changes a value or an attribute is a virtual
// slot; this base class answers for a purely local node without a value of
// its own, and a remote proxy overrides the same slots to forward them to
// another process. Operations that concern a descendant take its path
// relative to this tree node (empty for the node itself). The slot order
// below is the contract that derived classes override; a derived class
// appends its own virtual operations after OnGetValidatorExpression.
//
// Ownership: tree nodes live in std::shared_ptr (roz::factory::Create makes
// them); the node owns its structure, the structure owns the children and
// holds the parent weakly. Programs use roz::Node handles, which never own.
//
// Thread-safety: one recursive node lock per node. The operations marked
// "locked" hold it around their virtual hook, so hooks of derived classes run
// under it and may call other locked operations of the same node. GetFlags,
// SetFlags, the structure forwarders and the Get/Set value slots do not take
// it. Structures have their own locks (node_structure.h); lock order is
// parent before child.
//
// Value types of the slots (client/value_type.h): int32_t is the Long type,
// uint32_t ULong, int64_t LongLong, uint64_t ULongLong; the string slots
// also carry Enumeration values. A derived class overrides the slots with
// these names: which of int, long and long long each of them is depends on
// the word size. Programs reach the slots through roz::Node, which also
// accepts the other names of each integer type.
#ifndef VARNEK_CLIENT_TREE_NODE_H
#define VARNEK_CLIENT_TREE_NODE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/node_structure.h"
#include "client/roz_util.h"
#include "istd/any.h"
#include "istd/string_util.h"

namespace roz {

class NotificationData;

class TreeNode : public std::enable_shared_from_this<TreeNode> {
 public:
  // An anonymous node (empty name) with the given flags and a leaf
  // structure; no name check. Used by proxies that are named later.
  explicit TreeNode(const Flags& flags);
  // A named node. Throws istd::Exception "Invalid node name: " + name unless
  // the name starts with a letter and contains neither a space nor a ".".
  explicit TreeNode(const std::string& name, const Flags& flags = 0);
  TreeNode(const TreeNode&) = delete;
  TreeNode& operator=(const TreeNode&) = delete;

  // ---- virtual slots, in contract order ----

  // Same name, same own flags and same dynamic type.
  virtual bool operator==(const TreeNode& other) const;

  // Value slots: `position` is the index of the first element addressed,
  // `path` the descendant. The base throws istd::Exception "ireg: type not
  // supported : " + the name of the value type.
  virtual void Get(std::string& value, size_t position, const Path& path);
  virtual void Get(int64_t& value, size_t position, const Path& path);
  virtual void Get(uint64_t& value, size_t position, const Path& path);
  virtual void Get(int32_t& value, size_t position, const Path& path);
  virtual void Get(uint32_t& value, size_t position, const Path& path);
  virtual void Get(double& value, size_t position, const Path& path);
  virtual void Get(float& value, size_t position, const Path& path);
  virtual void Get(bool& value, size_t position, const Path& path);
  virtual void Get(std::vector<std::string>& values, size_t position, size_t count,
                   const Path& path);
  virtual void Get(std::vector<int64_t>& values, size_t position, size_t count, const Path& path);
  virtual void Get(std::vector<uint64_t>& values, size_t position, size_t count, const Path& path);
  virtual void Get(std::vector<int32_t>& values, size_t position, size_t count, const Path& path);
  virtual void Get(std::vector<uint32_t>& values, size_t position, size_t count, const Path& path);
  virtual void Get(std::vector<double>& values, size_t position, size_t count, const Path& path);
  virtual void Get(std::vector<float>& values, size_t position, size_t count, const Path& path);
  virtual void Get(std::vector<bool>& values, size_t position, size_t count, const Path& path);
  virtual void Set(const std::string& value, size_t position, const Path& path);
  virtual void Set(const int64_t& value, size_t position, const Path& path);
  virtual void Set(const uint64_t& value, size_t position, const Path& path);
  virtual void Set(const int32_t& value, size_t position, const Path& path);
  virtual void Set(const uint32_t& value, size_t position, const Path& path);
  virtual void Set(const double& value, size_t position, const Path& path);
  virtual void Set(const float& value, size_t position, const Path& path);
  virtual void Set(const bool& value, size_t position, const Path& path);
  virtual void Set(const std::vector<std::string>& values, size_t position, const Path& path);
  virtual void Set(const std::vector<int64_t>& values, size_t position, const Path& path);
  virtual void Set(const std::vector<uint64_t>& values, size_t position, const Path& path);
  virtual void Set(const std::vector<int32_t>& values, size_t position, const Path& path);
  virtual void Set(const std::vector<uint32_t>& values, size_t position, const Path& path);
  virtual void Set(const std::vector<double>& values, size_t position, const Path& path);
  virtual void Set(const std::vector<float>& values, size_t position, const Path& path);
  virtual void Set(const std::vector<bool>& values, size_t position, const Path& path);

  // Base: false.
  virtual bool Emit();
  // Traces "TreeNode destroyed: " + name at High, then deletes the structure
  // (releasing the children).
  virtual ~TreeNode();
  // Called by the factory once the structure is installed; false makes the
  // factory discard the node. Base: true.
  virtual bool Init();

  // Hooks of the locked operations below (called with the node lock held).
  // Base: true.
  virtual bool OnCleanup(const Path& path);
  // Base: false.
  virtual bool OnEmit(const NotificationData& data);
  // Base: false.
  virtual bool OnEmitValue(const istd::Any& value, const size_t& position);
  // Base: false (local nodes cannot be subscribed).
  virtual bool OnSubscribe(const ClientId& client, const Path& path);
  // `unregister`: whether the client is also unregistered from the
  // dispatcher. Base: false.
  virtual bool OnUnsubscribe(const ClientId& client, const Path& path, bool unregister);
  // Base: the node's own flags.
  virtual Flags OnGetFlags(const Path& path) const;
  // Base: ORs `flags` into the node's own flags (bits are only added) and
  // returns the result.
  virtual Flags OnSetFlags(Flags flags, const Path& path);
  // Base: false.
  virtual bool OnResize(size_t size, const Path& path);
  // Base: 0.
  virtual size_t OnGetSize(const Path& path) const;
  // Base: eUndefined.
  virtual enums::NodeValType_e OnGetValueType(const Path& path) const;
  // Appends the allowed values of an enumeration node. Base: false, `values`
  // untouched.
  virtual bool OnGetDomainValues(istd::StrTokens& values, const Path& path) const;
  // Base: false.
  virtual bool OnGetValidatorExpression(std::string& expression, const Path& path) const;

  // ---- non-virtual operations ----

  const std::string& GetName() const { return m_name; }
  // Renames a root (no name check). Throws istd::Exception "ireg: Can't
  // change name of non-root node: " + current name when it has a parent.
  void SetName(const std::string& name);
  const TreeNodeId& GetId() const { return m_id; }

  // OnGetFlags / OnSetFlags, not locked.
  Flags GetFlags(const Path& path) const;
  Flags SetFlags(Flags flags, const Path& path);
  // Locked: GetFlags(path) & mask is not zero.
  bool HasFlagSet(Flags mask, const Path& path) const;
  bool IsReadable(const Path& path) const;
  bool IsWritable(const Path& path) const;
  bool IsPersistent(const Path& path) const;
  bool IsConstant(const Path& path) const;
  bool IsHidden(const Path& path) const;
  bool IsExecutable(const Path& path) const;
  bool IsArray(const Path& path) const;
  bool IsSignal(const Path& path) const;

  // Locked forwarders to the hooks.
  enums::NodeValType_e GetValueType(const Path& path) const;
  size_t GetSize(const Path& path) const;
  // OnResize when this tree node itself has eArray; false otherwise.
  bool Resize(size_t size, const Path& path);
  istd::StrTokens GetDomainValues(const Path& path) const;
  bool GetValidatorExpression(std::string& expression, const Path& path) const;
  // Locked: writes the LongLong value 238 at position 0 of `path` when it is
  // executable and returns true; otherwise throws istd::Exception "ireg: node
  // is not executable: " + this node's name.
  bool Execute(const Path& path);
  bool Cleanup(const Path& path);
  bool Subscribe(const ClientId& client, const Path& path);
  bool Unsubscribe(const ClientId& client, const Path& path, bool unregister);
  bool Emit(const NotificationData& data);

  // A lock holding the node lock, for callers that need several operations
  // under it.
  std::unique_lock<std::recursive_mutex> Lock() const;
  // As Lock(), except that for a node with eUnlockedRead the returned lock
  // does not hold the mutex.
  std::unique_lock<std::recursive_mutex> LockRead() const;

  // Structure forwarders (the structure's own locks apply; see
  // node_structure.h and local_node_structure.h for results and texts).
  bool IsRoot() const;
  TreeNodeAddr GetParent(const Path& path) const;
  void SetParent(const TreeNodePtr& parent);
  bool IsLeaf(const Path& path);
  size_t GetNodeCount(const Path& path) const;
  TreeNodeAddr GetNode(const std::string& name, const Path& path);
  TreeNodeAddr GetNode(size_t index, const Path& path);
  TreeNodeAddr GetNode(const Path& relPath, const Path& path);
  TreeNodeAddresses GetNodes(const Path& path);
  std::vector<TreeNodePtr> GetAllNodes() const;
  // Adds `child` (nothing for an empty pointer); returns `child`.
  TreeNodePtr Add(const TreeNodePtr& child);
  // Adds `child`; returns this node's own pointer, so that calls chain on the
  // parent. Throws std::bad_weak_ptr when no shared pointer owns this node.
  TreeNodePtr Attach(const TreeNodePtr& child);
  // Merges the subtree of `child` (nothing for an empty pointer); returns
  // `child`.
  TreeNodePtr Merge(const TreeNodePtr& child);
  // Moves the children of `node` here, merging where names exist.
  void Adopt(const TreeNodePtr& node);
  // The detached child, or an empty pointer when there is none.
  TreeNodePtr Detach(const std::string& name, const Path& path);
  TreeNodePtr Detach(const TreeNodePtr& child, const Path& path);
  void Remove(const std::string& name, const Path& path);
  void Remove(const TreeNodePtr& child, const Path& path);

  // Installs `structure` and deletes the current one (taking over its parent
  // link). Throws istd::Exception "ireg: Can't replace node structure for
  // non leaf nodes." when the current structure has children; the caller
  // then keeps ownership of `structure`.
  void SetNodeStructure(NodeStructure* structure);

 protected:
  // The installed structure (never null), for derived nodes that hand it
  // state of their own; owned by this node.
  NodeStructure* GetNodeStructure() const { return m_structure.get(); }

 private:
  static bool IsValidName(const std::string& name);

  std::unique_ptr<NodeStructure> m_structure;
  std::string m_name;
  const TreeNodeId m_id;
  // Atomic because SetFlags and GetFlags run without the node lock.
  std::atomic<Flags> m_flags;
  mutable std::recursive_mutex m_mutex;
};

}  // namespace roz

#endif  // VARNEK_CLIENT_TREE_NODE_H
