// varnekpy::Subscription: change notifications into a Python callable.
#include "subscription.h"

#include <utility>

namespace varnekpy {

namespace {

// Clients whose close came from their own dispatcher thread, ended later.
std::mutex g_parkedMutex;
std::vector<std::unique_ptr<roz::NotificationClient>> g_parked;

void EndParked() {
  std::vector<std::unique_ptr<roz::NotificationClient>> parked;
  {
    std::lock_guard<std::mutex> lock(g_parkedMutex);
    parked.swap(g_parked);
  }
  parked.clear();
}

bool InterpreterGone() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsInitialized() == 0 || Py_IsFinalizing() != 0;
#else
  return Py_IsInitialized() == 0 || _Py_IsFinalizing() != 0;
#endif
}

// The Python thread state of a dispatcher thread, made on its first change
// and kept until the thread ends: taking the GIL then costs no new thread
// state per change.
class ThreadState {
 public:
  // Takes the GIL for the current change.
  void Enter() {
    if (!m_made) {
      PyGILState_Ensure();  // makes the state and takes the GIL
      m_made = true;
      return;
    }
    PyEval_RestoreThread(m_saved);
  }
  // Releases the GIL, keeping the state.
  void Leave() { m_saved = PyEval_SaveThread(); }
  ~ThreadState() {
    if (!m_made || InterpreterGone()) return;  // left to the interpreter's end
    PyEval_RestoreThread(m_saved);
    PyGILState_Release(PyGILState_UNLOCKED);  // deletes the state, releases the GIL
  }

 private:
  bool m_made = false;
  PyThreadState* m_saved = nullptr;
};

thread_local ThreadState t_python;

// Holds the GIL on a dispatcher thread for one scope.
class CallbackGil {
 public:
  CallbackGil() { t_python.Enter(); }
  ~CallbackGil() { t_python.Leave(); }
  CallbackGil(const CallbackGil&) = delete;
  CallbackGil& operator=(const CallbackGil&) = delete;
};

}  // namespace

Subscription::State::~State() {
  if (InterpreterGone()) return;  // leaked: nothing may touch Python any more
  py::gil_scoped_acquire gil;
  Py_XDECREF(callback);
}

Subscription::Subscription(std::shared_ptr<Registry> registry,
                           const std::vector<std::string>& paths, py::function callback)
    : m_registry(std::move(registry)), m_paths(paths), m_state(std::make_shared<State>(callback)) {
  for (const std::string& path : paths) m_nodes.push_back(m_registry->NodeAt(path));
  std::string failure;
  Blocking(m_registry->Timeout(), [&] {
    EndParked();
    m_client = std::make_unique<roz::NotificationClient>();
    for (size_t i = 0; i < m_nodes.size(); ++i) {
      const std::shared_ptr<State> state = m_state;
      const std::string path = m_paths[i];
      const roz::Callback callback([state, path](const roz::NotificationData& record) {
        state->worker = std::this_thread::get_id();
        if (state->closed || ShuttingDown() || InterpreterGone()) return;
        const double arrival = Now();
        CallbackGil gil;
        if (state->closed) return;
        try {
          Change change{path, record.data.Empty() ? py::object(py::none()) : ToPython(record.data),
                        record.pos, arrival};
          py::handle(state->callback)(py::cast(std::move(change)));
        } catch (py::error_already_set& e) {
          e.discard_as_unraisable(py::reinterpret_borrow<py::object>(state->callback));
        } catch (const std::exception& e) {
          PyErr_SetString(PyExc_RuntimeError, e.what());
          PyErr_WriteUnraisable(state->callback);
        }
      });
      if (!m_client->Register(m_nodes[i], callback)) {
        // Say why when the node itself fails (not found, unreachable).
        const std::vector<roz::NodeInfo> info = roz::Describe({m_nodes[i]});
        failure = !info[0].Ok() ? info[0].error
                                : "varnek: cannot subscribe " + path + " at " + m_registry->Where();
        for (size_t k = 0; k < i; ++k) m_client->Unregister(m_nodes[k]);
        m_client.reset();
        return;
      }
    }
  });
  if (!failure.empty()) {
    m_state->closed = true;
    throw LibraryError(failure, Classify(failure));
  }
  m_closer = m_registry->Track([this] { End(); });
  m_exitCloser = AddCloser([this] { End(); });
}

Subscription::~Subscription() {
  if (ShuttingDown()) return;
  if (PyGILState_Check() != 0) {
    Close();
  } else {
    End();
  }
}

void Subscription::End() {
  std::unique_ptr<roz::NotificationClient> client;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state->closed = true;
    client = std::move(m_client);
  }
  if (!client) return;
  for (const roz::Node& node : m_nodes) client->Unregister(node);
  if (m_state->worker.load() == std::this_thread::get_id()) {
    // A client must not be destroyed by its own callback.
    std::lock_guard<std::mutex> lock(g_parkedMutex);
    g_parked.push_back(std::move(client));
  } else {
    client.reset();
  }
}

void Subscription::Close() {
  if (m_closer != 0) m_registry->Forget(m_closer);
  if (m_exitCloser != 0) RemoveCloser(m_exitCloser);
  m_closer = m_exitCloser = 0;
  py::gil_scoped_release release;
  End();
}

}  // namespace varnekpy
