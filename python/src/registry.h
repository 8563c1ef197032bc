// varnekpy::Registry, the object behind varnek.Registry: one attached
// registry (a roz::Connect handle of its root) and the calls the package
// makes on it -- single and batch reads and writes, commands, descriptions,
// tree walks, pings -- plus the signal sources of its signal nodes.
//
// Threads: any Python thread may call any member; each blocking library call
// runs with the GIL released under the registry's call time-out (set per
// calling thread). m_mutex guards the closed flag, the signal sources and the
// closers (the node shapes are the proxy's, under its own lock); it is never held during a remote call.
//
// Ownership: Python holds the object through std::shared_ptr; subscriptions
// and streams keep it alive while they are open. Close (also on interpreter
// exit) ends what was opened through it and releases the connection when
// no other open Registry uses the same proxy.
#ifndef VARNEK_PYTHON_REGISTRY_H
#define VARNEK_PYTHON_REGISTRY_H

#include <pybind11/pybind11.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/remote_node.h"
#include "client/roz.h"
#include "common.h"
#include "isig/isig.h"

namespace varnekpy {

class Registry : public std::enable_shared_from_this<Registry> {
 public:
  // Connects (GIL held at entry, released while connecting); `port` 0: the
  // root's default port; `timeoutS` <= 0: the library's default bound.
  // Throws LibraryError eConnection "cannot connect to the <root> registry
  // at <host>:<port>", eError for a root other than "app" or "platform".
  Registry(const std::string& host, int port, const std::string& root, double timeoutS);
  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // The value of `path` (see ToPython); arrays `count` elements from `pos`
  // (count 0: to the end). Throws LibraryError.
  py::object Get(const std::string& path, size_t pos, size_t count);
  // Writes `value` (see FromPython) from `pos` and returns the value now
  // held: a scalar as written (the server stores it unconverted), an array
  // read back whole; None for a node that cannot be read. An enumeration value
  // outside the domain throws eAccess listing the allowed values.
  py::object Put(const std::string& path, py::handle value, size_t pos);
  // Path -> value or varnek error instance, in one batch.
  py::dict GetMany(const std::vector<std::string>& paths, size_t pos, size_t count);
  // Path -> the value now held (None when unreadable) or the error instance.
  py::dict PutMany(const py::dict& values, size_t pos);
  void Execute(const std::string& path);
  // type, flags, size, domain, validator, children.
  py::dict Info(const std::string& path);
  // Dotted paths of the visible nodes below `path`, `depth` levels down
  // (< 0: all), in pre-order.
  std::vector<std::string> Tree(const std::string& path, int depth);
  // "connected", "reconnected" or "not_connected" (roz::Ping).
  std::string Ping();
  // Ends subscriptions and streams opened through this object and releases
  // the connection; further calls throw eError. Idempotent.
  void Close();
  bool Closed() const;

  // The handle of `path` below the root (no remote call). Throws eError
  // when closed.
  roz::Node NodeAt(const std::string& path) const;
  // The signal source of `path`, made once (GIL held at entry). Throws
  // LibraryError when the node is no usable remote signal.
  isig::SignalSourceSharedPtr Signal(const std::string& path);
  std::chrono::milliseconds Timeout() const { return m_timeout; }
  // "the app registry at 127.0.0.1:5679".
  std::string Where() const;
  // Registers something to end on Close; returns its key for Forget.
  CloserId Track(std::function<void()> closer);
  void Forget(CloserId id);

 private:
  // The value shapes live in the proxy (RemoteNode's remembered shapes,
  // shared with the batch calls and forgotten on reconnection).
  using Shape = roz::RemoteNode::ValueShape;
  // The shapes of `paths`: remembered ones at once, the others described
  // together (which teaches the proxy); a failure of a description is
  // stored as its text in `errors`. `remembered`, when given, tells which
  // shapes the proxy already knew.
  std::vector<Shape> Shapes(const std::vector<std::string>& paths,
                            std::vector<std::string>& errors,
                            std::vector<bool>* remembered = nullptr);
  // The shape of one path (Shapes of one); throws its description's
  // failure. `remembered` as above.
  Shape ShapeOf(const std::string& path, bool& remembered);
  void ForgetShape(const std::string& path);
  // Sets the registry's time-out on the proxy's remote reference (shared
  // by every Registry of the same proxy: the last one set wins).
  void BoundProxyCalls();
  // The eAccess text of a refused enumeration value: the first element of
  // `value` outside the domain and the allowed values; `fallback` when the
  // domain cannot be read or every element is in it.
  std::string DomainText(const std::string& path, const istd::Any& value,
                         const std::string& fallback);
  // Ends the tracked closers and drops the signal sources (no GIL needed).
  void EndAll();

  std::string m_host;
  roz::Root m_rootKind;
  int m_port;
  std::chrono::milliseconds m_timeout;
  roz::Node m_root;
  CloserId m_shutdownCloser = 0;

  mutable std::mutex m_mutex;
  bool m_closed = false;
  std::map<std::string, isig::SignalSourceSharedPtr> m_signals;
  std::map<CloserId, std::function<void()>> m_closers;
  CloserId m_nextCloser = 1;
};

}  // namespace varnekpy

#endif  // VARNEK_PYTHON_REGISTRY_H
