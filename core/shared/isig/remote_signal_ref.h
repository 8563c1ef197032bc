// The server's signal object as a remote source holds it, and how the
// source finds it again:
//
// - isig::SignalResolver looks the object up anew. The client library makes
//   one for every source it creates, from the signal node's proxy and path;
//   a server that restarted hands out new objects, and the old reference
//   then answers nothing but failures.
// - isig::RemoteSignalRef holds the reference of one source together with
//   its resolver: calls get a new reference to what is held, and a call
//   that found the object gone (isig::ReferenceLost) asks for it anew.
// - isig::Reconnectable is implemented by the sources that have something
//   to restore once the connection to their server is back (the remote
//   stream registers its receiver again); the proxy of the signal's
//   registry tells them after it reconnected.
//
// Thread-safety: RemoteSignalRef guards the reference with a leaf mutex,
// held only to copy or replace it; the resolver runs without it, on the
// thread of the call that needs the object. Any thread.
//
// Ownership: RemoteSignalRef owns its reference; Get, Resolve and Renew
// return new references that the caller releases.
#ifndef VARNEK_ISIG_REMOTE_SIGNAL_REF_H
#define VARNEK_ISIG_REMOTE_SIGNAL_REF_H

#include <omniORB4/CORBA.h>

#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

#include "istd/log.h"
#include "network/conversion.h"
#include "network/i_remote_signal.h"

namespace isig {

// Looks the server's signal object up anew: a new reference (the caller
// releases it), or nil when the server has none there. May throw
// (istd::Exception, CORBA exceptions) when the server cannot be asked.
using SignalResolver = std::function<i_NET::_objref_RemoteSignal*()>;

// A source that restores what its server lost, once the connection to the
// server is back.
class Reconnectable {
 public:
  // The connection to the server was restored (its registry's proxy
  // reconnected). Runs on the thread that reconnected, with no lock of the
  // proxy held. Never throws.
  virtual void OnReconnected() = 0;

 protected:
  virtual ~Reconnectable() = default;
};

class RemoteSignalRef {
 public:
  // Holds a duplicate of `signal` (nil is accepted); `resolver` may be
  // empty (the object is then never looked up again).
  RemoteSignalRef(i_NET::_objref_RemoteSignal* signal, SignalResolver resolver)
      : m_signal(i_NET::RemoteSignal::_duplicate(signal)), m_resolver(std::move(resolver)) {}
  ~RemoteSignalRef() { CORBA::release(m_signal); }
  RemoteSignalRef(const RemoteSignalRef&) = delete;
  RemoteSignalRef& operator=(const RemoteSignalRef&) = delete;

  // A new reference to the object held (nil when none).
  i_NET::_objref_RemoteSignal* Get() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return i_NET::RemoteSignal::_duplicate(m_signal);
  }

  // Looks the object up with the resolver and holds the answer when it is
  // not nil. Returns a new reference to the object found; nil when there is
  // no resolver, it failed or it found nothing (traced at Low, `name` in
  // front). Never throws.
  i_NET::_objref_RemoteSignal* Resolve(const std::string& name) {
    if (!m_resolver) return i_NET::RemoteSignal::_nil();
    i_NET::RemoteSignal_var found;
    try {
      found = m_resolver();
    } catch (const std::exception& e) {
      ISTD_TRACE(istd::eLow, name << ": can't look the signal object up again: " << e.what());
    } catch (const CORBA::Exception& e) {
      ISTD_TRACE(istd::eLow, name << ": can't look the signal object up again: " << e);
    }
    if (CORBA::is_nil(found.in())) {
      ISTD_TRACE(istd::eLow, name << ": the signal object was not found again.");
      return i_NET::RemoteSignal::_nil();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    CORBA::release(m_signal);
    m_signal = i_NET::RemoteSignal::_duplicate(found.in());
    return found._retn();
  }

  // A call through `lost` found the object gone: returns a new reference to
  // another object to try -- the one held when another caller renewed it
  // meanwhile, otherwise what Resolve finds -- or nil when there is none
  // other than `lost`. Never throws.
  i_NET::_objref_RemoteSignal* Renew(i_NET::_objref_RemoteSignal* lost, const std::string& name) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (!CORBA::is_nil(m_signal) && !m_signal->_is_equivalent(lost)) {
        return i_NET::RemoteSignal::_duplicate(m_signal);
      }
    }
    i_NET::RemoteSignal_var found = Resolve(name);
    if (CORBA::is_nil(found.in()) || found->_is_equivalent(lost)) {
      return i_NET::RemoteSignal::_nil();
    }
    return found._retn();
  }

 private:
  mutable std::mutex m_mutex;  // guards m_signal
  i_NET::_objref_RemoteSignal* m_signal;
  const SignalResolver m_resolver;
};

}  // namespace isig

#endif  // VARNEK_ISIG_REMOTE_SIGNAL_REF_H
