// Umbrella header of libvarnekmci, the client library (namespace roz), and
// its entry points.
//
// A client program calls roz::Init once (it starts the request broker and
// creates the local cache tree "cache"), attaches registries with
// roz::Connect, uses the returned roz::Node handles (navigation, typed
// values, commands), checks and repairs connections with roz::Ping, detaches
// them with roz::Disconnect or roz::DeleteNode and ends with roz::Shutdown:
//
//   roz::Init(argc, argv);
//   roz::Node platform = roz::Connect("10.1.2.3", roz::ePlatform, 0, false);
//   if (platform.IsValid()) {
//     double gain = 0;
//     platform.GetNode(roz::Tokenize("settings.gain")).GetValue(gain, 0);
//   }
//   roz::Shutdown();
//
// Cache layout: every connection is a local host node "host-" + address
// (dots as dashes) + ":" + port below the cache root, holding one remote
// node proxy named "platform" or "app"; a second Connect with the same key
// finds and returns the existing proxy. An empty address means the local
// host "127.0.0.1", port 0 the default port of the registry (5678 for the
// platform, 5679 for the application).
//
// Threads: Init and Shutdown belong to the main thread, before and after all
// other use (the cache root pointer is not guarded); the other entry points
// may be called from any thread and rely on the locks of the cache tree.
// Every remote call blocks its caller, bounded by the ORB's connect (5 s) and
// call (60 s) timeouts.
//
// Signal nodes become local signal sources with roz::CreateRemoteSignal
// (client/remote_signal.h), read through the signal library (isig/isig.h).
// Many nodes at once -- reads, writes, descriptions and tree walks with many
// requests in flight -- are in client/batch.h (roz::ReadValues, ...).
#ifndef VARNEK_CLIENT_ROZ_H
#define VARNEK_CLIENT_ROZ_H

#include <ostream>
#include <string>

#include "client/batch.h"
#include "client/dispatcher.h"
#include "client/dispatcher_thread.h"
#include "client/factory.h"
#include "client/local_node_structure.h"
#include "client/node.h"
#include "client/node_structure.h"
#include "client/notification_client.h"
#include "client/notification_data.h"
#include "client/remote_node.h"
#include "client/remote_node_structure.h"
#include "client/remote_signal.h"
#include "client/roz_util.h"
#include "client/tree_node.h"
#include "network/orb_manager.h"

namespace roz {

// Which registry of an application is meant. Any value other than eApp is
// the platform registry.
enum Root : int {
  ePlatform = 0,  // "platform", default port 5678
  eApp = 1,       // "app", default port 5679
};

// Writes "app" for eApp, "platform" for every other value.
std::ostream& operator<<(std::ostream& os, Root root);

// The default port of `root`'s registry, which port 0 stands for:
// inet::c_defaultAppPort for eApp, inet::c_defaultPlatformPort otherwise.
constexpr unsigned int DefaultPort(Root root) {
  return root == eApp ? inet::c_defaultAppPort : inet::c_defaultPlatformPort;
}

// The result of Ping.
enum ConnectionState : int {
  eNoTreeNode = 0,    // the handle has no live tree node
  eConnected = 1,     // the node answered
  eNotConnected = 2,  // it did not answer and could not be reconnected
  eReconnected = 3,   // it did not answer and its proxy was reconnected
};

// Starts the request broker (once per process; free port, GIOP messages up
// to 512 MiB + 20 bytes; ORB options in argv are honoured) and creates a new
// cache root, releasing an earlier one with its connections. The library's
// TLS options (--varnek-tls-ca FILE, --varnek-tls-key FILE,
// --varnek-tls-password TEXT, --varnek-tls-peer-optional; network/tls.h)
// are taken out of argv first and switch TLS on as SetTls does: the other
// arguments move up and a null pointer follows the last of them, so a
// caller that reads argv afterwards stops there (or takes the options out
// itself first with inet::TakeTlsOptions, which also updates argc).
// Throws istd::Exception, also for a bad TLS option or file and for a
// failure of the request broker ("Unable to initialise the ORB: " + reason).
void Init(int argc, char** argv);
// Init without arguments.
void Init();

// The TLS settings of the next Init (inet::OrbManager::SetTls): with
// settings whose CA file is set, every connection of the process is TLS
// with a certificate on both sides, and Connect addresses registries as
// corbaloc:ssliop:. Throws istd::Exception after Init (until Shutdown) and
// for a CA or key file that cannot be read.
void SetTls(const inet::TlsSettings& settings);

// The handle of the proxy for `root` of the application at `address`:`port`
// -- the existing one when it still answers, otherwise a new connection (a
// stale proxy of the same key is removed first). Returns an invalid handle
// when the application cannot be reached or refuses the interface version,
// and before Init. The boolean has no effect.
Node Connect(const std::string& address, Root root, int port, bool unused);
// Connect("127.0.0.1", root, port, false).
Node Connect(Root root, int port);

// The existing proxy for the key when its application answers (one remote
// call), otherwise an invalid handle (traced at High: "Node not found: " +
// host key + "." + root name).
Node GetNode(const std::string& address, Root root, int port);
Node GetNode(Root root, int port);

// Detaches the answering proxy of the key from the cache and lets it stop
// its remote notifications; it is destroyed (releasing its hold at the
// server) once no one else holds it. Nothing when GetNode finds nothing.
// The host node stays.
void Disconnect(const std::string& address, Root root, int port);
void Disconnect(Root root, int port);

// Removes the proxy of the key from its host node, whether it answers or
// not. Traces "Node not deleted." (High) when there is no such host node.
void DeleteNode(const std::string& address, Root root, int port);

// Checks the node with one remote call and, when it does not answer,
// reconnects its proxy in place (handles and subscriptions stay valid, and
// the open streams of its signal nodes register again, on this thread; see
// RemoteNode::Reinit). A tree node that is not a remote proxy and does not
// answer gives eNotConnected.
ConnectionState Ping(Node& node);

// Waits until the notification clients disconnected as broken are destroyed
// (Dispatcher::WaitForReleases), releases the cache tree (destroying every
// proxy that no one else holds) and shuts down and destroys the request
// broker. Never throws; failures are logged at information level.
void Shutdown();

}  // namespace roz

#endif  // VARNEK_CLIENT_ROZ_H
