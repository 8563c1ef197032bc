// rozweb::Hub, what the WebSockets of rozweb share: one library
// subscription per (registry, path) however many sockets watch it, one
// stream reader per (registry, signal path) however many sockets plot it,
// and the registry state messages.
//
// A change arrives on the notification client's dispatcher thread; it is
// turned into one JSON text and handed to the outgoing queue of every
// socket that watches the path (OutQueue: bounded, coalescing), whose
// writer then runs on the socket's strand. A block arrives on the stream's
// reader thread, is decimated once per distinct max_points and handed over
// the same way. Neither thread ever waits for a socket.
//
// Messages (JSON objects) the hub sends:
//   {"op":"change","registry","path","time","value","pos"}
//   {"op":"block","registry","path","seq","atoms","components":[...],"data":[[...],...]}
//   {"op":"dropped","registry","path","count"}
//   {"op":"state","registry","state"}                  "connected" / "not_connected"
//   {"op":"subscribed"|"unsubscribed"|"streaming"|"stream_stopped","registry","path"}
//   {"op":"error","request","registry","path","error"}
//
// Threads: AddSink is non-blocking (any thread, I/O threads included);
// Request, RemoveSink and RegistryChanged make blocking library calls and
// belong on a worker thread. Library calls for one registry are serialised
// by that registry's operation mutex; the data mutex is only held for short
// bookkeeping and never across a library call, so the dispatcher thread
// (which takes it) never waits for a remote call.
//
// Ownership: the hub holds sockets weakly (a socket that goes is forgotten
// by RemoveSink); stream entries own their reader threads, joined when the
// last socket leaves a stream and in Stop.
#ifndef VARNEK_TOOLS_ROZWEB_HUB_H
#define VARNEK_TOOLS_ROZWEB_HUB_H

#include <nlohmann/json.hpp>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "client/roz.h"
#include "out_queue.h"
#include "registries.h"

namespace rozweb {

// The hub's view of one WebSocket.
class Sink {
 public:
  Sink();
  virtual ~Sink() = default;
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  // Queue a message (see OutQueue); any thread, never blocks.
  void SendControl(const std::string& text);
  void SendChange(const std::string& key, const Message& message);
  void SendBlock(const std::string& key, const Message& message);
  OutQueue& Queue() { return m_queue; }

 protected:
  // The queue's writer was idle: start it (any thread; must not block).
  virtual void StartWriter() = 0;
  // Too many control messages wait: close the socket (any thread).
  virtual void Overflowed() = 0;

 private:
  void After(OutQueue::Push_e result);
  OutQueue m_queue;
};

class Hub {
 public:
  // Most subscriptions and streams of one socket.
  static constexpr size_t c_maxSubscriptionsPerSocket = 2000;
  static constexpr size_t c_maxStreamsPerSocket = 16;
  // max_points bounds and default.
  static constexpr size_t c_minPoints = 2;
  static constexpr size_t c_maxPoints = 100000;
  static constexpr size_t c_defaultPoints = 1000;

  // `registries` outlives the hub; roz::Init has run.
  explicit Hub(RegistrySet& registries);
  ~Hub();
  Hub(const Hub&) = delete;
  Hub& operator=(const Hub&) = delete;

  // A new socket: it receives the state of every registry.
  void AddSink(const std::shared_ptr<Sink>& sink);
  // A socket that is gone: leaves its subscriptions and streams.
  void RemoveSink(Sink* sink);
  // One request of a socket (a JSON object); the answer or the error goes
  // into its queue. Never throws.
  void Request(const std::shared_ptr<Sink>& sink, const nlohmann::json& request);
  // From the connection check: tells every socket, and subscribes what
  // could not be subscribed while the registry was away.
  void RegistryChanged(Registry& registry, bool connected);
  // Ends every stream reader and subscription (before roz::Shutdown).
  void Stop();

  // Library subscriptions and stream readers now.
  size_t Subscriptions() const;
  size_t Streams() const;

 private:
  struct Subscription {
    Registry* registry = nullptr;
    std::string path;
    roz::Node node;
    std::atomic<bool> active{false};  // subscribed in the library (written under the operation mutex)
    std::map<Sink*, std::weak_ptr<Sink>> sinks;
  };
  struct Stream {
    Registry* registry = nullptr;
    std::string path;
    std::thread reader;
    std::atomic<bool> stop{false};
    std::map<Sink*, std::pair<std::weak_ptr<Sink>, size_t>> sinks;  // max_points
  };
  struct SinkInfo {
    std::weak_ptr<Sink> sink;
    std::set<std::string> subscriptions;
    std::set<std::string> streams;
  };

  void Subscribe(const std::shared_ptr<Sink>& sink, Registry& registry, const std::string& path);
  void Unsubscribe(Sink* sink, const std::string& key);
  void StartStream(const std::shared_ptr<Sink>& sink, Registry& registry, const std::string& path,
                   size_t maxPoints);
  void StopStream(Sink* sink, const std::string& key);
  // Subscribes `subscription` in the library; true when it is active.
  bool Activate(const std::shared_ptr<Subscription>& subscription, std::string* error);
  void OnChange(const std::string& key, const roz::NotificationData& record);
  // m_client.Unregister, never throwing.
  void Unregister(const roz::Node& node);
  void RunStream(const std::shared_ptr<Stream>& stream);
  template <typename T>
  void ReadStream(const std::shared_ptr<Stream>& stream, const std::shared_ptr<isig::SignalSource>& source);
  std::mutex& OperationMutex(Registry& registry);

  RegistrySet& m_registries;
  std::map<const Registry*, std::unique_ptr<std::mutex>> m_operationMutexes;
  roz::NotificationClient m_client;
  mutable std::mutex m_mutex;  // the three maps below
  std::map<std::string, std::shared_ptr<Subscription>> m_subscriptions;
  std::map<std::string, std::shared_ptr<Stream>> m_streams;
  std::map<Sink*, SinkInfo> m_sinks;
};

// The key of (registry, path) in the hub and the queues.
std::string Key(const std::string& registry, const std::string& path);

}  // namespace rozweb

#endif  // VARNEK_TOOLS_ROZWEB_HUB_H
