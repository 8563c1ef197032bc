// Connections of rozweb to its registries.
#include "registries.h"

#include "api_error.h"

namespace rozweb {

int StatusOf(const std::string& text) {
  if (text.find("not found") != std::string::npos) return 404;
  if (text.find("not accessible") != std::string::npos ||
      text.find("disconnected") != std::string::npos ||
      text.find("not valid anymore") != std::string::npos) {
    return 502;
  }
  return 409;
}

namespace {

roz::Root RootOf(const RegistrySpec& spec) {
  return spec.root == "platform" ? roz::ePlatform : roz::eApp;
}

}  // namespace

Registry::Registry(RegistrySpec spec)
    : m_spec(std::move(spec)),
      m_port(m_spec.port != 0 ? m_spec.port : static_cast<int>(roz::DefaultPort(RootOf(m_spec)))) {}

std::string Registry::Where() const {
  return "the " + m_spec.root + " registry " + m_spec.name + " at " + m_spec.host + ":" +
         std::to_string(m_port);
}

roz::Node Registry::Root() {
  if (!m_connected.load()) Check();
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_hasRoot || !m_connected.load()) throw ApiError(502, Where() + " does not answer");
  return m_root;
}

Registry::Change_e Registry::Check(bool* restarted) {
  std::lock_guard<std::mutex> connecting(m_connectMutex);
  if (restarted != nullptr) *restarted = false;
  const bool was = m_connected.load();
  bool now = false;
  bool hasRoot;
  roz::Node root;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    hasRoot = m_hasRoot;
    root = m_root;
  }
  try {
    if (!hasRoot) {
      root = roz::Connect(m_spec.host, RootOf(m_spec), m_port, false);
      if (root.IsValid()) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_root = root;
        m_hasRoot = true;
        now = true;
      }
    } else {
      const roz::ConnectionState state = roz::Ping(root);
      now = state == roz::eConnected || state == roz::eReconnected;
      if (state == roz::eReconnected && was && restarted != nullptr) *restarted = true;
      if (state == roz::eReconnected && was) {
        m_connected = true;
        return eBack;
      }
    }
  } catch (...) {
    // Whatever the request broker throws (it may not be a std::exception)
    // is a registry that does not answer.
    now = false;
  }
  m_connected = now;
  if (was && !now) return eLost;
  if (!was && now) return eBack;
  return eUnchanged;
}

RegistrySet::RegistrySet(const std::vector<RegistrySpec>& specs) {
  for (const RegistrySpec& spec : specs) m_registries.push_back(std::make_unique<Registry>(spec));
}

Registry& RegistrySet::Find(const std::string& name) {
  if (name.empty()) {
    if (m_registries.size() == 1) return *m_registries.front();
    throw ApiError(400, "registry missing: rozweb serves " + std::to_string(m_registries.size()) +
                            " registries");
  }
  for (const auto& registry : m_registries) {
    if (registry->Name() == name) return *registry;
  }
  throw ApiError(404, "no registry named \"" + name + "\"");
}

}  // namespace rozweb
