// regd's registry: the loaded tree with the rules by which clients read and
// write it (permissions, type checks, positions, domains, commands), the
// server's own updates (simulated measurements, counters), and the change
// records that every value change produces for the subscribers.
//
// Errors reach the remote caller as the i_NET user exceptions: NotFound for
// a path regd does not know, InvalidType for a type hint or a written
// sequence of the wrong type, ValueException (with a readable text) for
// everything the node refuses.
//
// Thread-safety: lookups need no lock (the structure is fixed after load).
// Every access to a value holds the registry mutex; the change listener is
// called with it held, so that the changes of one node reach the
// subscribers' queues in the order in which they were made. The listener
// must therefore not block and must not call back into the registry (lock
// order: registry mutex, then the client table's, then a sink queue's).
#ifndef VARNEK_TOOLS_REGD_REGISTRY_H
#define VARNEK_TOOLS_REGD_REGISTRY_H

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "istd/any.h"
#include "network/i_remote_node.h"
#include "tree.h"

namespace regd {

// Notification type code of a value change.
inline constexpr int c_valueChanged = 0;
// The value that makes an executable node run its command.
inline constexpr int64_t c_executeCode = 238;

// One value change, as it is sent to every subscriber of the node.
struct Change {
  roz::Path m_path;             // relative to the root
  int m_type = c_valueChanged;  // notification type code
  istd::Any m_data;             // scalar node: the value; array: the written elements
  unsigned int m_pos = 0;       // position of the first element concerned
};
using ChangePtr = std::shared_ptr<const Change>;

class Registry {
 public:
  // Called under the registry mutex for every change (see above).
  using Listener = std::function<void(const ChangePtr&)>;

  explicit Registry(std::unique_ptr<RegNode> root);
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  RegNode& Root() const { return *m_root; }
  // Every node, root first, in pre-order.
  const std::vector<RegNode*>& AllNodes() const { return m_all; }
  // The node at `path`, or null.
  RegNode* Find(const roz::Path& path) const;
  // The node at `path` as clients see it: null for an unknown path and for
  // a node hooked as not found.
  RegNode* Lookup(const i_NET::NodeNames& path) const;
  // As Lookup; raises i_NET::NotFound "node not found: " + path instead of
  // answering null.
  RegNode& Resolve(const i_NET::NodeNames& path) const;
  // The children that listings show (hidden ones left out), in order.
  static std::vector<const RegNode*> Visible(const RegNode& node);

  // Must be set before clients arrive.
  void SetListener(Listener listener) { m_listener = std::move(listener); }

  // Number of elements of the node's value (0 without value).
  size_t Size(const RegNode& node) const;

  // A client's read: a plain scalar for a scalar node, the *Buffer of
  // `count` elements from `pos` for an array node (count 0: all from pos;
  // fewer when the array ends first). `hint` must be the element type.
  // Answer hooks apply. The caller owns the result.
  CORBA::Any* Read(RegNode& node, CORBA::ULong pos, CORBA::ULong count, CORBA::TypeCode_ptr hint);
  // A client's write of the *Buffer `value` at `pos`; an array grows when
  // the elements reach past its end. On an executable node, the LongLong
  // 238 runs the node's command.
  void Write(RegNode& node, const CORBA::Any& value, CORBA::ULong pos);

  // The next sample of a simulated node (server-side, notifies).
  void Simulate(RegNode& node);
  // The node's value now, as a change record for the whole value; with
  // `increment` a ULongLong scalar is counted up by one first. Notifies
  // nobody: the caller delivers the record (stress emission).
  ChangePtr Snapshot(RegNode& node, bool increment);
  // The first element of a String node.
  std::string ReadString(const RegNode& node) const;

 private:
  // Under m_mutex: stores and notifies.
  void Store(RegNode& node, size_t pos, const Elements& values, bool replace);
  // Under m_mutex: the "reset" command.
  void Reset();
  // Under m_mutex: a diagnostic node's value, computed now.
  static void Refresh(RegNode& node);

  std::unique_ptr<RegNode> m_root;
  std::vector<RegNode*> m_all;
  Listener m_listener;
  mutable std::mutex m_mutex;
};

// The text of a remote path (elements joined with ".").
std::string PathText(const i_NET::NodeNames& path);
// A remote path as roz::Path and back.
roz::Path ToPath(const i_NET::NodeNames& path);
i_NET::NodeNames ToNodeNames(const roz::Path& path);

}  // namespace regd

#endif  // VARNEK_TOOLS_REGD_REGISTRY_H
