// roz::RemoteNode, the client-side proxy of the registry of another process,
// and the value transfer templates it is built on.
//
// A proxy is a tree node that stands for a whole remote tree: its value,
// attribute and subscription operations go over the i_NET interfaces to the
// root i_NET::RemoteNode of a registry-publishing application, and its
// children are answered by a roz::RemoteNodeStructure. A roz::Node handle
// pairs the proxy with the path of a node inside the remote tree, and the
// proxy passes that path with every remote call.
//
// Life of a proxy: made by roz::factory::Create<RemoteNodeStructure,
// RemoteNode>(...), which installs the structure and calls Init (connect:
// resolve "corbaloc:iiop:host:port/key", check the interface version "2.6",
// activate the notification servant, obtain the registry root). Init false
// makes the factory discard the proxy; Init may also leave it disconnected
// (nil remote node), in which case every value and attribute access throws
// "ireg: node disconnected: " + path. Reinit reconnects the same proxy to the
// same address (roz::Ping calls it), subscribes the servant's paths again
// and tells the signal sources of its nodes (roz::CreateRemoteSignal adds
// them), so that open streams register anew. The destructor unregisters the
// subscribed paths from the dispatcher, tells the server
// (ReleaseRemoteNode) and deactivates the servant.
//
// Failures reach the caller as istd::Exception with an "ireg: " text (see
// the value templates below and the attribute queries); the proxy's state
// does not change on them.
//
// Threads and locks: every remote call blocks the calling thread, bounded by
// the ORB's connect (5 s) and call (60 s) timeouts. The attribute, execution
// and subscription hooks run under the tree node's lock (taken by the
// TreeNode wrappers); the value slots and the navigation do not take it.
// Reinit holds the node lock while it replaces the references, and no lock
// of the proxy while the signal sources restore themselves. The stored
// references are guarded by a leaf mutex held only to copy or replace them,
// never across a remote call, so a read on one thread and a reconnection on
// another never share a released reference. Incoming notifications arrive
// on ORB threads at the servant, which holds the proxy weakly.
//
// Ownership: the proxy owns its references (released in the destructor) and
// its servant's creation reference (dropped by deactivation). References
// returned to callers (GetRemoteSignal) are theirs to release.
#ifndef VARNEK_CLIENT_REMOTE_NODE_H
#define VARNEK_CLIENT_REMOTE_NODE_H

#include <omniORB4/CORBA.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "client/remote_node_structure.h"
#include "client/roz_util.h"
#include "client/tree_node.h"
#include "istd/exception.h"
#include "istd/log.h"
#include "network/conversion.h"
#include "network/i_application.h"
#include "network/i_remote_node.h"

namespace isig {
class Reconnectable;
}

namespace roz {

class i_Notification_impl;

class RemoteNode : public TreeNode {
 public:
  // The interface version this client speaks; a server answering anything
  // else is refused.
  static constexpr const char* c_interfaceVersion = "2.6";

  // A proxy named `name` (the name rules of TreeNode apply) for the
  // application at corbaloc:iiop:<address>:<port>/<objectName>. Contacts
  // nothing.
  RemoteNode(const std::string& name, const std::string& address, unsigned int port,
             const std::string& objectName);
  // The same, named "IP_" + address with every "." replaced by "-".
  RemoteNode(const std::string& address, unsigned int port, const std::string& objectName);

  // ---- value slots (remote GetValue / SetValue; see the templates below) ----

  void Get(std::string& value, size_t position, const Path& path) override;
  void Get(int64_t& value, size_t position, const Path& path) override;
  void Get(uint64_t& value, size_t position, const Path& path) override;
  void Get(int32_t& value, size_t position, const Path& path) override;
  void Get(uint32_t& value, size_t position, const Path& path) override;
  void Get(double& value, size_t position, const Path& path) override;
  void Get(float& value, size_t position, const Path& path) override;
  void Get(bool& value, size_t position, const Path& path) override;
  void Get(std::vector<std::string>& values, size_t position, size_t count,
           const Path& path) override;
  void Get(std::vector<int64_t>& values, size_t position, size_t count, const Path& path) override;
  void Get(std::vector<uint64_t>& values, size_t position, size_t count, const Path& path) override;
  void Get(std::vector<int32_t>& values, size_t position, size_t count, const Path& path) override;
  void Get(std::vector<uint32_t>& values, size_t position, size_t count, const Path& path) override;
  void Get(std::vector<double>& values, size_t position, size_t count, const Path& path) override;
  void Get(std::vector<float>& values, size_t position, size_t count, const Path& path) override;
  void Get(std::vector<bool>& values, size_t position, size_t count, const Path& path) override;
  void Set(const std::string& value, size_t position, const Path& path) override;
  void Set(const int64_t& value, size_t position, const Path& path) override;
  void Set(const uint64_t& value, size_t position, const Path& path) override;
  void Set(const int32_t& value, size_t position, const Path& path) override;
  void Set(const uint32_t& value, size_t position, const Path& path) override;
  void Set(const double& value, size_t position, const Path& path) override;
  void Set(const float& value, size_t position, const Path& path) override;
  void Set(const bool& value, size_t position, const Path& path) override;
  void Set(const std::vector<std::string>& values, size_t position, const Path& path) override;
  void Set(const std::vector<int64_t>& values, size_t position, const Path& path) override;
  void Set(const std::vector<uint64_t>& values, size_t position, const Path& path) override;
  void Set(const std::vector<int32_t>& values, size_t position, const Path& path) override;
  void Set(const std::vector<uint32_t>& values, size_t position, const Path& path) override;
  void Set(const std::vector<double>& values, size_t position, const Path& path) override;
  void Set(const std::vector<float>& values, size_t position, const Path& path) override;
  void Set(const std::vector<bool>& values, size_t position, const Path& path) override;

  // Releases the proxy's hold at the server (ReleaseRemoteNode), deactivates
  // the servant and releases the references. Never throws.
  ~RemoteNode() override;

  // Connects (see the file comment). Returns false only when a CORBA
  // exception or an istd::Exception ended the attempt (unreachable
  // application, refused version, ...), after the trace "Unable to connect
  // to remote application or registry: " + reason at Low; true also when
  // the proxy was left disconnected. Any other exception propagates. In
  // every case of failure the notification servant the attempt made is
  // deactivated and the proxy is left disconnected.
  bool Init() override;

  // For the empty path: asks the server to stop this client's notifications
  // (StopNotifications; a failure is traced) and returns true. Any other
  // path: false, nothing remote.
  bool OnCleanup(const Path& path) override;

  // Subscription of the node at `path` for `client`, under the node lock:
  // records the client in the servant, registers the handle with the
  // dispatcher (starting the client's worker) and, for the first local
  // subscriber of the path, subscribes it at the server. Returns false when
  // the client had the path already, and when the dispatcher or the server
  // refused; then nothing of it stays in place. Throws istd::Exception "ireg:
  // node not found: " / "ireg: node not accessible: " / "ireg: node
  // disconnected: " + path when the server call fails (also undone).
  bool OnSubscribe(const ClientId& client, const Path& path) override;
  // The reverse: forgets the client in the servant, unregisters it from the
  // dispatcher when `unregister` (a dispatcher that destroys the client
  // passes false) and, for the last local subscriber, unsubscribes the path
  // at the server. False when the client had not subscribed the path or the
  // dispatcher did not hold it (the server is then not told); the server's
  // answer otherwise. Throws as OnSubscribe when the server call fails; the
  // local records are gone all the same.
  bool OnUnsubscribe(const ClientId& client, const Path& path, bool unregister) override;

  // Attribute queries, one remote call each. Throw istd::Exception "ireg:
  // node disconnected: " + path when disconnected, "ireg: node not found: " +
  // path when the server does not know the path, and "ireg: node not
  // accessible: " + path when the call fails (connection lost, timeout).
  Flags OnGetFlags(const Path& path) const override;
  // Remote flags cannot be changed: ignores `flags` and returns
  // OnGetFlags(path).
  Flags OnSetFlags(Flags flags, const Path& path) override;
  size_t OnGetSize(const Path& path) const override;
  enums::NodeValType_e OnGetValueType(const Path& path) const override;
  // Appends the remote domain values to `values`; returns whether the node
  // has a domain.
  bool OnGetDomainValues(istd::StrTokens& values, const Path& path) const override;
  bool OnGetValidatorExpression(std::string& expression, const Path& path) const override;

  // The tree nodes of the addresses GetNodes(c_noRelPath) returns, in order
  // (each is this proxy). Throws as GetNodes.
  virtual std::vector<TreeNodePtr> GetAllNodes();

  // Reconnects to the same address and subscribes every path of the
  // servant's map again. Returns false when an exception ended the attempt
  // or the server refused a resubscription (the rest are then not tried);
  // true otherwise, also when the application or its registry answered nil
  // and nothing was subscribed (the proxy then stays disconnected). A proxy
  // that holds no servant (its earlier connection attempt failed) gets a
  // fresh one. Failures are handled as by Init. Takes the node lock for the
  // reconnection; then, with no lock held and when the proxy is connected,
  // tells the signal sources added with AddReconnectable (an open stream
  // registers again with the server, see isig/remote_stream.h), on the
  // calling thread. Their success does not change the result.
  bool Reinit();

  // Makes `source` (a signal source of a node of this registry) hear of
  // every reconnection (Reinit). Held weakly: a source that goes is
  // forgotten. Any thread.
  void AddReconnectable(const std::shared_ptr<isig::Reconnectable>& source);

  // The server's signal object of `path`, or nil when the node is no
  // signal; the caller releases it. Throws as the attribute queries.
  i_NET::_objref_RemoteSignal* GetRemoteSignal(const Path& path);

  // "corbaloc:iiop:" (with TLS "corbaloc:ssliop:") + address + ":" + port +
  // "/" + object name; the scheme is that of the ORB when the proxy was made.
  const std::string& GetAddressUrl() const { return m_url; }
  // True while the proxy holds a remote node reference.
  bool IsConnected() const;
  // A new reference to the remote node, copied under the reference mutex
  // (the caller releases it; nil while disconnected). For callers that send
  // requests of their own on the proxy's connection (client/batch.h).
  i_NET::RemoteNode_ptr RemoteNodeRef() const;

  // What a read needs to know of a node before it asks for the value: the
  // value type and the flags (whether the value is an array, whether it
  // can be read). They stay the same while the node exists, so the batch
  // calls (and the bindings built on them) remember them per path and a
  // later read of the node is a single request. Forgotten all
  // at once when the proxy's references change (a reconnection may reach
  // a server with another tree), and one by one when a read made with them
  // failed in a way a changed node explains (ForgetValueShape). Any thread.
  struct ValueShape {
    enums::NodeValType_e type = enums::eUndefined;
    Flags flags = 0;  // as the server answered them
    bool IsArray() const { return (flags & enums::eArray) != 0; }
  };
  // True, with `shape` set, when the shape of `path` is remembered.
  bool FindValueShape(const std::string& path, ValueShape& shape) const;
  // Remembers the shape of `path`. At most c_valueShapeLimit paths are
  // held; the next one starts the memory afresh.
  void RememberValueShape(const std::string& path, const ValueShape& shape);
  void ForgetValueShape(const std::string& path);
  static constexpr size_t c_valueShapeLimit = 1 << 17;

 protected:
  // The notification servant, null while the proxy has none. The pointer is
  // valid while the node lock is held.
  i_Notification_impl* GetNotificationServant() const { return m_servant; }

 private:
  // Replaces both references (duplicating them) and hands the remote node
  // to the remote structure.
  void StoreReferences(i_NET::RemoteNode_ptr remote, i_NET::Application_ptr application);
  // Ends a failed connection attempt: leaves the proxy disconnected and
  // drops `unowned` (a servant the attempt made, not the proxy's; may be
  // null). Returns false.
  bool Abandon(i_Notification_impl* unowned);
  // Inside the handler of the exception that ended a connection attempt
  // begun at the TLS handshake mark `tlsMark` (network/tls.h):
  // Abandon(unowned), then traces the exception's text, with why the TLS
  // handshake failed when it did, and returns false for a CORBA exception
  // or an istd::Exception, rethrows any other.
  bool Failed(i_Notification_impl* unowned, unsigned long tlsMark);
  // The reconnection of Reinit, under the node lock.
  bool Reconnect();
  // Tells the live sources of m_signals that the proxy reconnected.
  void RestoreSignals();
  // The application at m_url (nil when the object is not one). Throws CORBA
  // exceptions.
  i_NET::Application_ptr ResolveApplication() const;
  // Runs one attribute query with the common error handling.
  template <typename Call>
  auto Query(const Path& path, Call&& call) const;

  const std::string m_url;
  i_NET::RemoteNode_ptr m_remoteNode;
  i_NET::Application_ptr m_application;
  i_Notification_impl* m_servant;
  mutable std::mutex m_referenceMutex;
  std::vector<std::weak_ptr<isig::Reconnectable>> m_signals;  // guarded by m_signalMutex
  std::mutex m_signalMutex;                                   // a leaf
  std::unordered_map<std::string, ValueShape> m_shapes;       // guarded by m_shapeMutex
  mutable std::mutex m_shapeMutex;                            // a leaf
};

// ---- value transfer ----
//
// Local type -> type hint / scalar read / sequence of arrays and writes:
//   bool -> boolean / CORBA::Boolean / BooleanBuffer
//   int32_t -> long / CORBA::Long / Int32Buffer
//   uint32_t -> unsigned long / CORBA::ULong / UInt32Buffer
//   int64_t -> long long / CORBA::LongLong / Int64Buffer
//   uint64_t -> unsigned long long / CORBA::ULongLong / UInt64Buffer
//   float, double -> float, double / CORBA::Float, Double / Float-, DoubleBuffer
//   std::string (also enumerations) -> string / const char* / StringBuffer
// A read sends the element type as hint; a scalar read expects the plain
// scalar, an array read the buffer. Every write sends a buffer (one element
// for a scalar).
//
// Failure texts (istd::Exception, each followed by the path text):
//   disconnected proxy          "ireg: node disconnected: "
//   server NotFound             "ireg: node not found: "
//   server InvalidType          "ireg: invalid type: "
//   server ValueException       the server's text, unchanged (no path)
//   CORBA system exception      "ireg: node not accessible: "
//   scalar read, sequence come  "ireg: can't assign an array to scalar value: "
//   scalar read, other scalar   "ireg: invalid type: "
//   scalar read, malformed      "ireg: internal error (unable to convert value): "
//     (a value of the asked type that cannot be decoded)
//   array read, empty answer    "ireg: value not available: "
//   array read, other answer    "ireg: internal error (unable to convert value): "

namespace detail {

// The alias type code of each i_NET value buffer.
template <typename Buffer>
CORBA::TypeCode_ptr BufferTypeCode();
template <>
inline CORBA::TypeCode_ptr BufferTypeCode<i_NET::BooleanBuffer>() {
  return i_NET::_tc_BooleanBuffer;
}
template <>
inline CORBA::TypeCode_ptr BufferTypeCode<i_NET::Int32Buffer>() {
  return i_NET::_tc_Int32Buffer;
}
template <>
inline CORBA::TypeCode_ptr BufferTypeCode<i_NET::UInt32Buffer>() {
  return i_NET::_tc_UInt32Buffer;
}
template <>
inline CORBA::TypeCode_ptr BufferTypeCode<i_NET::Int64Buffer>() {
  return i_NET::_tc_Int64Buffer;
}
template <>
inline CORBA::TypeCode_ptr BufferTypeCode<i_NET::UInt64Buffer>() {
  return i_NET::_tc_UInt64Buffer;
}
template <>
inline CORBA::TypeCode_ptr BufferTypeCode<i_NET::FloatBuffer>() {
  return i_NET::_tc_FloatBuffer;
}
template <>
inline CORBA::TypeCode_ptr BufferTypeCode<i_NET::DoubleBuffer>() {
  return i_NET::_tc_DoubleBuffer;
}
template <>
inline CORBA::TypeCode_ptr BufferTypeCode<i_NET::StringBuffer>() {
  return i_NET::_tc_StringBuffer;
}

// Throws "ireg: node disconnected: " + path for a nil `node`.
void CheckConnected(i_NET::_objref_RemoteNode* node, const Path& path);
// Logs the expected and the received type-code kind of a scalar read that
// `value` answered, and throws the matching text (the malformed-value text
// when the kinds agree: the value itself could not be decoded).
[[noreturn]] void ThrowScalarMismatch(const CORBA::Any& value, CORBA::TypeCode_ptr hint,
                                      const Path& path);
// Throws the text of an array read that `value` answered with no buffer.
[[noreturn]] void ThrowNotASequence(const CORBA::Any& value, const Path& path);
// One SetValue call with the error handling of a write.
void StoreValue(i_NET::_objref_RemoteNode* node, const Path& path, const CORBA::Any& value,
                size_t position);
// Called only inside a catch block, for the exception of a GetValue call
// (FetchValue's, or a polled one): logs or traces it as FetchValue does and
// throws the text of the table above (omniORB's fatalException, its
// assertion on what it decoded from the answer, counts as not accessible);
// exceptions of other kinds are rethrown. `function` names the caller in the log line.
[[noreturn]] void ThrowFetchFailure(const std::string& function, const Path& path);
// The same for the exception of a SetValue call (StoreValue's handling).
[[noreturn]] void ThrowStoreFailure(const std::string& function, const Path& path);

// The wire types of each element type: the CORBA scalar of a scalar read
// and the i_NET buffer of array reads and of every write.
template <typename T>
struct WireTypes;
template <>
struct WireTypes<bool> {
  using Scalar = CORBA::Boolean;
  using Buffer = i_NET::BooleanBuffer;
};
template <>
struct WireTypes<int32_t> {
  using Scalar = CORBA::Long;
  using Buffer = i_NET::Int32Buffer;
};
template <>
struct WireTypes<uint32_t> {
  using Scalar = CORBA::ULong;
  using Buffer = i_NET::UInt32Buffer;
};
template <>
struct WireTypes<int64_t> {
  using Scalar = CORBA::LongLong;
  using Buffer = i_NET::Int64Buffer;
};
template <>
struct WireTypes<uint64_t> {
  using Scalar = CORBA::ULongLong;
  using Buffer = i_NET::UInt64Buffer;
};
template <>
struct WireTypes<float> {
  using Scalar = CORBA::Float;
  using Buffer = i_NET::FloatBuffer;
};
template <>
struct WireTypes<double> {
  using Scalar = CORBA::Double;
  using Buffer = i_NET::DoubleBuffer;
};
template <>
struct WireTypes<std::string> {
  using Scalar = const char*;
  using Buffer = i_NET::StringBuffer;
};

}  // namespace detail

// A new reference to the type code of a zero CorbaType (false, 0, 0.0 or
// ""), the hint of a read of LocalType; the caller releases it.
template <typename LocalType, typename CorbaType>
CORBA::TypeCode_ptr CreateTypeHint() {
  CORBA::Any any;
  if constexpr (std::is_same_v<CorbaType, const char*>) {
    inet::detail::InsertScalar<const char*>(any, "");
  } else {
    inet::detail::InsertScalar<CorbaType>(any, CorbaType(0));
  }
  return any.type();
}

// One GetValue(path, position, count, hint) on `node`, with the failure
// texts above. ValueException and InvalidType are traced (Medium); NotFound
// and CORBA system exceptions are logged as errors.
CORBA::Any_var FetchValue(i_NET::_objref_RemoteNode* node, const Path& path,
                          CORBA::TypeCode_var hint, size_t position, size_t count);

// The Buffer held by `value` (owned by it). Throws "ireg: value not
// available: " + path for an empty any and "ireg: internal error (unable to
// convert value): " + path for anything else that is not exactly a Buffer
// (a StringVec is not a StringBuffer).
// A malformed Buffer (a string without its terminating NUL) is one of
// the latter.
template <typename Buffer>
const Buffer* ExtractSequence(const CORBA::Any& value, const Path& path) {
  const auto* sequence =
      inet::detail::ExtractBuffer<Buffer>(value, detail::BufferTypeCode<Buffer>());
  if (sequence == nullptr) detail::ThrowNotASequence(value, path);
  return sequence;
}

// Replaces the content of `values` with the elements of `sequence`.
template <typename Buffer, typename LocalType>
void ExtractFromSequence(const Buffer& sequence, std::vector<LocalType>& values) {
  inet::detail::CopySequence(sequence, values);
}

// The answer of a GetValue as a scalar read of LocalType takes it: `answer`
// must hold exactly the CORBA scalar of LocalType (`hint` is the type code
// the read sent, named in the log line of a mismatch). Throws the scalar
// texts of the table above. Whatever the server sent, the answer is either
// a value or one of those exceptions; the single-node read and the batch
// read both decode through here.
template <typename LocalType>
LocalType ScalarFromReply(const CORBA::Any& answer, CORBA::TypeCode_ptr hint, const Path& path) {
  typename detail::WireTypes<LocalType>::Scalar held{};
  if (!inet::detail::ExtractScalar(answer, held)) detail::ThrowScalarMismatch(answer, hint, path);
  if constexpr (std::is_same_v<LocalType, bool>) {
    return held != 0;
  } else {
    return LocalType(held);
  }
}

// The answer of a GetValue as an array read of LocalType takes it: replaces
// `values` with the elements of the LocalType buffer `answer` holds, as
// many as the server sent (the request's position and count are not
// checked against them). Throws the array texts of the table above.
template <typename LocalType>
void ArrayFromReply(const CORBA::Any& answer, const Path& path, std::vector<LocalType>& values) {
  using Buffer = typename detail::WireTypes<LocalType>::Buffer;
  ExtractFromSequence(*ExtractSequence<Buffer>(answer, path), values);
}

// Scalar read of element `position` (count 1): Carrier and CorbaScalar are
// both the CORBA scalar type.
template <typename Carrier, typename LocalType, typename CorbaScalar>
void RemoteGet(i_NET::_objref_RemoteNode* node, const Path& path, size_t position,
               LocalType& value) {
  ISTD_TRACE_FNC();
  static_assert(std::is_same_v<Carrier, typename detail::WireTypes<LocalType>::Scalar>);
  CORBA::TypeCode_var hint = CreateTypeHint<LocalType, CorbaScalar>();
  CORBA::Any_var answer = FetchValue(node, path, hint, position, 1);
  value = ScalarFromReply<LocalType>(answer.in(), hint.in(), path);
}

// Array read of `count` elements from `position` (count 0: as many as the
// server gives); `values` gets exactly the elements the server answered.
// Carrier is the buffer type, CorbaScalar its element type.
template <typename Carrier, typename LocalType, typename CorbaScalar>
void RemoteGet(i_NET::_objref_RemoteNode* node, const Path& path, size_t position, size_t count,
               std::vector<LocalType>& values) {
  ISTD_TRACE_FNC();
  static_assert(std::is_same_v<Carrier, typename detail::WireTypes<LocalType>::Buffer>);
  CORBA::TypeCode_var hint = CreateTypeHint<LocalType, CorbaScalar>();
  CORBA::Any_var answer = FetchValue(node, path, hint, position, count);
  ArrayFromReply(answer.in(), path, values);
}

// Write of `count` elements of `values` from `position`, as one Buffer.
template <typename Buffer, typename LocalType>
void RemoteSet(i_NET::_objref_RemoteNode* node, const Path& path, size_t position, size_t count,
               const LocalType* values) {
  ISTD_TRACE_FNC();
  detail::CheckConnected(node, path);
  std::unique_ptr<Buffer> sequence(new Buffer);
  inet::detail::FillSequence(*sequence, values, count);
  CORBA::Any any;
  any <<= sequence.release();  // the any owns the sequence
  detail::StoreValue(node, path, any, position);
}

}  // namespace roz

#endif  // VARNEK_CLIENT_REMOTE_NODE_H
