// The registries rozweb serves, each under its name: the connection to it
// (made on first use and kept; a lost server is reconnected in place by
// roz::Ping, which also subscribes the library's subscriptions again and
// registers open streams again) and its state as the interface reports it.
//
// Thread-safety: every member function may be called from any thread.
// Root() and Check() of one registry are serialised by its connect mutex;
// the handle itself is copied out under a short lock.
//
// Ownership: the set owns its Registry objects for its whole life; callers
// keep references (they never go away before the set).
#ifndef VARNEK_TOOLS_ROZWEB_REGISTRIES_H
#define VARNEK_TOOLS_ROZWEB_REGISTRIES_H

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/roz.h"
#include "options.h"

namespace rozweb {

class Registry {
 public:
  explicit Registry(RegistrySpec spec);
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  const RegistrySpec& Spec() const { return m_spec; }
  const std::string& Name() const { return m_spec.name; }
  int Port() const { return m_port; }
  // "the app registry demo at 127.0.0.1:5679".
  std::string Where() const;
  // True while the last connect or ping was answered.
  bool Connected() const { return m_connected.load(); }

  // The root handle. When the registry is not connected, first one Check.
  // Throws ApiError 502 when it still does not answer.
  roz::Node Root();

  // What one Check found.
  enum Change_e { eUnchanged, eLost, eBack };
  // Connects when there never was a connection, otherwise pings the root
  // (reconnecting it in place when the server was restarted). eBack also
  // for a ping that found a restarted server although no loss was seen
  // before (`restarted` is then true), eLost when a connected registry
  // stopped answering. Blocks up to the call time-out; never throws.
  Change_e Check(bool* restarted = nullptr);

 private:
  const RegistrySpec m_spec;
  const int m_port;
  std::mutex m_connectMutex;  // serialises Check
  mutable std::mutex m_mutex;  // m_root, m_hasRoot
  roz::Node m_root;
  bool m_hasRoot = false;
  std::atomic<bool> m_connected{false};
};

class RegistrySet {
 public:
  explicit RegistrySet(const std::vector<RegistrySpec>& specs);

  // The registry named `name`; with an empty name the only one there is.
  // Throws ApiError 404 for an unknown name, 400 for an empty name when
  // there are several.
  Registry& Find(const std::string& name);
  const std::vector<std::unique_ptr<Registry>>& All() const { return m_registries; }

 private:
  std::vector<std::unique_ptr<Registry>> m_registries;
};

}  // namespace rozweb

#endif  // VARNEK_TOOLS_ROZWEB_REGISTRIES_H
