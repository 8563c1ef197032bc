// The entry points of libvarnekmci: the process-wide cache tree and the
// connections in it.
#include "client/roz.h"

#include <exception>
#include <sstream>

#include "istd/exception.h"
#include "istd/log.h"
#include "istd/process.h"
#include "network/conversion.h"
#include "network/orb_manager.h"

namespace roz {

namespace {

// The root of the cache tree, empty until Init. Only Init and Shutdown
// change it (on the main thread, before and after all other use).
TreeNodePtr s_cacheRoot;

const char* const c_localHost = "127.0.0.1";

// What a connection is known by: the address and port after the defaults.
struct Key {
  Key(const std::string& address, Root root, int port)
      : address(address.empty() ? c_localHost : address),
        root(root),
        port(port != 0 ? port : static_cast<int>(DefaultPort(root))) {}

  const char* RootName() const { return root == eApp ? "app" : "platform"; }
  std::string HostKey() const {
    std::string dashed = address;
    for (char& c : dashed) {
      if (c == '.') c = '-';
    }
    return "host-" + dashed + ":" + std::to_string(port);
  }
  Path CachePath() const { return Path{HostKey(), RootName()}; }

  std::string address;
  Root root;
  int port;
};

}  // namespace

std::ostream& operator<<(std::ostream& os, Root root) {
  return os << (root == eApp ? "app" : "platform");
}

void Init(int argc, char** argv) {
  ISTD_TRACE_FNC();
  // The library's own options leave argv (the rest moves up, ended by a
  // null pointer); the ORB gets what remains.
  inet::TlsSettings tls = inet::OrbManager::GetTls();
  if (inet::TakeTlsOptions(argc, argv, tls)) inet::OrbManager::SetTls(tls);
  try {
    inet::OrbManager::Init(argc, argv, 0, inet::OrbManager::c_defaultMaxMsgSize);
  } catch (const CORBA::SystemException& e) {
    throw istd::Exception("Unable to initialise the ORB: " + inet::CORBASysExceptionToString(e),
                          true);
  } catch (const CORBA::Exception& e) {
    throw istd::Exception("Unable to initialise the ORB: " + inet::CORBAExceptionToString(e), true);
  }
  s_cacheRoot = factory::Create<LocalNodeStructure, TreeNode>("cache");
}

void Init() {
  char* argv[] = {nullptr};
  Init(0, argv);
}

void SetTls(const inet::TlsSettings& settings) { inet::OrbManager::SetTls(settings); }

Node GetNode(const std::string& address, Root root, int port) {
  const Key key(address, root, port);
  const Path path = key.CachePath();
  try {
    return Node(s_cacheRoot, c_noRelPath).GetNode(path);
  } catch (const istd::Exception&) {
    ISTD_TRACE(istd::eHigh, "Node not found: " << ToString(path));
    return Node();
  }
}

Node GetNode(Root root, int port) { return GetNode(c_localHost, root, port); }

Node Connect(const std::string& address, Root root, int port, bool unused) {
  const Key key(address, root, port);
  const Node existing = GetNode(key.address, root, key.port);
  if (existing.IsValid()) return existing;
  DeleteNode(key.address, root, key.port);
  ISTD_TRACE(istd::eHigh, "Connecting to root node: " << key.address << ":" << key.port << "/"
                                                      << inet::c_defaultNetId);
  if (!s_cacheRoot) {
    // Without the cache there is nowhere to keep the connection.
    ISTD_TRACE(istd::eLow, "No cache tree: roz::Init was not called.");
    return Node();
  }
  const TreeNodePtr host = factory::Create<LocalNodeStructure, TreeNode>(key.HostKey());
  const TreeNodePtr proxy = factory::Create<RemoteNodeStructure, RemoteNode>(
      std::string(key.RootName()), key.address, static_cast<unsigned int>(key.port),
      std::string(inet::c_defaultNetId));
  host->Add(proxy);
  s_cacheRoot->Merge(host);
  return Node(proxy, c_noRelPath);
}

Node Connect(Root root, int port) { return Connect(c_localHost, root, port, false); }

void Disconnect(const std::string& address, Root root, int port) {
  const Node node = GetNode(address, root, port);
  if (!node.IsValid()) return;
  TreeNodePtr proxy = node.GetTreeNode();
  DestroyNode(proxy);
}

void Disconnect(Root root, int port) { Disconnect(c_localHost, root, port); }

void DeleteNode(const std::string& address, Root root, int port) {
  const Key key(address, root, port);
  try {
    Node(s_cacheRoot, c_noRelPath).DeleteNode(key.HostKey(), key.RootName());
  } catch (const istd::Exception&) {
    ISTD_TRACE(istd::eHigh, "Node not deleted.");
  }
}

ConnectionState Ping(Node& node) {
  ISTD_TRACE_FNC();
  if (!node.IsValid()) {
    ISTD_TRACE(istd::eLow, "Node has no tree node, can't reconnect.");
    return eNoTreeNode;
  }
  try {
    node.GetValueType();
    return eConnected;
  } catch (const istd::Exception&) {
    // Not answered: reconnect below.
  }
  try {
    ISTD_TRACE(istd::eLow, "Node not accessible: " << detail::TraceName(node));
    const TreeNodePtr treeNode = node.GetTreeNode();
    auto* proxy = dynamic_cast<RemoteNode*>(treeNode.get());
    if (proxy == nullptr) {
      // A local tree node (or a program's own kind) has no connection to
      // repair.
      ISTD_TRACE(istd::eLow, "Node is not a remote node, can't reconnect.");
      return eNotConnected;
    }
    if (proxy->Reinit()) {
      ISTD_TRACE(istd::eLow, "Reinitialized remote node: " << proxy->GetName());
      return eReconnected;
    }
    ISTD_TRACE(istd::eLow, "Failed to reinitialize remote node.");
    return eNotConnected;
  } catch (const istd::Exception&) {
    ISTD_TRACE(istd::eLow, "Node still not accessible: " << detail::TraceName(node));
    return eNotConnected;
  }
}

void Shutdown() {
  ISTD_TRACE_FNC();
  try {
    // Broken notification clients still being destroyed may call their
    // nodes' proxies and servers: they are done before the ORB goes.
    if (Dispatcher::Exists()) Dispatcher::GetInstance().WaitForReleases();
    DestroyNode(s_cacheRoot);
    inet::OM()->ORBShutdown(true);
    inet::OM()->ORBDestroy();
  } catch (const std::exception& e) {
    istd::LogInfo(istd::ThisFncName() + ": Error: " + e.what());
  } catch (const CORBA::SystemException& e) {
    std::ostringstream os;
    os << istd::ThisFncName() << ": CORBA System Exception: " << e;
    istd::LogInfo(os.str());
  } catch (const CORBA::Exception& e) {
    std::ostringstream os;
    os << istd::ThisFncName() << ": CORBA Exception: " << e;
    istd::LogInfo(os.str());
  } catch (const omniORB::fatalException& e) {
    std::ostringstream os;
    os << istd::ThisFncName() << ": OmniORB fatal Exception: " << e;
    istd::LogInfo(os.str());
  } catch (...) {
    istd::LogInfo("Unknown exception");
  }
}

}  // namespace roz
