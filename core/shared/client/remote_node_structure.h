// roz::RemoteNodeStructure, the structure of a remote node proxy: it answers
// every navigation question by asking the remote registry and returns
// addresses made of the proxy itself plus a longer path inside the remote
// tree, so a proxy never has child tree nodes. Also the two conversions
// between roz::Path and the wire type i_NET::NodeNames that every remote
// call uses.
//
// Ownership: the proxy owns its structure; the structure holds its own
// reference to the proxy's i_NET::RemoteNode (nil until the proxy connects),
// handed over by the proxy whenever it connects or reconnects.
//
// Thread-safety: navigation may run on several threads at once; a small
// leaf mutex guards the stored reference only while it is copied or
// replaced, never across a remote call. Every navigation is one blocking
// remote call, bounded by the ORB's call timeout.
//
// Failures are istd::Exception. With a nil reference (a disconnected proxy)
// the remote call itself fails, so navigation reports "... not accessible"
// rather than "node disconnected".
#ifndef VARNEK_CLIENT_REMOTE_NODE_STRUCTURE_H
#define VARNEK_CLIENT_REMOTE_NODE_STRUCTURE_H

#include <cstddef>
#include <mutex>
#include <string>

#include "client/node_structure.h"
#include "client/roz_util.h"
#include "network/i_remote_node.h"

namespace roz {

// A new NodeNames with the elements of `path` (empty: the remote root); the
// caller owns it (hold it in an i_NET::NodeNames_var).
i_NET::NodeNames* PathToRemoteNodeNames(const Path& path);
// The path of a NodeNames, one element per name, in order.
Path RemoteNodeNamesToPath(const i_NET::NodeNames& names);

class RemoteNodeStructure : public NodeStructure {
 public:
  explicit RemoteNodeStructure(TreeNode* owner);
  // Releases the reference.
  ~RemoteNodeStructure() override;

  // Stores a duplicate of `node` (nil allowed) in place of the current one.
  void SetRemoteNodeInterface(i_NET::_objref_RemoteNode* node);

  // Every address has the owner proxy as tree node (std::bad_weak_ptr when
  // no shared pointer holds it) and the path of the node inside the remote
  // tree. Failures, by operation (NotFound / CORBA system exception):
  //   GetNode(name, path): "ireg: child node not found in: " + child path
  //     + " (" + reason + ")" / "ireg: child node not accessible in: " +
  //     child path;
  //   GetNode(index, path): the same texts with `path`;
  //   GetNode(relPath, path), GetNodes(path): "ireg: node not found: " +
  //     path + " (" + reason + ")" / "ireg: node not accessible: " + path;
  //   IsLeaf, GetNodeCount: "ireg: node not found: " + path / "ireg: node not
  //     accessible: " + path.

  // { owner, path + name } once the child is known to exist (one GetValueType).
  TreeNodeAddr GetNode(const std::string& name, const Path& path) override;
  // { owner, path + the name of the visible child at `index` }.
  TreeNodeAddr GetNode(size_t index, const Path& path) override;
  // { owner, path + relPath } once the node is known to exist.
  TreeNodeAddr GetNode(const Path& relPath, const Path& path) override;
  // The visible children of `path`, in the server's order.
  TreeNodeAddresses GetNodes(const Path& path) override;
  bool IsLeaf(const Path& path) override;
  // Number of visible children of `path`.
  size_t GetNodeCount(const Path& path) const override;

 private:
  // A new reference to the stored remote node (the caller releases it).
  i_NET::RemoteNode_ptr Reference() const;
  // { owner, node } once the server answered GetValueType for `node`; the
  // failure texts are `notFound` (with the server's reason) and
  // `notAccessible`, each followed by the path of `node`.
  TreeNodeAddr Existing(const Path& node, const char* notFound, const char* notAccessible) const;
  mutable std::mutex m_mutex;
  i_NET::RemoteNode_ptr m_node;
};

}  // namespace roz

#endif  // VARNEK_CLIENT_REMOTE_NODE_STRUCTURE_H
