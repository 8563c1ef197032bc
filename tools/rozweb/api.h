// The REST side of rozweb's interface: one call per HTTP request under
// /api/, from the method, target and body to the status and JSON body of
// the answer.
//
//   GET  /api/registries                        [{name, host, port, root, state}]
//   GET  /api/tree?registry=R&path=P&depth=N    [{path, name, type, flags, size, leaf}]
//   GET  /api/value?registry=R&path=P&pos=0&count=0   {path, type, value}
//   PUT  /api/value  {registry, path, value, pos}     {path, old, new}
//   POST /api/exec   {registry, path}                 {path, executed}
//   GET  /api/info?registry=R&path=P            {path, name, type, flags, size, domain,
//                                                validator, children, leaf}
//   GET  /api/signal?registry=R&path=P&pos=0&count=1000&max_points=1000
//                                               {path, pos, atoms, components, data}
//                                               (a range of a data-on-demand signal)
//
// Failures answer {"error": text} with 400 (bad request), 403 (read-only),
// 404 (no such node, registry or endpoint), 405 (method), 409 (refused by
// the registry), 502 (registry unreachable).
//
// Threads: Handle makes blocking calls into the client library (bounded by
// the call time-out) and is meant for a worker thread, never an I/O thread;
// any number may run at once.
#ifndef VARNEK_TOOLS_ROZWEB_API_H
#define VARNEK_TOOLS_ROZWEB_API_H

#include <nlohmann/json.hpp>

#include <string>

#include "json_values.h"
#include "registries.h"

namespace rozweb {

struct ApiReply {
  int status = 200;
  std::string body;  // JSON
};

// {"error": text}.
std::string ErrorBody(const std::string& text);

class Api {
 public:
  // `registries` outlives the object.
  Api(RegistrySet& registries, bool readOnly) : m_registries(registries), m_readOnly(readOnly) {}

  // Never throws: every failure becomes its answer.
  ApiReply Handle(const std::string& method, const std::string& target, const std::string& body);

 private:
  nlohmann::json Registries();
  nlohmann::json Tree(const std::map<std::string, std::string>& params);
  nlohmann::json GetValue(const std::map<std::string, std::string>& params);
  nlohmann::json PutValue(const nlohmann::json& body);
  nlohmann::json Exec(const nlohmann::json& body);
  nlohmann::json Info(const std::map<std::string, std::string>& params);
  nlohmann::json Signal(const std::map<std::string, std::string>& params);

  RegistrySet& m_registries;
  const bool m_readOnly;
};

// The node `path` of the registry `name`, checked. Throws ApiError (400 bad
// path, 404 unknown registry or node, 502 unreachable).
roz::Node ResolveNode(RegistrySet& registries, const std::string& name, const std::string& path);

}  // namespace rozweb

#endif  // VARNEK_TOOLS_ROZWEB_API_H
