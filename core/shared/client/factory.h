// roz::factory::Create, the one way tree nodes are made: the node, its
// structure and its initialisation in one step.
//
// Thread-safety: the node is not shared with anyone before Create returns.
#ifndef VARNEK_CLIENT_FACTORY_H
#define VARNEK_CLIENT_FACTORY_H

#include <memory>
#include <utility>

#include "client/tree_node.h"

namespace roz {
namespace factory {

// Constructs NodeType(args...) into a new shared pointer, installs a
// Structure owned by it and calls its Init(). Returns the node, or an empty
// pointer when Init() returned false (the node is then released).
// Exceptions of the constructor or of Init pass through.
template <typename Structure, typename NodeType, typename... Args>
TreeNodePtr Create(Args&&... args) {
  // Not make_shared: handles keep weak pointers for a long time, and the
  // memory of a destroyed node should not wait for them.
  std::shared_ptr<NodeType> node(new NodeType(std::forward<Args>(args)...));
  std::unique_ptr<Structure> structure(new Structure(node.get()));
  node->SetNodeStructure(structure.get());
  structure.release();
  if (!node->Init()) return TreeNodePtr();
  return node;
}

}  // namespace factory
}  // namespace roz

#endif  // VARNEK_CLIENT_FACTORY_H
