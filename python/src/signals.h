// varnekpy::Stream, the object behind the iterator of varnek.Registry.stream:
// one open client of a push signal's stream, read block by block into
// (numpy array of shape (atoms, components), meta dict) pairs; and
// ReadSignal, one read of a data-on-demand signal.
//
// Threads: reads wait with the GIL released, in slices, so that Python's
// signal handlers (KeyboardInterrupt) run meanwhile; Close may come from any
// thread and ends a waiting read. One thread reads a stream at a time.
//
// Ownership: the stream keeps its Registry (and so the signal source)
// alive while it is open; Close, the Registry's Close and interpreter exit
// close the client.
#ifndef VARNEK_PYTHON_SIGNALS_H
#define VARNEK_PYTHON_SIGNALS_H

#include <pybind11/pybind11.h>

#include <memory>
#include <mutex>
#include <string>

#include "common.h"
#include "registry.h"

namespace varnekpy {

// The element-type-independent face of one stream client.
class StreamReader {
 public:
  virtual ~StreamReader() = default;
  // Opens the client; throws istd::Exception when the server refuses.
  virtual void Open() = 0;
  // Waits up to `timeoutMs` for a block; the code of isig::SuccessCode_e.
  virtual int Wait(unsigned int timeoutMs) = 0;
  // The block Wait found, as (data, meta); GIL held.
  virtual py::tuple Take() = 0;
  // Ends a waiting Wait with `code` (any thread).
  virtual void Cancel(int code) = 0;
  virtual void Close() = 0;
};

class Stream {
 public:
  // Opens a client of the push signal at `path` (GIL held at entry).
  // Throws LibraryError: not found, no push signal, registration refused.
  Stream(std::shared_ptr<Registry> registry, const std::string& path);
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // The next block as (data, meta), waiting at most `timeoutS` (< 0: no
  // limit); None once the stream was closed. Throws LibraryError eTimeout
  // "no block of <path> within <t> s", eError when the server ended the
  // stream, and what a Python signal handler raises. GIL held at entry.
  py::object Read(double timeoutS);
  // Closes the client (ends a waiting Read). Idempotent; any thread.
  void Close();
  const std::string& Path() const { return m_path; }
  unsigned int Components() const { return m_components; }

 private:
  void End();

  std::shared_ptr<Registry> m_registry;
  std::string m_path;
  unsigned int m_components = 0;
  std::mutex m_mutex;  // m_reader, m_closed
  std::shared_ptr<StreamReader> m_reader;
  bool m_closed = false;
  CloserId m_closer = 0;
  CloserId m_exitCloser = 0;
};

// Reads `atoms` atoms from `pos` on of the data-on-demand signal at `path`
// as (data, meta). Throws LibraryError (eError "no data at position ..."
// when nothing is there). GIL held at entry.
py::tuple ReadSignal(const std::shared_ptr<Registry>& registry, const std::string& path,
                     unsigned long long pos, unsigned int atoms);

}  // namespace varnekpy

#endif  // VARNEK_PYTHON_SIGNALS_H
