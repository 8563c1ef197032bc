// varnekpy::Registry: the calls of varnek.Registry on one attached registry.
#include "registry.h"

#include <pybind11/stl.h>

#include "convert.h"

#include <algorithm>
#include <utility>

namespace varnekpy {

namespace {

// Open Registry objects per proxy key: the last one to close disconnects.
std::mutex g_usersMutex;
std::map<std::string, int> g_users;

}  // namespace

Registry::Registry(const std::string& host, int port, const std::string& root, double timeoutS)
    : m_host(host.empty() ? "127.0.0.1" : host),
      m_timeout(timeoutS > 0
                    ? std::chrono::milliseconds(static_cast<long long>(timeoutS * 1000 + 0.5))
                    : std::chrono::milliseconds(0)) {
  if (root != "app" && root != "platform") {
    throw LibraryError("varnek: unknown registry root \"" + root + "\" (app or platform)", eError);
  }
  if (port < 0 || port > 65535) throw LibraryError("varnek: port out of range", eError);
  m_rootKind = root == "app" ? roz::eApp : roz::ePlatform;
  m_port = port != 0 ? port : static_cast<int>(roz::DefaultPort(m_rootKind));
  {
    // The first connect starts the ORB: other Python threads go on meanwhile.
    py::gil_scoped_release release;
    Start({}, false);
  }
  m_root = Blocking(m_timeout, [&] { return roz::Connect(m_host, m_rootKind, m_port, false); });
  if (!m_root.IsValid()) throw LibraryError("varnek: cannot connect to " + Where(), eConnection);
  BoundProxyCalls();
  {
    std::lock_guard<std::mutex> lock(g_usersMutex);
    ++g_users[Where()];
  }
  // On interpreter exit the library goes; what this object opened goes first.
  m_shutdownCloser = AddCloser([this] { EndAll(); });
}

Registry::~Registry() {
  if (ShuttingDown()) return;  // the library is gone or going: nothing left to release
  RemoveCloser(m_shutdownCloser);
  if (!Closed()) {
    // Python drops the last reference with the GIL held; the release of
    // the connection makes remote calls.
    std::unique_ptr<py::gil_scoped_release> release;
    if (PyGILState_Check() != 0) release = std::make_unique<py::gil_scoped_release>();
    EndAll();
    bool last = false;
    {
      std::lock_guard<std::mutex> lock(g_usersMutex);
      last = --g_users[Where()] == 0;
    }
    if (last) roz::Disconnect(m_host, m_rootKind, m_port);
  }
}

void Registry::BoundProxyCalls() {
  if (m_timeout.count() <= 0) return;
  // The bound of the proxy's reference also covers the requests that the
  // batch calls send on the ORB's threads.
  try {
    const auto proxy = std::dynamic_pointer_cast<roz::RemoteNode>(m_root.GetTreeNode());
    if (!proxy) return;
    i_NET::RemoteNode_ptr reference = proxy->RemoteNodeRef();
    if (CORBA::is_nil(reference)) return;
    omniORB::setClientCallTimeout(reference, static_cast<CORBA::ULong>(m_timeout.count()));
    CORBA::release(reference);
  } catch (const std::exception&) {
    // a handle gone meanwhile: the next call says so
  }
}

std::string Registry::Where() const {
  return "the " + std::string(m_rootKind == roz::eApp ? "app" : "platform") + " registry at " +
         m_host + ":" + std::to_string(m_port);
}

bool Registry::Closed() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_closed;
}

roz::Node Registry::NodeAt(const std::string& path) const {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed) throw LibraryError("varnek: " + Where() + " is closed", eError);
  }
  roz::Path full = m_root.GetRelPath();
  for (std::string& element : roz::Tokenize(path)) full.push_back(std::move(element));
  try {
    return roz::Node(m_root.GetTreeNode(), std::move(full));
  } catch (const std::exception& e) {
    throw LibraryError(e.what(), Classify(e.what()));
  }
}

CloserId Registry::Track(std::function<void()> closer) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_closed) throw LibraryError("varnek: " + Where() + " is closed", eError);
  const CloserId id = m_nextCloser++;
  m_closers.emplace(id, std::move(closer));
  return id;
}

void Registry::Forget(CloserId id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_closers.erase(id);
}

void Registry::EndAll() {
  std::map<CloserId, std::function<void()>> closers;
  std::map<std::string, isig::SignalSourceSharedPtr> signals;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    closers.swap(m_closers);
    signals.swap(m_signals);
  }
  for (auto& entry : closers) entry.second();
  signals.clear();
}

void Registry::Close() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed) return;
    m_closed = true;
  }
  if (ShuttingDown()) return;
  py::gil_scoped_release release;
  EndAll();
  bool last = false;
  {
    std::lock_guard<std::mutex> lock(g_usersMutex);
    last = --g_users[Where()] == 0;
  }
  if (last) roz::Disconnect(m_host, m_rootKind, m_port);
}

namespace {

// The proxy of a handle below a registry root (null for a dead handle).
std::shared_ptr<roz::RemoteNode> ProxyOf(const roz::Node& node) {
  try {
    return std::dynamic_pointer_cast<roz::RemoteNode>(node.GetTreeNode());
  } catch (const std::exception&) {
    return nullptr;
  }
}

// True when a typed read or write failed as it does when the node changed
// since its shape was remembered (gone, or of another type).
bool ShowsChangedNode(const LibraryError& e) {
  const std::string text = e.what();
  return e.Kind() == eNotFound || text.find("invalid type") != std::string::npos ||
         text.find("value type is") != std::string::npos;
}

}  // namespace

std::vector<Registry::Shape> Registry::Shapes(const std::vector<std::string>& paths,
                                              std::vector<std::string>& errors,
                                              std::vector<bool>* remembered) {
  std::vector<Shape> shapes(paths.size());
  errors.assign(paths.size(), std::string());
  if (remembered) remembered->assign(paths.size(), true);
  std::vector<roz::Node> unknown;
  std::vector<size_t> where;
  for (size_t i = 0; i < paths.size(); ++i) {
    const roz::Node node = NodeAt(paths[i]);
    const std::shared_ptr<roz::RemoteNode> proxy = ProxyOf(node);
    if (!proxy || !proxy->FindValueShape(roz::ToString(node.GetRelPath()), shapes[i])) {
      unknown.push_back(node);
      where.push_back(i);
      if (remembered) (*remembered)[i] = false;
    }
  }
  if (where.empty()) return shapes;
  const std::vector<roz::NodeInfo> described =
      Blocking(m_timeout, [&] { return roz::Describe(unknown); });
  for (size_t k = 0; k < where.size(); ++k) {
    const roz::NodeInfo& info = described[k];
    if (!info.Ok()) {
      errors[where[k]] = info.error;
      continue;
    }
    shapes[where[k]].type = info.type;
    shapes[where[k]].flags = info.flags;
  }
  return shapes;
}

Registry::Shape Registry::ShapeOf(const std::string& path, bool& remembered) {
  std::vector<std::string> errors;
  std::vector<bool> known;
  const Shape shape = Shapes({path}, errors, &known)[0];
  if (!errors[0].empty()) throw LibraryError(errors[0], ClassifyValue(errors[0], {}, {}));
  remembered = known[0];
  return shape;
}

void Registry::ForgetShape(const std::string& path) {
  const roz::Node node = NodeAt(path);
  if (const std::shared_ptr<roz::RemoteNode> proxy = ProxyOf(node)) {
    proxy->ForgetValueShape(roz::ToString(node.GetRelPath()));
  }
}

py::object Registry::Get(const std::string& path, size_t pos, size_t count) {
  // One synchronous typed read with the node's remembered shape (one round
  // trip); the first read of a path describes it first. A read that fails
  // as a changed node would (not found, another type) asks once more.
  const roz::Node node = NodeAt(path);
  for (int attempt = 0;; ++attempt) {
    bool known = false;
    const Shape shape = ShapeOf(path, known);
    try {
      return roz::VisitValueType(
          shape.type,
          [&](auto tag) -> py::object {
            using T = typename decltype(tag)::Type;
            if (shape.IsArray()) {
              std::vector<T> values;
              Blocking(
                  m_timeout, [&] { node.Get(values, pos, count); }, nullptr, true);
              return Vector(values);
            }
            T value{};
            Blocking(
                m_timeout, [&] { node.Get(value, 0); }, nullptr, true);
            return Scalar(value);
          },
          [&]() -> py::object { throw LibraryError("ireg: node has no value: " + path, eAccess); });
    } catch (const LibraryError& e) {
      if (!known || attempt > 0 || !ShowsChangedNode(e)) throw;
      ForgetShape(path);
    }
  }
}

py::dict Registry::GetMany(const std::vector<std::string>& paths, size_t pos, size_t count) {
  std::vector<roz::Node> nodes;
  nodes.reserve(paths.size());
  for (const std::string& path : paths) nodes.push_back(NodeAt(path));
  std::chrono::milliseconds elapsed{};
  const std::vector<roz::ReadResult> read = Blocking(
      m_timeout, [&] { return roz::ReadValues(nodes, pos, count); }, &elapsed);
  py::dict out;
  for (size_t i = 0; i < paths.size(); ++i) {
    out[py::str(paths[i])] =
        read[i].Ok() ? ToPython(read[i].value)
                     : MakeError(read[i].error, ClassifyValue(read[i].error, elapsed, m_timeout));
  }
  return out;
}

std::string Registry::DomainText(const std::string& path, const istd::Any& value,
                                 const std::string& fallback) {
  const roz::Node node = NodeAt(path);
  std::vector<std::string> domain;
  const bool known = Blocking(m_timeout, [&] { return node.GetDomainValues(domain); });
  if (!known || domain.empty()) return fallback;
  std::vector<std::string> elements;
  if (value.Holds<std::string>()) {
    elements.push_back(value.Get<std::string>());
  } else if (value.Holds<std::vector<std::string>>()) {
    elements = value.Get<std::vector<std::string>>();
  }
  const std::string refused = roz::DomainRefusal(elements, domain, path);
  return refused.empty() ? fallback : refused;
}

py::dict Registry::PutMany(const py::dict& values, size_t pos) {
  std::vector<std::string> paths;
  std::vector<py::handle> objects;
  for (const auto& item : values) {
    paths.push_back(py::cast<std::string>(item.first));
    objects.push_back(item.second);
  }
  py::dict out;
  // Two rounds at most: a write refused as of another type with a shape
  // known from before is tried once more with a fresh description.
  std::vector<size_t> pending(paths.size());
  for (size_t i = 0; i < pending.size(); ++i) pending[i] = i;
  for (int round = 0; round < 2 && !pending.empty(); ++round) {
    std::vector<std::string> somePaths;
    for (size_t i : pending) somePaths.push_back(paths[i]);
    std::vector<std::string> errors;
    const std::vector<Shape> shapes = Shapes(somePaths, errors);
    std::vector<std::pair<roz::Node, istd::Any>> writes;
    std::vector<size_t> written;  // index into pending
    for (size_t k = 0; k < pending.size(); ++k) {
      const std::string& path = somePaths[k];
      if (!errors[k].empty()) {
        out[py::str(path)] = MakeError(errors[k], Classify(errors[k]));
        continue;
      }
      // Conversion failures are the caller's mistakes: raised at once,
      // before anything is written.
      writes.emplace_back(NodeAt(path),
                          FromPython(objects[pending[k]], shapes[k].type, shapes[k].IsArray(), path));
      written.push_back(k);
    }
    // Arrays are written from `pos`, scalars whole (two batches, both
    // in flight within one call of each).
    std::vector<std::pair<roz::Node, istd::Any>> arrayWrites;
    std::vector<std::pair<roz::Node, istd::Any>> scalarWrites;
    for (size_t w = 0; w < writes.size(); ++w) {
      (shapes[written[w]].IsArray() ? arrayWrites : scalarWrites).push_back(writes[w]);
    }
    std::chrono::milliseconds elapsed{};
    std::vector<std::string> results(writes.size());
    Blocking(
        m_timeout,
        [&] {
          const std::vector<std::string> arrays = roz::WriteValues(arrayWrites, pos);
          const std::vector<std::string> scalars = roz::WriteValues(scalarWrites, 0);
          size_t a = 0;
          size_t s = 0;
          for (size_t w = 0; w < writes.size(); ++w) {
            results[w] = shapes[written[w]].IsArray() ? arrays[a++] : scalars[s++];
          }
        },
        &elapsed);
    std::vector<size_t> retry;
    std::vector<roz::Node> readBack;
    std::vector<std::string> readPaths;
    for (size_t w = 0; w < written.size(); ++w) {
      const size_t k = written[w];
      const std::string& path = somePaths[k];
      const std::string& error = results[w];
      if (error.empty()) {
        if ((shapes[k].flags & roz::enums::eRead) == 0) {
          out[py::str(path)] = py::none();
        } else if (!shapes[k].IsArray()) {
          // The server stores a scalar as sent (it converts nothing).
          out[py::str(path)] = ToPython(writes[w].second);
        } else {
          // An array may hold more than was written: read it back whole.
          readBack.push_back(writes[w].first);
          readPaths.push_back(path);
        }
        continue;
      }
      if (round == 0 && error.find("invalid type") != std::string::npos) {
        ForgetShape(path);
        retry.push_back(pending[k]);
        continue;
      }
      std::string text = error;
      ErrorKind_e kind = ClassifyValue(error, elapsed, m_timeout);
      if (shapes[k].type == roz::enums::eEnumeration && error.find("domain") != std::string::npos) {
        text = DomainText(path, writes[w].second, error);
        kind = eAccess;
      }
      out[py::str(path)] = MakeError(text, kind);
    }
    if (!readBack.empty()) {
      const std::vector<roz::ReadResult> read = Blocking(
          m_timeout, [&] { return roz::ReadValues(readBack); }, &elapsed);
      for (size_t r = 0; r < read.size(); ++r) {
        out[py::str(readPaths[r])] =
            read[r].Ok()
                ? ToPython(read[r].value)
                : MakeError(read[r].error, ClassifyValue(read[r].error, elapsed, m_timeout));
      }
    }
    pending = retry;
  }
  // Back in the order given.
  py::dict ordered;
  for (const std::string& path : paths) ordered[py::str(path)] = out[py::str(path)];
  return ordered;
}

py::object Registry::Put(const std::string& path, py::handle value, size_t pos) {
  // One synchronous typed write, as Get reads (PutMany is the batch).
  const roz::Node node = NodeAt(path);
  for (int attempt = 0;; ++attempt) {
    bool known = false;
    const Shape shape = ShapeOf(path, known);
    // Conversion failures (TypeError, ValueError) leave before anything is sent.
    const istd::Any converted = FromPython(value, shape.type, shape.IsArray(), path);
    try {
      roz::VisitValueType(
          shape.type,
          [&](auto tag) {
            using T = typename decltype(tag)::Type;
            if (shape.IsArray()) {
              const auto& values = *boost::unsafe_any_cast<std::vector<T>>(&converted.Value());
              Blocking(
                  m_timeout, [&] { node.Set(values, pos); }, nullptr, true);
            } else {
              const T one = converted.Get<T>();
              Blocking(
                  m_timeout, [&] { node.Set(one, 0); }, nullptr, true);
            }
          },
          [] {});
    } catch (const LibraryError& e) {
      const std::string text = e.what();
      if (known && attempt == 0 && ShowsChangedNode(e)) {
        ForgetShape(path);
        continue;
      }
      if (shape.type == roz::enums::eEnumeration && text.find("domain") != std::string::npos) {
        throw LibraryError(DomainText(path, converted, text), eAccess);
      }
      throw;
    }
    if ((shape.flags & roz::enums::eRead) == 0) return py::none();
    // The server stores a scalar as sent (it converts nothing); an array
    // may hold more than was written and is read back whole.
    if (!shape.IsArray()) return ToPython(converted);
    return Get(path, 0, 0);
  }
}

void Registry::Execute(const std::string& path) {
  const roz::Node node = NodeAt(path);
  bool done = false;
  try {
    done = Blocking(m_timeout, [&] { return node.Execute(); });
  } catch (const LibraryError& e) {
    // The server's refusal of the command value.
    throw LibraryError(e.what(), e.Kind() == eError ? eAccess : e.Kind());
  }
  if (!done) throw LibraryError("varnek: the command " + path + " failed", eAccess);
}

py::dict Registry::Info(const std::string& path) {
  const std::vector<roz::Node> nodes{NodeAt(path)};
  std::vector<std::string> domain;
  std::string validator;
  std::chrono::milliseconds elapsed{};
  const std::vector<roz::NodeInfo> described = Blocking(
      m_timeout,
      [&] {
        std::vector<roz::NodeInfo> info = roz::Describe(nodes);
        if (info[0].Ok()) {
          nodes[0].GetDomainValues(domain);
          if (!nodes[0].GetValidatorExpression(validator)) validator.clear();
        }
        return info;
      },
      &elapsed);
  const roz::NodeInfo& info = described[0];
  if (!info.Ok()) throw LibraryError(info.error, Classify(info.error, elapsed, m_timeout));
  py::dict out;
  out["path"] = path;
  out["type"] = TypeName(info.type);
  out["flags"] = FlagNames(info.flags);
  out["size"] = info.size;
  out["domain"] = domain;
  out["validator"] = validator.empty() ? py::object(py::none()) : py::object(py::str(validator));
  out["children"] = info.childCount;
  return out;
}

std::vector<std::string> Registry::Tree(const std::string& path, int depth) {
  const roz::Node start = NodeAt(path);
  std::chrono::milliseconds elapsed{};
  const std::vector<roz::NodeInfo> nodes = Blocking(
      m_timeout, [&] { return roz::WalkTree(start, depth); }, &elapsed);
  std::vector<std::string> out;
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (!nodes[i].Ok())
      throw LibraryError(nodes[i].error, Classify(nodes[i].error, elapsed, m_timeout));
    if (i > 0) out.push_back(roz::ToString(roz::RelativePath(m_root.GetRelPath(), nodes[i].node.GetRelPath())));
  }
  return out;
}

std::string Registry::Ping() {
  NodeAt("");  // refuses a closed registry
  roz::Node root = m_root;
  const roz::ConnectionState state = Blocking(m_timeout, [&] { return roz::Ping(root); });
  switch (state) {
    case roz::eConnected:
      return "connected";
    case roz::eReconnected: {
      // The proxy forgot the value shapes with its old references.
      BoundProxyCalls();  // a new reference
      return "reconnected";
    }
    default:
      return "not_connected";
  }
}

isig::SignalSourceSharedPtr Registry::Signal(const std::string& path) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_signals.find(path);
    if (found != m_signals.end()) return found->second;
  }
  const roz::Node node = NodeAt(path);
  std::chrono::milliseconds elapsed{};
  std::string failure;
  isig::SignalSourceSharedPtr source = Blocking(
      m_timeout,
      [&] {
        // A missing node says so (CreateRemoteSignal only answers empty).
        const std::vector<roz::NodeInfo> info = roz::Describe({node});
        if (!info[0].Ok()) {
          failure = info[0].error;
          return isig::SignalSourceSharedPtr();
        }
        return roz::CreateRemoteSignal(node);
      },
      &elapsed);
  if (!failure.empty()) throw LibraryError(failure, Classify(failure, elapsed, m_timeout));
  if (!source) throw LibraryError("varnek: " + path + " is no usable remote signal", eAccess);
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_signals.emplace(path, source).first->second;
}

}  // namespace varnekpy
