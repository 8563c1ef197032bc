// The Application and RemoteNode servants of regd.
#include "servants.h"

#include <chrono>
#include <thread>

#include "istd/log.h"
#include "signals.h"

namespace regd {

namespace {

[[noreturn]] void RaiseSystemException(const std::string& name) {
  const CORBA::CompletionStatus no = CORBA::COMPLETED_NO;
  if (name == "TRANSIENT") throw CORBA::TRANSIENT(0, no);
  if (name == "COMM_FAILURE") throw CORBA::COMM_FAILURE(0, no);
  if (name == "NO_PERMISSION") throw CORBA::NO_PERMISSION(0, no);
  if (name == "BAD_PARAM") throw CORBA::BAD_PARAM(0, no);
  if (name == "INTERNAL") throw CORBA::INTERNAL(0, no);
  if (name == "TIMEOUT") throw CORBA::TIMEOUT(0, no);
  if (name == "OBJECT_NOT_EXIST") throw CORBA::OBJECT_NOT_EXIST(0, no);
  if (name == "NO_RESOURCES") throw CORBA::NO_RESOURCES(0, no);
  if (name == "NO_IMPLEMENT") throw CORBA::NO_IMPLEMENT(0, no);
  throw CORBA::UNKNOWN(0, no);
}

void Delay(const Hooks& hooks) {
  if (hooks.m_delayMs != 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(hooks.m_delayMs));
  }
}

}  // namespace

void ApplyCallHooks(const RegNode& node) {
  const Hooks& hooks = node.m_hooks;
  Delay(hooks);
  if (!hooks.m_systemException.empty()) {
    ISTD_TRACE(istd::eHigh, "Hook: " << hooks.m_systemException << " for " << node.PathText());
    RaiseSystemException(hooks.m_systemException);
  }
}

void ApplyValueHooks(const RegNode& node) {
  ApplyCallHooks(node);
  const Hooks& hooks = node.m_hooks;
  if (hooks.m_hasValueException) throw i_NET::ValueException(hooks.m_valueException.c_str());
  if (hooks.m_invalidType) {
    throw i_NET::InvalidType(("invalid type (hook): " + node.PathText()).c_str());
  }
}

i_Application_impl::i_Application_impl(ClientTable& clients, Counters& counters,
                                       std::string interfaceVersion, i_NET::Application_ptr twin)
    : m_clients(clients),
      m_counters(counters),
      m_interfaceVersion(std::move(interfaceVersion)),
      m_twin(i_NET::Application::_duplicate(twin)) {}

char* i_Application_impl::GetInterfaceVersion() {
  ISTD_TRACE_FNC();
  return CORBA::string_dup(m_interfaceVersion.c_str());
}

i_NET::RemoteNode_ptr i_Application_impl::GetRemoteNode(i_NET::Notification_ptr sink) {
  ISTD_TRACE_FNC();
  if (!CORBA::is_nil(m_twin.in())) {
    // Not permanent: should the twin be gone (regd restarted), the client's
    // ORB comes back to the published key by itself.
    throw omniORB::LOCATION_FORWARD(i_NET::Application::_duplicate(m_twin.in()), false);
  }
  ++m_counters.m_getRemoteNodeCalls;
  return m_clients.Connect(sink);
}

void i_Application_impl::ReleaseRemoteNode(i_NET::Notification_ptr sink) {
  ISTD_TRACE_FNC();
  ++m_counters.m_releaseCalls;
  m_clients.Release(sink);
}

i_RemoteNode_impl::i_RemoteNode_impl(Registry& registry, ClientTable& clients,
                                     unsigned long long clientId)
    : m_registry(registry), m_clients(clients), m_clientId(clientId) {}

char* i_RemoteNode_impl::GetName(const i_NET::NodeNames& path) {
  ISTD_TRACE_FNC();
  return CORBA::string_dup(m_registry.Resolve(path).m_name.c_str());
}

char* i_RemoteNode_impl::GetNameByIndex(const i_NET::NodeNames& path, CORBA::ULong index) {
  ISTD_TRACE_FNC();
  const std::vector<const RegNode*> visible = Registry::Visible(m_registry.Resolve(path));
  if (index >= visible.size()) {
    throw i_NET::NotFound(
        ("no child with index " + std::to_string(index) + " in: " + PathText(path)).c_str());
  }
  return CORBA::string_dup(visible[index]->m_name.c_str());
}

i_NET::NodeNames* i_RemoteNode_impl::GetNodes(const i_NET::NodeNames& path) {
  ISTD_TRACE_FNC();
  const std::vector<const RegNode*> visible = Registry::Visible(m_registry.Resolve(path));
  auto* names = new i_NET::NodeNames;
  names->length(static_cast<CORBA::ULong>(visible.size()));
  for (CORBA::ULong i = 0; i < names->length(); ++i) (*names)[i] = visible[i]->m_name.c_str();
  return names;
}

CORBA::ULong i_RemoteNode_impl::GetNodeCount(const i_NET::NodeNames& path) {
  ISTD_TRACE_FNC();
  return static_cast<CORBA::ULong>(Registry::Visible(m_registry.Resolve(path)).size());
}

CORBA::Boolean i_RemoteNode_impl::IsLeaf(const i_NET::NodeNames& path) {
  ISTD_TRACE_FNC();
  return m_registry.Resolve(path).m_children.empty();
}

CORBA::ULong i_RemoteNode_impl::GetSize(const i_NET::NodeNames& path) {
  ISTD_TRACE_FNC();
  return static_cast<CORBA::ULong>(m_registry.Size(m_registry.Resolve(path)));
}

CORBA::ULong i_RemoteNode_impl::GetValueType(const i_NET::NodeNames& path) {
  ISTD_TRACE_FNC();
  return static_cast<CORBA::ULong>(m_registry.Resolve(path).m_type);
}

CORBA::Any* i_RemoteNode_impl::GetValue(const i_NET::NodeNames& path, CORBA::ULong position,
                                        CORBA::ULong count, CORBA::TypeCode_ptr hint) {
  ISTD_TRACE_FNC();
  RegNode& node = m_registry.Resolve(path);
  ApplyValueHooks(node);
  return m_registry.Read(node, position, count, hint);
}

void i_RemoteNode_impl::SetValue(const i_NET::NodeNames& path, const CORBA::Any& value,
                                 CORBA::ULong position) {
  ISTD_TRACE_FNC();
  RegNode& node = m_registry.Resolve(path);
  m_clients.Writers().Check(node.PathText());
  ApplyValueHooks(node);
  m_registry.Write(node, value, position);
}

CORBA::Boolean i_RemoteNode_impl::GetDomainValues(const i_NET::NodeNames& path,
                                                  i_NET::StringVec_out values) {
  ISTD_TRACE_FNC();
  values = new i_NET::StringVec;
  const RegNode* node = m_registry.Lookup(path);
  if (node == nullptr || !node->m_hasDomain) return false;
  values->length(static_cast<CORBA::ULong>(node->m_domain.size()));
  for (CORBA::ULong i = 0; i < values->length(); ++i) {
    (*values.ptr())[i] = node->m_domain[i].c_str();
  }
  return true;
}

CORBA::Boolean i_RemoteNode_impl::GetValidatorExpression(const i_NET::NodeNames& path,
                                                         CORBA::String_out expression) {
  ISTD_TRACE_FNC();
  const RegNode* node = m_registry.Lookup(path);
  const bool has = node != nullptr && node->m_hasValidator;
  expression = CORBA::string_dup(has ? node->m_validator.c_str() : "");
  return has;
}

i_NET::Flags i_RemoteNode_impl::GetFlags(const i_NET::NodeNames& path) {
  ISTD_TRACE_FNC();
  return m_registry.Resolve(path).m_flags;
}

CORBA::Boolean i_RemoteNode_impl::Subscribe(const i_NET::NodeNames& path) {
  ISTD_TRACE_FNC();
  const RegNode* node = m_registry.Lookup(path);
  if (node == nullptr) return false;
  ApplyCallHooks(*node);
  if (node->m_hooks.m_refuseSubscribe) {
    ISTD_TRACE(istd::eHigh, "Hook: refusing the subscription of " << node->PathText());
    return false;
  }
  return m_clients.Subscribe(m_clientId, node->m_path);
}

CORBA::Boolean i_RemoteNode_impl::Unsubscribe(const i_NET::NodeNames& path) {
  ISTD_TRACE_FNC();
  const RegNode* node = m_registry.Lookup(path);
  if (node == nullptr) return false;
  ApplyCallHooks(*node);
  return m_clients.Unsubscribe(m_clientId, node->m_path);
}

void i_RemoteNode_impl::StopNotifications() {
  ISTD_TRACE_FNC();
  m_clients.StopNotifications(m_clientId);
}

i_NET::RemoteSignal_ptr i_RemoteNode_impl::GetRemoteSignal(const i_NET::NodeNames& path) {
  ISTD_TRACE_FNC();
  const RegNode& node = m_registry.Resolve(path);
  if (node.m_signalServant == nullptr) return i_NET::RemoteSignal::_nil();
  return node.m_signalServant->_this();
}

}  // namespace regd
