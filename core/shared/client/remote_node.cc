// roz::RemoteNode: connection, reconnection and release of a remote
// registry, the attribute queries, the value slots and the non-template
// parts of the value transfer.
#include "client/remote_node.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <sstream>

#include "client/dispatcher.h"
#include "client/internal/i_notification_impl.h"
#include "client/internal/remote_call.h"
#include "isig/remote_signal_ref.h"
#include "istd/process.h"
#include "network/orb_manager.h"

namespace roz {

namespace {

std::string AddressUrl(const std::string& address, unsigned int port,
                       const std::string& objectName) {
  std::ostringstream os;
  os << inet::OM()->AddressScheme() << address << ":" << port << "/" << objectName;
  return os.str();
}

std::string Dashed(std::string text) {
  for (char& c : text) {
    if (c == '.') c = '-';
  }
  return text;
}

// The text of the exception being handled, when it is one that ends a
// connection attempt (a CORBA exception or an istd::Exception). Any other
// exception is rethrown. Called only inside a catch block.
std::string ConnectFailureText() {
  try {
    throw;
  } catch (const CORBA::SystemException& e) {
    return inet::CORBASysExceptionToString(e);
  } catch (const CORBA::Exception& e) {
    return inet::CORBAExceptionToString(e);
  } catch (const istd::Exception& e) {
    std::ostringstream os;
    os << e;
    return os.str();
  }
}

// Activates a new notification servant in the bidirectional adapter.
i_Notification_impl* NewServant() {
  std::unique_ptr<i_Notification_impl> servant(new i_Notification_impl);
  inet::OM()->Activate(servant.get());
  return servant.release();
}

// Deactivates `servant`, which drops its creation reference, or only drops
// that reference once the ORB manager no longer activates anything.
void DropServant(i_Notification_impl* servant) {
  try {
    if (inet::OM()->IsActive()) {
      inet::OM()->Deactivate(servant);
    } else {
      servant->_remove_ref();
    }
  } catch (const CORBA::Exception& e) {
    ISTD_TRACE(istd::eLow, "Unable to release remote node: " << e);
  }
}

// The registry root that `application` gives the client of `servant`.
i_NET::RemoteNode_ptr AskRegistry(i_NET::Application_ptr application,
                                  i_Notification_impl* servant) {
  i_NET::Notification_var sink = servant->_this();
  return application->GetRemoteNode(sink.in());
}

[[noreturn]] void ThrowPathError(const char* prefix, const Path& path) {
  throw istd::Exception(prefix + ToString(path), true);
}

[[noreturn]] void ThrowNotAccessible(const std::string& function, const CORBA::SystemException& e,
                                     const Path& path) {
  istd::LogError(function + ": Can't access value: " + ToString(path) + ": " +
                 inet::CORBASysExceptionToString(e));
  ThrowPathError("ireg: node not accessible: ", path);
}

[[noreturn]] void ThrowWrongType(const i_NET::InvalidType& e, const Path& path) {
  ISTD_TRACE(istd::eMedium, "Wrong type: " << e.what.in());
  ThrowPathError("ireg: invalid type: ", path);
}

[[noreturn]] void ThrowRefused(const i_NET::ValueException& e) {
  ISTD_TRACE(istd::eMedium, "Can't access value: " << e.what.in());
  throw istd::Exception(e.what.in(), true);
}

// Writes a whole vector; a std::vector<bool> has no contiguous storage and
// is copied into a plain array first.
template <typename Buffer, typename T>
void RemoteSetAll(i_NET::_objref_RemoteNode* node, const Path& path, size_t position,
                  const std::vector<T>& values) {
  if constexpr (std::is_same_v<T, bool>) {
    std::unique_ptr<bool[]> plain(new bool[values.size()]);
    std::copy(values.begin(), values.end(), plain.get());
    RemoteSet<Buffer, bool>(node, path, position, values.size(), plain.get());
  } else {
    RemoteSet<Buffer, T>(node, path, position, values.size(), values.data());
  }
}

}  // namespace

// ---- value transfer ----

namespace detail {

void CheckConnected(i_NET::_objref_RemoteNode* node, const Path& path) {
  if (CORBA::is_nil(node)) ThrowPathError("ireg: node disconnected: ", path);
}

void ThrowScalarMismatch(const CORBA::Any& value, CORBA::TypeCode_ptr hint, const Path& path) {
  CORBA::TypeCode_var type = value.type();
  CORBA::TCKind kind = type->kind();
  if (kind == CORBA::tk_alias) {
    CORBA::TypeCode_var content = type->content_type();
    kind = content->kind();
  }
  std::ostringstream os;
  os << ToString(path) << ": Expected typecode " << static_cast<int>(hint->kind())
     << ", received: " << static_cast<int>(kind);
  istd::LogError(os.str());
  if (kind == CORBA::tk_sequence)
    ThrowPathError("ireg: can't assign an array to scalar value: ", path);
  if (kind == hint->kind()) ThrowPathError("ireg: internal error (unable to convert value): ", path);
  ThrowPathError("ireg: invalid type: ", path);
}

void ThrowNotASequence(const CORBA::Any& value, const Path& path) {
  CORBA::TypeCode_var type = value.type();
  if (type->kind() == CORBA::tk_null) ThrowPathError("ireg: value not available: ", path);
  ThrowPathError("ireg: internal error (unable to convert value): ", path);
}

void StoreValue(i_NET::_objref_RemoteNode* node, const Path& path, const CORBA::Any& value,
                size_t position) {
  i_NET::NodeNames_var names = PathToRemoteNodeNames(path);
  try {
    node->SetValue(names.in(), value, static_cast<CORBA::ULong>(position));
  } catch (...) {
    ThrowStoreFailure(istd::ThisFncName(), path);
  }
}

void ThrowStoreFailure(const std::string& function, const Path& path) {
  try {
    throw;
  } catch (const CORBA::SystemException& e) {
    ThrowNotAccessible(function, e, path);
  } catch (const i_NET::NotFound&) {
    ThrowPathError("ireg: node not found: ", path);
  } catch (const i_NET::InvalidType& e) {
    ThrowWrongType(e, path);
  } catch (const i_NET::ValueException& e) {
    ThrowRefused(e);
  }
}

void ThrowFetchFailure(const std::string& function, const Path& path) {
  try {
    throw;
  } catch (const CORBA::SystemException& e) {
    ThrowNotAccessible(function, e, path);
  } catch (const omniORB::fatalException& e) {
    // omniORB's own assertion on what it decoded from the answer (a
    // fixed-point type code of more than 31 digits): a faulty server's.
    std::ostringstream os;
    os << e;
    istd::LogError(function + ": Can't access value: " + ToString(path) + ": " + os.str());
    ThrowPathError("ireg: node not accessible: ", path);
  } catch (const i_NET::NotFound& e) {
    istd::LogError(function + ": Can't access node: " + ToString(path) + ": " + e.what.in());
    ThrowPathError("ireg: node not found: ", path);
  } catch (const i_NET::InvalidType& e) {
    ThrowWrongType(e, path);
  } catch (const i_NET::ValueException& e) {
    ThrowRefused(e);
  }
}

}  // namespace detail

CORBA::Any_var FetchValue(i_NET::_objref_RemoteNode* node, const Path& path,
                          CORBA::TypeCode_var hint, size_t position, size_t count) {
  detail::CheckConnected(node, path);
  i_NET::NodeNames_var names = PathToRemoteNodeNames(path);
  try {
    return node->GetValue(names.in(), static_cast<CORBA::ULong>(position),
                          static_cast<CORBA::ULong>(count), hint.in());
  } catch (...) {
    detail::ThrowFetchFailure(istd::ThisFncName(), path);
  }
}

// ---- construction, connection, release ----

RemoteNode::RemoteNode(const std::string& name, const std::string& address, unsigned int port,
                       const std::string& objectName)
    : TreeNode(name, 0),
      m_url(AddressUrl(address, port, objectName)),
      m_remoteNode(i_NET::RemoteNode::_nil()),
      m_application(i_NET::Application::_nil()),
      m_servant(nullptr) {
  ISTD_TRACE_FNC();
}

RemoteNode::RemoteNode(const std::string& address, unsigned int port, const std::string& objectName)
    : TreeNode(Flags(0)),
      m_url(AddressUrl(address, port, objectName)),
      m_remoteNode(i_NET::RemoteNode::_nil()),
      m_application(i_NET::Application::_nil()),
      m_servant(nullptr) {
  ISTD_TRACE_FNC();
  SetName("IP_" + Dashed(address));
}

RemoteNode::~RemoteNode() {
  ISTD_TRACE_FNC();
  if (m_servant != nullptr) {
    // The clients' dispatcher entries for this proxy's nodes go with it; the
    // server forgets the subscriptions with the release below.
    for (const auto& subscription : m_servant->GetSubscribedNodes()) {
      if (!Dispatcher::Exists()) break;
      Dispatcher::GetInstance().Unregister(GetId(), subscription.first, subscription.second);
    }
    try {
      if (!CORBA::is_nil(m_application)) {
        i_NET::Notification_var sink = m_servant->_this();
        m_application->ReleaseRemoteNode(sink.in());
      }
    } catch (const CORBA::Exception& e) {
      ISTD_TRACE(istd::eLow, "Unable to release remote node: " << e);
    }
    DropServant(m_servant);
  }
  CORBA::release(m_application);
  CORBA::release(m_remoteNode);
}

i_NET::Application_ptr RemoteNode::ResolveApplication() const {
  // The application is asked over GIOP 1.2 (corbaloc "iiop:1.2@"), the
  // version of the registry objects it hands out, not over corbaloc's
  // default 1.0: omniORB drops a connection it registered as bidirectional
  // when a GIOP 1.0 request is sent on it, which made the first reconnection
  // after a server restart fail.
  // "corbaloc:iiop:" or, with TLS, "corbaloc:ssliop:".
  std::string url = m_url;
  url.insert(url.find(':', std::strlen("corbaloc:")) + 1, "1.2@");
  CORBA::Object_var object = inet::OM()->StringToObject(url);
  return i_NET::Application::_narrow(object.in());
}

void RemoteNode::StoreReferences(i_NET::RemoteNode_ptr remote, i_NET::Application_ptr application) {
  {
    std::lock_guard<std::mutex> lock(m_referenceMutex);
    CORBA::release(m_remoteNode);
    CORBA::release(m_application);
    m_remoteNode = i_NET::RemoteNode::_duplicate(remote);
    m_application = i_NET::Application::_duplicate(application);
  }
  {
    std::lock_guard<std::mutex> lock(m_shapeMutex);
    m_shapes.clear();
  }
  if (auto* structure = dynamic_cast<RemoteNodeStructure*>(GetNodeStructure())) {
    structure->SetRemoteNodeInterface(remote);
  }
}

bool RemoteNode::FindValueShape(const std::string& path, ValueShape& shape) const {
  std::lock_guard<std::mutex> lock(m_shapeMutex);
  const auto found = m_shapes.find(path);
  if (found == m_shapes.end()) return false;
  shape = found->second;
  return true;
}

void RemoteNode::RememberValueShape(const std::string& path, const ValueShape& shape) {
  std::lock_guard<std::mutex> lock(m_shapeMutex);
  if (m_shapes.size() >= c_valueShapeLimit && m_shapes.count(path) == 0) m_shapes.clear();
  m_shapes[path] = shape;
}

void RemoteNode::ForgetValueShape(const std::string& path) {
  std::lock_guard<std::mutex> lock(m_shapeMutex);
  m_shapes.erase(path);
}

i_NET::RemoteNode_ptr RemoteNode::RemoteNodeRef() const {
  std::lock_guard<std::mutex> lock(m_referenceMutex);
  return i_NET::RemoteNode::_duplicate(m_remoteNode);
}

bool RemoteNode::IsConnected() const {
  std::lock_guard<std::mutex> lock(m_referenceMutex);
  return !CORBA::is_nil(m_remoteNode);
}

bool RemoteNode::Abandon(i_Notification_impl* unowned) {
  StoreReferences(i_NET::RemoteNode::_nil(), i_NET::Application::_nil());
  if (unowned != nullptr) DropServant(unowned);
  return false;
}

bool RemoteNode::Failed(i_Notification_impl* unowned, unsigned long tlsMark) {
  // Whatever ended the attempt, the servant it made goes and the proxy is
  // left disconnected; only then is the exception looked at (an exception
  // of another kind is rethrown here). The text is made whether or not the
  // trace writes it, so that the trace level changes nothing but the trace.
  Abandon(unowned);
  std::string reason = ConnectFailureText();
  const std::string tls = inet::TlsConnectFailure(tlsMark);
  if (!tls.empty()) reason += " (" + tls + ")";
  ISTD_TRACE(istd::eLow, "Unable to connect to remote application or registry: " << reason);
  return false;
}

bool RemoteNode::Init() {
  ISTD_TRACE_FNC();
  i_Notification_impl* servant = nullptr;  // becomes m_servant once connected
  const unsigned long tlsMark = inet::TlsHandshakeMark();
  try {
    ISTD_TRACE(istd::eMedium, "Connecting to remote application: " << m_url);
    i_NET::Application_var application = ResolveApplication();
    i_NET::RemoteNode_var remote = i_NET::RemoteNode::_nil();
    if (CORBA::is_nil(application.in())) {
      ISTD_TRACE(istd::eLow, "Unable to connect to remote application: " << m_url);
    } else {
      CORBA::String_var version = application->GetInterfaceVersion();
      if (std::strcmp(version.in(), c_interfaceVersion) != 0) {
        std::ostringstream os;
        os << "Remote interface version is not supported."
           << " Client version " << c_interfaceVersion << ". Server version " << version.in()
           << ".";
        throw istd::Exception(os, true);
      }
      servant = NewServant();
      try {
        remote = AskRegistry(application.in(), servant);
      } catch (const CORBA::SystemException& e) {
        ISTD_TRACE(istd::eLow, "Unable to connect to remote registry: " << e);
      }
      if (CORBA::is_nil(remote.in())) {
        ISTD_TRACE(istd::eLow, "Unable to connect to remote node: " << m_url);
        DropServant(servant);
        servant = nullptr;
      }
    }
    // The servant becomes the proxy's only once nothing can fail any more.
    if (servant != nullptr) servant->SetNode(shared_from_this());
    StoreReferences(remote.in(), application.in());
    m_servant = servant;
    servant = nullptr;
    return true;
  } catch (...) {
    return Failed(servant, tlsMark);
  }
}

bool RemoteNode::Reinit() {
  ISTD_TRACE_FNC();
  const bool result = Reconnect();
  // The streams register again with no lock of the proxy held: they take
  // their own locks and call the server.
  if (IsConnected()) RestoreSignals();
  return result;
}

bool RemoteNode::Reconnect() {
  const auto lock = Lock();
  i_Notification_impl* fresh = nullptr;  // a servant made here, not yet m_servant
  const unsigned long tlsMark = inet::TlsHandshakeMark();
  try {
    ISTD_TRACE(istd::eMedium, "Try to reconnect the remote application: " << m_url);
    i_NET::Application_var application = ResolveApplication();
    i_NET::RemoteNode_var remote = i_NET::RemoteNode::_nil();
    if (CORBA::is_nil(application.in())) {
      ISTD_TRACE(istd::eLow, "Unable to connect to remote application: " << m_url);
    } else {
      if (m_servant == nullptr) fresh = NewServant();
      try {
        remote = AskRegistry(application.in(), m_servant != nullptr ? m_servant : fresh);
      } catch (const CORBA::SystemException& e) {
        ISTD_TRACE(istd::eLow, "Unable to connect to remote registry: " << e);
        return Abandon(fresh);
      }
      if (CORBA::is_nil(remote.in())) {
        ISTD_TRACE(istd::eLow, "Unable to connect to remote node: " << m_url);
      }
    }
    if (fresh != nullptr && CORBA::is_nil(remote.in())) {
      DropServant(fresh);
      fresh = nullptr;
    }
    if (fresh != nullptr) fresh->SetNode(shared_from_this());
    StoreReferences(remote.in(), application.in());
    if (fresh != nullptr) {
      m_servant = fresh;
      fresh = nullptr;
    }
    if (m_servant == nullptr) return true;
    for (const auto& subscription : m_servant->GetSubscribedNodes()) {
      i_NET::NodeNames_var names = PathToRemoteNodeNames(subscription.first);
      if (!remote->Subscribe(names.in())) {
        ISTD_TRACE(istd::eLow,
                   "Failed to subscribe reconnected node." << ToString(subscription.first));
        return false;
      }
    }
    return true;
  } catch (...) {
    return Failed(fresh, tlsMark);
  }
}

void RemoteNode::AddReconnectable(const std::shared_ptr<isig::Reconnectable>& source) {
  std::lock_guard<std::mutex> lock(m_signalMutex);
  // Sources that are gone make room first.
  m_signals.erase(std::remove_if(m_signals.begin(), m_signals.end(),
                                 [](const std::weak_ptr<isig::Reconnectable>& signal) {
                                   return signal.expired();
                                 }),
                  m_signals.end());
  m_signals.push_back(source);
}

void RemoteNode::RestoreSignals() {
  std::vector<std::shared_ptr<isig::Reconnectable>> live;
  {
    std::lock_guard<std::mutex> lock(m_signalMutex);
    for (const std::weak_ptr<isig::Reconnectable>& signal : m_signals) {
      if (std::shared_ptr<isig::Reconnectable> source = signal.lock()) live.push_back(source);
    }
  }
  for (const std::shared_ptr<isig::Reconnectable>& source : live) source->OnReconnected();
}

// ---- attribute queries ----

template <typename Call>
auto RemoteNode::Query(const Path& path, Call&& call) const {
  i_NET::RemoteNode_var node = RemoteNodeRef();
  detail::CheckConnected(node.in(), path);
  return detail::CallRemote(node.in(), path, "ireg: node not found: ", false,
                            "ireg: node not accessible: ", std::forward<Call>(call));
}

Flags RemoteNode::OnGetFlags(const Path& path) const {
  ISTD_TRACE_FNC();
  return Query(path, [](i_NET::RemoteNode_ptr remote, const i_NET::NodeNames& names) {
    return static_cast<Flags>(remote->GetFlags(names));
  });
}

Flags RemoteNode::OnSetFlags(Flags flags, const Path& path) { return OnGetFlags(path); }

size_t RemoteNode::OnGetSize(const Path& path) const {
  ISTD_TRACE_FNC();
  return Query(path, [](i_NET::RemoteNode_ptr remote, const i_NET::NodeNames& names) {
    return static_cast<size_t>(remote->GetSize(names));
  });
}

enums::NodeValType_e RemoteNode::OnGetValueType(const Path& path) const {
  ISTD_TRACE_FNC();
  return Query(path, [](i_NET::RemoteNode_ptr remote, const i_NET::NodeNames& names) {
    return static_cast<enums::NodeValType_e>(remote->GetValueType(names));
  });
}

bool RemoteNode::OnGetDomainValues(istd::StrTokens& values, const Path& path) const {
  ISTD_TRACE_FNC();
  return Query(path, [&values](i_NET::RemoteNode_ptr remote, const i_NET::NodeNames& names) {
    i_NET::StringVec_var domain;
    const bool has = remote->GetDomainValues(names, domain.out()) != 0;
    for (CORBA::ULong i = 0; i < domain->length(); ++i) values.emplace_back(domain[i].in());
    return has;
  });
}

bool RemoteNode::OnGetValidatorExpression(std::string& expression, const Path& path) const {
  ISTD_TRACE_FNC();
  return Query(path, [&expression](i_NET::RemoteNode_ptr remote, const i_NET::NodeNames& names) {
    CORBA::String_var text;
    const bool has = remote->GetValidatorExpression(names, text.out()) != 0;
    expression = text.in();
    return has;
  });
}

i_NET::_objref_RemoteSignal* RemoteNode::GetRemoteSignal(const Path& path) {
  ISTD_TRACE_FNC();
  return Query(path, [](i_NET::RemoteNode_ptr remote, const i_NET::NodeNames& names) {
    return remote->GetRemoteSignal(names);
  });
}

bool RemoteNode::OnCleanup(const Path& path) {
  ISTD_TRACE_FNC();
  if (path != c_noRelPath) return false;
  try {
    i_NET::RemoteNode_var node = RemoteNodeRef();
    node->StopNotifications();
  } catch (const CORBA::SystemException&) {
    ISTD_TRACE(istd::eHigh, "ireg: Can't access remote interface StopNotifications()");
  }
  return true;
}

std::vector<TreeNodePtr> RemoteNode::GetAllNodes() {
  std::vector<TreeNodePtr> nodes;
  for (const TreeNodeAddr& address : GetNodes(c_noRelPath)) nodes.push_back(address.node);
  return nodes;
}

// ---- subscription ----

bool RemoteNode::OnSubscribe(const ClientId& client, const Path& path) {
  ISTD_TRACE_FNC();
  if (m_servant == nullptr) ThrowPathError("ireg: node disconnected: ", path);
  const Node handle(shared_from_this(), path);
  bool first = false;
  if (!m_servant->Subscribe(client, handle, first)) return false;
  Dispatcher& dispatcher = Dispatcher::GetInstance();
  const bool registered = dispatcher.Register(client, handle);
  // What this call recorded goes again when it does not succeed: a record
  // left behind would refuse every later attempt of the client, and make
  // each reconnection ask the server for a path it refuses.
  auto undo = [&] {
    bool last = false;
    m_servant->Unsubscribe(client, handle, last);
    if (registered) dispatcher.Unregister(client, handle);
  };
  if (!registered) {
    undo();
    if (!first) ISTD_TRACE(istd::eMedium, "Node was already subscribed and registered.");
    return false;
  }
  if (!first) return true;
  try {
    const bool subscribed =
        Query(path, [](i_NET::RemoteNode_ptr remote, const i_NET::NodeNames& names) {
          return remote->Subscribe(names) != 0;
        });
    if (!subscribed) undo();
    return subscribed;
  } catch (...) {
    undo();
    throw;
  }
}

bool RemoteNode::OnUnsubscribe(const ClientId& client, const Path& path, bool unregister) {
  ISTD_TRACE_FNC();
  if (m_servant == nullptr) return false;
  const Node handle(shared_from_this(), path);
  bool last = false;
  if (!m_servant->Unsubscribe(client, handle, last)) return false;
  if (unregister && !Dispatcher::GetInstance().Unregister(client, handle)) return false;
  if (!last) return true;
  return Query(path, [](i_NET::RemoteNode_ptr remote, const i_NET::NodeNames& names) {
    return remote->Unsubscribe(names) != 0;
  });
}

// ---- value slots ----

#define ROZ_REMOTE_NODE_VALUE_SLOTS(T)                                                            \
  void RemoteNode::Get(T& value, size_t position, const Path& path) {                             \
    using Scalar = detail::WireTypes<T>::Scalar;                                                  \
    i_NET::RemoteNode_var node = RemoteNodeRef();                                                 \
    RemoteGet<Scalar, T, Scalar>(node.in(), path, position, value);                               \
  }                                                                                               \
  void RemoteNode::Get(std::vector<T>& values, size_t position, size_t count, const Path& path) { \
    using Wire = detail::WireTypes<T>;                                                            \
    i_NET::RemoteNode_var node = RemoteNodeRef();                                                 \
    RemoteGet<Wire::Buffer, T, Wire::Scalar>(node.in(), path, position, count, values);           \
  }                                                                                               \
  void RemoteNode::Set(const T& value, size_t position, const Path& path) {                       \
    i_NET::RemoteNode_var node = RemoteNodeRef();                                                 \
    RemoteSet<detail::WireTypes<T>::Buffer, T>(node.in(), path, position, 1, &value);             \
  }                                                                                               \
  void RemoteNode::Set(const std::vector<T>& values, size_t position, const Path& path) {         \
    i_NET::RemoteNode_var node = RemoteNodeRef();                                                 \
    RemoteSetAll<detail::WireTypes<T>::Buffer>(node.in(), path, position, values);                \
  }

ROZ_REMOTE_NODE_VALUE_SLOTS(std::string)
ROZ_REMOTE_NODE_VALUE_SLOTS(int64_t)
ROZ_REMOTE_NODE_VALUE_SLOTS(uint64_t)
ROZ_REMOTE_NODE_VALUE_SLOTS(int32_t)
ROZ_REMOTE_NODE_VALUE_SLOTS(uint32_t)
ROZ_REMOTE_NODE_VALUE_SLOTS(double)
ROZ_REMOTE_NODE_VALUE_SLOTS(float)
ROZ_REMOTE_NODE_VALUE_SLOTS(bool)

#undef ROZ_REMOTE_NODE_VALUE_SLOTS

}  // namespace roz
