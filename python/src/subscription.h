// varnekpy::Subscription, the object behind varnek.Subscription: one
// roz::NotificationClient whose callbacks hand every change of the
// subscribed nodes to a Python callable as a varnekpy::Change, and
// varnekpy::Change itself.
//
// Threads: the callable runs on the client's dispatcher thread with the GIL
// taken for the call; an exception it raises goes to sys.unraisablehook and
// delivery goes on. Close may come from any thread, also from the callable
// itself (the client is then ended by the next Close of another
// subscription or at interpreter exit, never by its own thread). Once the
// interpreter is finalizing, changes are dropped without taking the GIL.
//
// Ownership: the subscription keeps its Registry alive while it is open;
// the callable is released with the GIL held, or leaked when the
// interpreter is already gone.
#ifndef VARNEK_PYTHON_SUBSCRIPTION_H
#define VARNEK_PYTHON_SUBSCRIPTION_H

#include <pybind11/pybind11.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/roz.h"
#include "common.h"
#include "registry.h"

namespace varnekpy {

// One change as Python sees it.
struct Change {
  std::string path;  // the path as subscribed
  py::object value;  // the new value (ToPython), None for an empty record
  unsigned int pos;  // first element concerned
  double time;       // arrival, seconds since the epoch
};

class Subscription {
 public:
  // Subscribes every path (GIL held at entry). Throws LibraryError for a
  // path that cannot be subscribed, after undoing the others.
  Subscription(std::shared_ptr<Registry> registry, const std::vector<std::string>& paths,
               py::function callback);
  ~Subscription();
  Subscription(const Subscription&) = delete;
  Subscription& operator=(const Subscription&) = delete;

  // Unsubscribes and ends the client (GIL held at entry). Idempotent.
  void Close();
  bool Closed() const { return m_state->closed; }
  const std::vector<std::string>& Paths() const { return m_paths; }

 private:
  // What the client's callbacks reach; outlives the client.
  struct State {
    explicit State(py::function callback) : callback(callback.release().ptr()) {}
    ~State();
    PyObject* callback;  // owned reference
    std::atomic<bool> closed{false};
    std::atomic<std::thread::id> worker{};
  };
  // Unsubscribes and ends the client; no GIL needed (none may be held when
  // called from another thread than the worker).
  void End();

  std::shared_ptr<Registry> m_registry;
  std::vector<std::string> m_paths;
  std::vector<roz::Node> m_nodes;
  std::shared_ptr<State> m_state;
  std::mutex m_mutex;  // m_client
  std::unique_ptr<roz::NotificationClient> m_client;
  CloserId m_closer = 0;
  CloserId m_exitCloser = 0;
};

}  // namespace varnekpy

#endif  // VARNEK_PYTHON_SUBSCRIPTION_H
