// varnek._varnek, the extension module of the varnek package: the library's
// start and end, the translation of LibraryError into the package's error
// classes, and the bindings of Registry, Subscription, Change and Stream.
// The public names and their documentation are in varnek/__init__.py;
// this module is its private engine.
//
// Threads: the library state below is guarded by g_stateMutex and never
// held during a library call other than Init/Shutdown; see the classes'
// headers for theirs.
#include <omniORB4/CORBA.h>
#include <pybind11/stl.h>

#include <map>
#include <mutex>

#include "common.h"
#include "istd/trace.h"
#include "registry.h"
#include "signals.h"
#include "subscription.h"

namespace varnekpy {

namespace {

std::mutex g_stateMutex;  // the four below
bool g_started = false;
bool g_shuttingDown = false;
std::map<CloserId, std::function<void()>> g_closers;
CloserId g_nextCloser = 1;

// omniORB's own log lines go to the library's trace, not to the terminal.
void OrbLog(const char* text) {
  std::string line = text != nullptr ? text : "";
  while (!line.empty() && line.back() == '\n') line.pop_back();
  istd::TraceWrite(istd::eMedium, __func__, __FILE__, __LINE__, line);
}

}  // namespace

void Start(const std::vector<std::string>& orbArgs, bool explicitInit) {
  std::lock_guard<std::mutex> lock(g_stateMutex);
  if (g_shuttingDown) throw LibraryError("varnek: the library has been shut down", eError);
  if (g_started) {
    if (explicitInit) {
      throw LibraryError("varnek: init() must come before the first connect()", eError);
    }
    return;
  }
  std::vector<std::string> args{"python3"};
  args.insert(args.end(), orbArgs.begin(), orbArgs.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  omniORB::setLogFunction(&OrbLog);
  try {
    roz::Init(static_cast<int>(args.size()), argv.data());
  } catch (const std::exception& e) {
    throw LibraryError(e.what(), eError);
  }
  g_started = true;
}

bool ShuttingDown() {
  std::lock_guard<std::mutex> lock(g_stateMutex);
  return g_shuttingDown;
}

CloserId AddCloser(std::function<void()> closer) {
  std::lock_guard<std::mutex> lock(g_stateMutex);
  const CloserId id = g_nextCloser++;
  g_closers.emplace(id, std::move(closer));
  return id;
}

void RemoveCloser(CloserId id) {
  std::lock_guard<std::mutex> lock(g_stateMutex);
  g_closers.erase(id);
}

void Shutdown() {
  std::map<CloserId, std::function<void()>> closers;
  {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    if (g_shuttingDown) return;
    g_shuttingDown = true;
    if (!g_started) return;
    closers.swap(g_closers);
  }
  // Newest first: streams and subscriptions before their registries.
  for (auto it = closers.rbegin(); it != closers.rend(); ++it) it->second();
  roz::Dispatcher::GetInstance().Stop();
  roz::Shutdown();
}

struct CallTimeout::Self {
  omni_thread::ensure_self self;  // a dummy omni_thread for a foreign thread
};

CallTimeout::CallTimeout(std::chrono::milliseconds timeout) {
  if (timeout.count() <= 0) return;
  m_self = new Self;
  omniORB::setClientThreadCallTimeout(static_cast<CORBA::ULong>(timeout.count()));
}

CallTimeout::~CallTimeout() {
  if (m_self == nullptr) return;
  omniORB::setClientThreadCallTimeout(0);
  delete m_self;
}

}  // namespace varnekpy

namespace {

using namespace varnekpy;

double OptionalSeconds(const py::object& timeout) {
  return timeout.is_none() ? -1.0 : py::cast<double>(timeout);
}

}  // namespace

PYBIND11_MODULE(_varnek, m) {
  m.doc() = "Engine of the varnek package (use the varnek module).";

  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const LibraryError& e) {
      py::object error = MakeError(e.what(), e.Kind());
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    }
  });

  m.def("init", [](const std::vector<std::string>& orbArgs) {
    py::gil_scoped_release release;
    Start(orbArgs, true);
  });
  m.def("shutdown", [] {
    py::gil_scoped_release release;
    Shutdown();
  });
  m.def("classify", [](const std::string& text) { return static_cast<int>(Classify(text)); });

  py::class_<Change>(m, "Change")
      .def_readonly("path", &Change::path)
      .def_readonly("value", &Change::value)
      .def_readonly("pos", &Change::pos)
      .def_readonly("timestamp", &Change::time)
      .def_property_readonly("time",
                             [](const Change& c) {
                               return py::module_::import("datetime")
                                   .attr("datetime")
                                   .attr("fromtimestamp")(c.time)
                                   .attr("astimezone")();
                             })
      .def("__repr__", [](const Change& c) {
        return "Change(path=" + std::string(py::repr(py::str(c.path))) +
               ", value=" + std::string(py::repr(c.value)) + ", pos=" + std::to_string(c.pos) + ")";
      });

  py::class_<Registry, std::shared_ptr<Registry>>(m, "Registry")
      .def(py::init<const std::string&, int, const std::string&, double>())
      .def("get", &Registry::Get)
      .def("put", &Registry::Put)
      .def("get_many", &Registry::GetMany)
      .def("put_many", &Registry::PutMany)
      .def("execute", &Registry::Execute)
      .def("info", &Registry::Info)
      .def("tree", &Registry::Tree)
      .def("ping", &Registry::Ping)
      .def("close", &Registry::Close)
      .def_property_readonly("closed", &Registry::Closed)
      .def_property_readonly("where", &Registry::Where)
      .def("subscribe",
           [](const std::shared_ptr<Registry>& self, const std::vector<std::string>& paths,
              py::function callback) {
             return std::make_unique<Subscription>(self, paths, std::move(callback));
           })
      .def("stream", [](const std::shared_ptr<Registry>& self,
                        const std::string& path) { return std::make_unique<Stream>(self, path); })
      .def("read_signal", [](const std::shared_ptr<Registry>& self, const std::string& path,
                             unsigned long long pos,
                             unsigned int atoms) { return ReadSignal(self, path, pos, atoms); });

  py::class_<Subscription>(m, "Subscription")
      .def("close", &Subscription::Close)
      .def_property_readonly("closed", &Subscription::Closed)
      .def_property_readonly("paths", &Subscription::Paths);

  py::class_<Stream>(m, "Stream")
      .def("read",
           [](Stream& s, const py::object& timeout) { return s.Read(OptionalSeconds(timeout)); })
      .def("close", &Stream::Close)
      .def_property_readonly("path", &Stream::Path)
      .def_property_readonly("components", &Stream::Components);
}
