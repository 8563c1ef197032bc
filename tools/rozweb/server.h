// rozweb::Server, the HTTP and WebSocket side of rozweb: one listening
// socket, a pool of I/O threads running every connection on a strand of its
// own, a pool of worker threads for everything that calls into the client
// library (REST requests, WebSocket requests, leaving sockets), and the
// connection check that pings every registry once a second and tells the
// hub when one is lost or back.
//
//   /api/ws              WebSocket (Hub)
//   /api/...             REST (Api), answered from a worker thread
//   anything else        static files below the web root (GET, HEAD)
//
// No I/O thread ever makes a library call, and no library thread ever
// writes to a socket: both hand over through the outgoing queues and posts.
//
// Ownership: the server owns its threads, sockets and sessions; the
// registries, the hub and the API object outlive it.
#ifndef VARNEK_TOOLS_ROZWEB_SERVER_H
#define VARNEK_TOOLS_ROZWEB_SERVER_H

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api.h"
#include "hub.h"
#include "options.h"
#include "registries.h"

namespace rozweb {

class Server {
 public:
  // Socket send buffer of a WebSocket: small, so that a slow browser's
  // backlog stays in its coalescing queue instead of the kernel.
  static constexpr int c_wsSendBuffer = 64 * 1024;
  // Requests of one WebSocket in the workers at once; reading pauses there.
  static constexpr int c_maxInFlight = 32;
  // Period of the connection check, milliseconds.
  static constexpr int c_checkPeriodMs = 1000;

  Server(const Options& options, RegistrySet& registries, Hub& hub, Api& api);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Listens on options.listenAddress:listenPort and starts the threads.
  // Returns the port listened on. Throws std::runtime_error when the
  // address cannot be bound.
  unsigned short Start();
  // Stops listening and the threads (pending library calls end first);
  // sockets are closed. Idempotent; the owner's thread.
  void Stop();

  class Impl;

 private:
  std::unique_ptr<Impl> m_impl;
};

}  // namespace rozweb

#endif  // VARNEK_TOOLS_ROZWEB_SERVER_H
