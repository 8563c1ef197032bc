// roz::RemoteNodeStructure: navigation of a remote tree, one remote call per
// question.
#include "client/remote_node_structure.h"

#include "client/internal/remote_call.h"
#include "client/tree_node.h"
#include "istd/exception.h"
#include "istd/log.h"

namespace roz {

namespace {

Path Joined(const Path& path, const Path& more) {
  Path joined(path);
  joined.insert(joined.end(), more.begin(), more.end());
  return joined;
}

}  // namespace

RemoteNodeStructure::RemoteNodeStructure(TreeNode* owner)
    : NodeStructure(owner), m_node(i_NET::RemoteNode::_nil()) {
  ISTD_TRACE_FNC();
}

RemoteNodeStructure::~RemoteNodeStructure() { CORBA::release(m_node); }

void RemoteNodeStructure::SetRemoteNodeInterface(i_NET::_objref_RemoteNode* node) {
  ISTD_TRACE_FNC();
  i_NET::RemoteNode_ptr copy = i_NET::RemoteNode::_duplicate(node);
  std::lock_guard<std::mutex> lock(m_mutex);
  CORBA::release(m_node);
  m_node = copy;
}

i_NET::RemoteNode_ptr RemoteNodeStructure::Reference() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return i_NET::RemoteNode::_duplicate(m_node);
}

TreeNodeAddr RemoteNodeStructure::Existing(const Path& node, const char* notFound,
                                           const char* notAccessible) const {
  i_NET::RemoteNode_var remote = Reference();
  detail::CallRemote(remote.in(), node, notFound, true, notAccessible,
                     [](i_NET::RemoteNode_ptr reference, const i_NET::NodeNames& names) {
                       return reference->GetValueType(names);
                     });
  return TreeNodeAddr{Owner()->shared_from_this(), node};
}

TreeNodeAddr RemoteNodeStructure::GetNode(const std::string& name, const Path& path) {
  ISTD_TRACE_FNC();
  return Existing(Joined(path, Path{name}),
                  "ireg: child node not found in: ", "ireg: child node not accessible in: ");
}

TreeNodeAddr RemoteNodeStructure::GetNode(size_t index, const Path& path) {
  ISTD_TRACE_FNC();
  i_NET::RemoteNode_var node = Reference();
  const std::string name =
      detail::CallRemote(node.in(), path, "ireg: child node not found in: ", true,
                         "ireg: child node not accessible in: ",
                         [index](i_NET::RemoteNode_ptr remote, const i_NET::NodeNames& names) {
                           CORBA::String_var childName =
                               remote->GetNameByIndex(names, static_cast<CORBA::ULong>(index));
                           return std::string(childName.in());
                         });
  return TreeNodeAddr{Owner()->shared_from_this(), Joined(path, Path{name})};
}

TreeNodeAddr RemoteNodeStructure::GetNode(const Path& relPath, const Path& path) {
  ISTD_TRACE_FNC();
  return Existing(Joined(path, relPath), "ireg: node not found: ", "ireg: node not accessible: ");
}

TreeNodeAddresses RemoteNodeStructure::GetNodes(const Path& path) {
  ISTD_TRACE_FNC();
  i_NET::RemoteNode_var node = Reference();
  i_NET::NodeNames_var children = detail::CallRemote(
      node.in(), path, "ireg: node not found: ", true, "ireg: node not accessible: ",
      [](i_NET::RemoteNode_ptr remote, const i_NET::NodeNames& names) {
        return remote->GetNodes(names);
      });
  const TreeNodePtr owner = Owner()->shared_from_this();
  TreeNodeAddresses addresses;
  addresses.reserve(children->length());
  for (CORBA::ULong i = 0; i < children->length(); ++i) {
    addresses.push_back(TreeNodeAddr{owner, Joined(path, Path{children[i].in()})});
  }
  return addresses;
}

bool RemoteNodeStructure::IsLeaf(const Path& path) {
  ISTD_TRACE_FNC();
  i_NET::RemoteNode_var node = Reference();
  return detail::CallRemote(node.in(), path, "ireg: node not found: ", false,
                            "ireg: node not accessible: ",
                            [](i_NET::RemoteNode_ptr remote, const i_NET::NodeNames& names) {
                              return remote->IsLeaf(names) != 0;
                            });
}

size_t RemoteNodeStructure::GetNodeCount(const Path& path) const {
  ISTD_TRACE_FNC();
  i_NET::RemoteNode_var node = Reference();
  return detail::CallRemote(node.in(), path, "ireg: node not found: ", false,
                            "ireg: node not accessible: ",
                            [](i_NET::RemoteNode_ptr remote, const i_NET::NodeNames& names) {
                              return static_cast<size_t>(remote->GetNodeCount(names));
                            });
}

}  // namespace roz
