// The servants through which clients reach regd's registry:
// i_Application_impl, the entry object published under the fixed object key,
// and i_RemoteNode_impl, one per client, which answers every RemoteNode
// operation for that client's notification sink.
//
// Test hooks of a node (tree.h) act here before the registry is asked:
// delay_ms, system_exception, value_exception and invalid_type for
// GetValue and SetValue; delay_ms, system_exception and refuse_subscribe
// for Subscribe and Unsubscribe; not_found for every operation.
//
// SetValue (writes and commands alike) first asks the client table's write
// gate (writers.h) whether the calling peer may write.
//
// The published Application lives in the persistent adapter, which cannot
// have the bidirectional policy; a sink that arrives there is tied to a
// connection of regd's own to the client, which a client behind a firewall
// refuses. So the published servant sends GetRemoteNode on (a GIOP location
// forward, which every client's ORB follows by itself) to a twin in the
// bidirectional adapter: the sink that arrives there goes back over the
// client's own connection when the client offered it both ways.
//
// Threads: every operation runs on an ORB thread, several at once; the
// servants keep no state of their own beyond their client's identifier and
// rely on the registry's and the client table's locks.
//
// Ownership: the server creates the application servant and activates it
// in the persistent adapter; the client table creates and activates the
// RemoteNode servants and deactivates them when their client goes. Both
// refer to the registry and the client table, which outlive the ORB's use
// of them (the ORB is shut down before those are destroyed).
#ifndef VARNEK_TOOLS_REGD_SERVANTS_H
#define VARNEK_TOOLS_REGD_SERVANTS_H

#include <string>

#include "clients.h"
#include "network/i_application.h"
#include "network/i_remote_node.h"
#include "registry.h"

namespace regd {

class i_Application_impl : public POA_i_NET::Application {
 public:
  // With a `twin` (duplicated), GetRemoteNode is forwarded there instead of
  // being answered here.
  i_Application_impl(ClientTable& clients, Counters& counters, std::string interfaceVersion,
                     i_NET::Application_ptr twin = i_NET::Application::_nil());

  char* GetInterfaceVersion() override;
  i_NET::RemoteNode_ptr GetRemoteNode(i_NET::Notification_ptr sink) override;
  void ReleaseRemoteNode(i_NET::Notification_ptr sink) override;

 private:
  ClientTable& m_clients;
  Counters& m_counters;
  std::string m_interfaceVersion;
  i_NET::Application_var m_twin;
};

class i_RemoteNode_impl : public POA_i_NET::RemoteNode {
 public:
  i_RemoteNode_impl(Registry& registry, ClientTable& clients, unsigned long long clientId);

  char* GetName(const i_NET::NodeNames& path) override;
  char* GetNameByIndex(const i_NET::NodeNames& path, CORBA::ULong index) override;
  i_NET::NodeNames* GetNodes(const i_NET::NodeNames& path) override;
  CORBA::ULong GetNodeCount(const i_NET::NodeNames& path) override;
  CORBA::Boolean IsLeaf(const i_NET::NodeNames& path) override;
  CORBA::ULong GetSize(const i_NET::NodeNames& path) override;
  CORBA::ULong GetValueType(const i_NET::NodeNames& path) override;
  CORBA::Any* GetValue(const i_NET::NodeNames& path, CORBA::ULong position, CORBA::ULong count,
                       CORBA::TypeCode_ptr hint) override;
  void SetValue(const i_NET::NodeNames& path, const CORBA::Any& value,
                CORBA::ULong position) override;
  CORBA::Boolean GetDomainValues(const i_NET::NodeNames& path,
                                 i_NET::StringVec_out values) override;
  CORBA::Boolean GetValidatorExpression(const i_NET::NodeNames& path,
                                        CORBA::String_out expression) override;
  i_NET::Flags GetFlags(const i_NET::NodeNames& path) override;
  CORBA::Boolean Subscribe(const i_NET::NodeNames& path) override;
  CORBA::Boolean Unsubscribe(const i_NET::NodeNames& path) override;
  void StopNotifications() override;
  i_NET::RemoteSignal_ptr GetRemoteSignal(const i_NET::NodeNames& path) override;

 private:
  Registry& m_registry;
  ClientTable& m_clients;
  unsigned long long m_clientId;
};

// The hooks of GetValue and SetValue on `node`: waits delay_ms, then raises
// the hooked system exception, ValueException or InvalidType, if any.
void ApplyValueHooks(const RegNode& node);
// The hooks of Subscribe and Unsubscribe: delay_ms and system_exception.
void ApplyCallHooks(const RegNode& node);

}  // namespace regd

#endif  // VARNEK_TOOLS_REGD_SERVANTS_H
