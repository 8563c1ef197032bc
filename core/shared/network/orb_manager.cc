// The ORB manager: ORB options, adapters, activation, shutdown.
#include "network/orb_manager.h"

#include <omniORB4/BiDirPolicy.h>

#include <mutex>
#include <vector>

#include "istd/exception.h"
#include "istd/log.h"
#include "network/i_pingable_impl.h"

namespace inet {

namespace {

const char* const c_endPointPrefix = "giop:tcp:0.0.0.0:";
const char* const c_tlsEndPointPrefix = "giop:ssl:0.0.0.0:";

// The settings of the next Init; guarded by the init mutex.
std::mutex s_initMutex;
TlsSettings s_tls;

}  // namespace

OrbManager::OrbManager()
    : m_orb(CORBA::ORB::_nil()),
      m_persistentPoa(PortableServer::POA::_nil()),
      m_bidirPoa(PortableServer::POA::_nil()) {}

OrbManager::~OrbManager() {
  try {
    ORBDestroy();
  } catch (...) {
    // Process exit: nothing left to report to.
  }
  CORBA::release(m_persistentPoa);
  CORBA::release(m_bidirPoa);
  CORBA::release(m_orb);
}

OrbManager* OrbManager::Instance() {
  static OrbManager instance;
  return &instance;
}

OrbManager* OM() { return OrbManager::Instance(); }

void OrbManager::Init(int argc, char** argv, unsigned int port, unsigned int maxMsgSize) {
  ISTD_TRACE_FNC();
  // Serialises concurrent first calls; the ORB exists once per process.
  std::lock_guard<std::mutex> lock(s_initMutex);
  OrbManager* om = Instance();
  if (!CORBA::is_nil(om->m_orb)) return;

  const bool tls = s_tls.IsOn();
  const std::string maxMsgSizeText = std::to_string(maxMsgSize);
  const std::string interleavedText = std::to_string(c_maxInterleavedCalls);
  const std::string prefix = tls ? c_tlsEndPointPrefix : c_endPointPrefix;
  const std::string endPoint = port != 0 ? prefix + std::to_string(port) : prefix;
  // With TLS, connections are TLS only, still bidirectional.
  const char* const transports = tls ? "* ssl,bidir" : "* unix,tcp,bidir";
  // Peers in 192.168.77.0/24 get no transport at all; everyone else may use
  // Unix sockets, TCP and bidirectional GIOP. The rules apply in order.
  const char* options[][2] = {
      {"endPoint", endPoint.c_str()},
      {"endPointPublish", "all(addr)"},
      {"acceptBiDirectionalGIOP", "1"},
      {"offerBiDirectionalGIOP", "1"},
      {"serverTransportRule", "192.168.77.0/255.255.255.0 none"},
      {"serverTransportRule", transports},
      {"clientTransportRule", "192.168.77.0/255.255.255.0 none"},
      {"clientTransportRule", transports},
      {"oneCallPerConnection", "0"},
      {"maxInterleavedCallsPerConnection", interleavedText.c_str()},
      {"nativeCharCodeSet", "UTF-8"},
      {"giopMaxMsgSize", maxMsgSizeText.c_str()},
      {nullptr, nullptr},
  };
  ISTD_TRACE(istd::eMedium, "ORB end point " << endPoint << ", giopMaxMsgSize " << maxMsgSizeText);

  // The ORB removes the options it consumed from the array it is given;
  // a copy keeps the caller's argv consistent with its unchanged argc.
  int localArgc = argc > 0 && argv != nullptr ? argc : 0;
  std::vector<char*> args(argv, argv + localArgc);
  args.push_back(nullptr);
  detail::ConfigureTlsTransport(s_tls);
  CORBA::ORB_ptr orb = CORBA::ORB_init(localArgc, args.data(), "omniORB4", options);
  CORBA::release(om->m_orb);
  om->m_orb = orb;
  om->m_tlsActive = tls;
  if (tls) detail::InstallTlsInterceptors();
  try {
    om->Setup();
  } catch (...) {
    // omniORB opens its end point while Setup resolves the root POA, so a
    // taken port fails here. Do not keep a half set-up ORB: a later Init
    // would take it for a working one and every activation would be
    // silently dropped.
    try {
      om->ORBDestroy();
    } catch (...) {
      // The ORB could not even be destroyed; forget it all the same.
      om->m_orb = CORBA::ORB::_nil();
    }
    throw;
  }
}

void OrbManager::SetTls(const TlsSettings& settings) {
  CheckTlsSettings(settings);
  std::lock_guard<std::mutex> lock(s_initMutex);
  if (!CORBA::is_nil(Instance()->m_orb)) {
    throw istd::Exception("TLS settings must be given before the ORB starts", true);
  }
  s_tls = settings;
}

TlsSettings OrbManager::GetTls() {
  std::lock_guard<std::mutex> lock(s_initMutex);
  return s_tls;
}

std::string OrbManager::AddressScheme() const {
  return m_tlsActive ? "corbaloc:ssliop:" : "corbaloc:iiop:";
}

void OrbManager::Setup() {
  ISTD_TRACE_FNC();
  CORBA::Object_var obj = m_orb->resolve_initial_references("RootPOA");
  PortableServer::POA_var root = PortableServer::POA::_narrow(obj);
  PortableServer::POAManager_var rootManager = root->the_POAManager();
  rootManager->activate();

  obj = m_orb->resolve_initial_references("omniINSPOA");
  CORBA::release(m_persistentPoa);
  m_persistentPoa = PortableServer::POA::_narrow(obj);
  PortableServer::POAManager_var persistentManager = m_persistentPoa->the_POAManager();
  persistentManager->activate();

  CORBA::Any both;
  both <<= BiDirPolicy::BOTH;
  CORBA::PolicyList policies;
  policies.length(1);
  policies[0] = m_orb->create_policy(BiDirPolicy::BIDIRECTIONAL_POLICY_TYPE, both);
  CORBA::release(m_bidirPoa);
  m_bidirPoa = root->create_POA("NET-bidir", rootManager, policies);
  m_active = true;

  m_pingServant = new i_Pingable_impl;
  Activate(m_pingServant);

  omniORB::setClientConnectTimeout(c_connectTimeoutMs);
  omniORB::setClientCallTimeout(c_callTimeoutMs);
  // root, the managers and the policy list are released by their _var.
}

void OrbManager::Activate(PortableServer::ServantBase* servant) {
  if (!m_active) return;
  PortableServer::ObjectId_var id = m_bidirPoa->activate_object(servant);
}

void OrbManager::ActivatePersistent(PortableServer::ServantBase* servant, const std::string& key) {
  if (!m_active) return;
  PortableServer::ObjectId_var id = PortableServer::string_to_ObjectId(key.c_str());
  m_persistentPoa->activate_object_with_id(id, servant);
}

void OrbManager::Deactivate(PortableServer::ServantBase* servant) {
  ISTD_TRACE_FNC();
  if (!m_active) return;
  DeactivateIn(m_bidirPoa, servant);
}

void OrbManager::DeactivatePersistent(PortableServer::ServantBase* servant) {
  ISTD_TRACE_FNC();
  if (!m_active) return;
  DeactivateIn(m_persistentPoa, servant);
}

void OrbManager::DeactivateIn(PortableServer::POA_ptr poa, PortableServer::ServantBase* servant) {
  PortableServer::ObjectId_var id = poa->servant_to_id(servant);
  poa->deactivate_object(id);
  servant->_remove_ref();
}

CORBA::Object* OrbManager::StringToObject(const std::string& text) {
  return m_orb->string_to_object(text.c_str());
}

std::string OrbManager::ObjectToString(CORBA::Object* obj) {
  CORBA::String_var text = m_orb->object_to_string(obj);
  return std::string(text.in());
}

void OrbManager::ORBRun() { m_orb->run(); }

void OrbManager::HoldRequests() {
  if (!m_active) return;
  PortableServer::POAManager_var bidirManager = m_bidirPoa->the_POAManager();
  bidirManager->hold_requests(true);
  PortableServer::POAManager_var persistentManager = m_persistentPoa->the_POAManager();
  persistentManager->hold_requests(true);
  m_active = false;
}

void OrbManager::ReleasePingServant() {
  if (m_pingServant == nullptr) return;
  i_Pingable_impl* servant = m_pingServant;
  m_pingServant = nullptr;
  if (m_active) {
    Deactivate(servant);
  } else {
    // Requests are held: the POA keeps its reference until the ORB is
    // destroyed; only the manager's creation reference goes here.
    servant->_remove_ref();
  }
}

void OrbManager::ORBShutdown(bool wait) {
  ISTD_TRACE_FNC();
  if (CORBA::is_nil(m_orb)) return;
  ReleasePingServant();
  m_active = false;
  m_orb->shutdown(wait);
}

void OrbManager::ORBDestroy() {
  ISTD_TRACE_FNC();
  if (CORBA::is_nil(m_orb)) return;
  ReleasePingServant();
  m_active = false;
  m_orb->destroy();
  m_tlsActive = false;
  // The adapters died with the ORB.
  CORBA::release(m_persistentPoa);
  m_persistentPoa = PortableServer::POA::_nil();
  CORBA::release(m_bidirPoa);
  m_bidirPoa = PortableServer::POA::_nil();
  CORBA::release(m_orb);
  m_orb = CORBA::ORB::_nil();
}

i_NET::Pingable_ptr OrbManager::GetPingable() {
  if (m_pingServant == nullptr) return i_NET::Pingable::_nil();
  // The servant is active in exactly one POA, so _this() answers that
  // activation's reference (new, for the caller).
  return m_pingServant->_this();
}

}  // namespace inet
