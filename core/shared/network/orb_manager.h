// inet::OrbManager, the process-wide owner of the CORBA request broker: it
// initialises the ORB once with the system's fixed options, creates the two
// object adapters every process uses -- "NET-bidir", a transient child of
// the root POA with bidirectional GIOP, and "omniINSPOA", the persistent INS
// adapter for objects published under a fixed key (reachable as
// corbaloc:iiop:host:port/<key>) -- activates and deactivates servants in
// them, converts references to and from text and shuts the ORB down.
//
// With TLS settings given before Init (SetTls, network/tls.h) the ORB
// listens on giop:ssl:0.0.0.0:<port> instead, accepts and opens TLS
// connections only (transport rules "* ssl,bidir" after the refused subnet)
// and registries are addressed as corbaloc:ssliop:host:port/<key>; without
// them the fixed options are exactly those listed at Init.
//
// Threads: incoming requests run on the ORB's own threads; nothing needs to
// call ORBRun. Every outgoing call blocks its thread, bounded by the client
// connect timeout (5000 ms) and call timeout (60000 ms) set by Setup.
//
// Thread-safety: the singleton is built under thread-safe static
// initialisation and lives until process exit. Init, ORBShutdown and
// ORBDestroy belong to start-up and shutdown; Activate, Deactivate,
// StringToObject and the like may be called from any thread in between and
// rely on the ORB's own thread safety. Exceptions of the ORB (CORBA system
// exceptions, POA user exceptions) propagate to the caller.
//
// Ownership: the manager owns the ORB, the POA references and the ping
// servant's creation reference. A servant handed to Activate stays the
// caller's until Deactivate, which drops the caller's creation reference.
#ifndef VARNEK_NETWORK_ORB_MANAGER_H
#define VARNEK_NETWORK_ORB_MANAGER_H

#include <omniORB4/CORBA.h>

#include <atomic>
#include <string>

#include "network/i_pingable.h"
#include "network/tls.h"

namespace inet {

class i_Pingable_impl;

// The object key under which an application publishes its i_NET::Application
// object and to which clients connect.
inline constexpr char c_defaultNetId[] = "varnek-app";

// The TCP ports on which a host's platform registry and application registry
// listen unless configured otherwise; clients that are given port 0 use them.
inline constexpr unsigned int c_defaultPlatformPort = 5678;
inline constexpr unsigned int c_defaultAppPort = 5679;

class OrbManager {
 public:
  // The largest GIOP message client programs accept (512 MiB + 20 bytes).
  static constexpr unsigned int c_defaultMaxMsgSize = 536870932u;
  // Client-side bounds of every outgoing call.
  static constexpr CORBA::ULong c_connectTimeoutMs = 5000;
  static constexpr CORBA::ULong c_callTimeoutMs = 60000;
  // Most calls the ORB interleaves on one client connection before it queues
  // more (omniORB's maxInterleavedCallsPerConnection, default 5): room for
  // several batches of many requests in flight (client/batch.h) next to the
  // single calls of other threads.
  static constexpr unsigned int c_maxInterleavedCalls = 1024;

  // Initialises the ORB once per process with the fixed options (end point
  // giop:tcp:0.0.0.0:<port>, any free port when `port` is 0; GIOP messages up
  // to `maxMsgSize` bytes) plus the ORB options in argv, then runs Setup.
  // A second call, once an ORB exists, changes nothing. argv is not
  // modified (the ORB reads a copy). Throws the ORB's exceptions (for
  // instance CORBA::INITIALIZE when the port is taken); the ORB is then
  // destroyed again, so a later Init starts afresh.
  static void Init(int argc, char** argv, unsigned int port, unsigned int maxMsgSize);

  // The TLS settings of the next Init (TLS off until called). Throws
  // istd::Exception when an ORB exists already, or when `settings` is on
  // and its CA or key file cannot be read.
  static void SetTls(const TlsSettings& settings);
  // The settings of the next Init.
  static TlsSettings GetTls();
  // True while the ORB runs with TLS.
  bool IsTlsActive() const { return m_tlsActive; }
  // "corbaloc:ssliop:" while the ORB runs with TLS, "corbaloc:iiop:"
  // otherwise: the scheme of the addresses of registries.
  std::string AddressScheme() const;

  // The singleton (created on first use).
  static OrbManager* Instance();

  // Called by Init only: activates the root and the persistent POA
  // managers, creates "NET-bidir", creates and activates the ping servant,
  // sets the client timeouts. Afterwards the manager is active.
  void Setup();

  // When active: activates `servant` in "NET-bidir" under an id chosen by
  // the POA. Otherwise does nothing.
  void Activate(PortableServer::ServantBase* servant);
  // When active: activates `servant` in the persistent POA under the object
  // id made of `key`, so that corbaloc:iiop:host:port/<key> reaches it.
  // Otherwise does nothing. Throws PortableServer::POA::ObjectAlreadyActive
  // or ServantAlreadyActive when the key or the servant is taken.
  void ActivatePersistent(PortableServer::ServantBase* servant, const std::string& key);
  // When active: deactivates `servant` in "NET-bidir" and drops one
  // reference of it (the creator's; the servant is deleted once the POA has
  // let go as well). Otherwise does nothing. Throws
  // PortableServer::POA::ServantNotActive for a servant not active there.
  void Deactivate(PortableServer::ServantBase* servant);
  // The same on the persistent POA.
  void DeactivatePersistent(PortableServer::ServantBase* servant);

  // True between a completed Setup and HoldRequests, ORBShutdown or
  // ORBDestroy: while Activate and Deactivate take effect. A servant owner
  // that finds the manager inactive drops its creation reference itself.
  bool IsActive() const { return m_active; }

  // The ORB's string_to_object (IOR strings and corbaloc addresses alike);
  // the caller owns and releases the result.
  CORBA::Object* StringToObject(const std::string& text);
  // The ORB's object_to_string.
  std::string ObjectToString(CORBA::Object* obj);

  // The ORB's run: blocks the calling thread until the ORB shuts down.
  void ORBRun();
  // Puts the POA managers of "NET-bidir" (and with it the root POA) and of
  // the persistent POA into the holding state, waiting for running
  // requests; the manager is then inactive. Does nothing when not active.
  // Must not be called from an ORB thread.
  void HoldRequests();
  // Deactivates and drops the ping servant, shuts the ORB down (waiting
  // for running requests when `wait`), and leaves the manager inactive.
  // Does nothing to an ORB that does not exist.
  void ORBShutdown(bool wait);
  // When an ORB exists: drops the ping servant, destroys the ORB (shutting
  // it down first if need be) and releases it and the POAs. Must not be
  // called from an ORB thread.
  void ORBDestroy();

  // A new reference to the process's ping object (the caller releases it);
  // nil while there is no ping servant.
  i_NET::Pingable_ptr GetPingable();

 private:
  OrbManager();
  ~OrbManager();
  OrbManager(const OrbManager&) = delete;
  OrbManager& operator=(const OrbManager&) = delete;

  // Deactivates `servant` in `poa` and drops the creator's reference.
  void DeactivateIn(PortableServer::POA_ptr poa, PortableServer::ServantBase* servant);
  // Deactivates the ping servant (or, when requests are held, only drops
  // the manager's reference) and forgets it.
  void ReleasePingServant();

  CORBA::ORB_ptr m_orb;
  PortableServer::POA_ptr m_persistentPoa;
  PortableServer::POA_ptr m_bidirPoa;
  i_Pingable_impl* m_pingServant = nullptr;
  std::atomic<bool> m_active{false};
  std::atomic<bool> m_tlsActive{false};
};

// The singleton, as OrbManager::Instance().
OrbManager* OM();

}  // namespace inet

#endif  // VARNEK_NETWORK_ORB_MANAGER_H
