// Parsing of rozweb's registry and listen arguments.
#include "options.h"

#include <set>

namespace rozweb {

namespace {

bool NameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-' || c == '.' || c == ':';
}

// A decimal port in [low, 65535]; throws UsageError naming `what`.
int ParsePort(const std::string& text, int low, const std::string& what) {
  if (text.empty() || text.size() > 5) throw UsageError("bad port in " + what);
  int port = 0;
  for (char c : text) {
    if (c < '0' || c > '9') throw UsageError("bad port in " + what);
    port = port * 10 + (c - '0');
  }
  if (port < low || port > 65535) throw UsageError("port out of range in " + what);
  return port;
}

}  // namespace

RegistrySpec ParseRegistry(const std::string& text) {
  const std::string what = "--registry \"" + text + "\"";
  RegistrySpec spec;
  std::string rest = text;
  const size_t equals = rest.find('=');
  if (equals != std::string::npos) {
    spec.name = rest.substr(0, equals);
    rest = rest.substr(equals + 1);
    if (spec.name.empty()) throw UsageError("empty name in " + what);
  }
  const size_t slash = rest.find('/');
  if (slash != std::string::npos) {
    spec.root = rest.substr(slash + 1);
    rest = rest.substr(0, slash);
    if (spec.root != "app" && spec.root != "platform") {
      throw UsageError("root must be app or platform in " + what);
    }
  }
  const size_t colon = rest.rfind(':');
  if (colon == std::string::npos || colon == 0) throw UsageError("expected HOST:PORT in " + what);
  spec.host = rest.substr(0, colon);
  spec.port = ParsePort(rest.substr(colon + 1), 1, what);
  if (spec.name.empty()) spec.name = rest;
  if (spec.name.size() > 64) throw UsageError("name longer than 64 characters in " + what);
  for (char c : spec.name) {
    if (!NameChar(c)) throw UsageError("name may hold letters, digits, _ - . : only in " + what);
  }
  return spec;
}

void ParseListen(const std::string& text, Options& options) {
  const std::string what = "--listen \"" + text + "\"";
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) throw UsageError("expected ADDR:PORT in " + what);
  std::string address = text.substr(0, colon);
  if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
  }
  options.listenAddress = address;
  options.listenPort = static_cast<unsigned short>(ParsePort(text.substr(colon + 1), 0, what));
}

void CheckUniqueNames(const std::vector<RegistrySpec>& registries) {
  std::set<std::string> names;
  for (const RegistrySpec& spec : registries) {
    if (!names.insert(spec.name).second) {
      throw UsageError("two registries are named \"" + spec.name + "\"");
    }
  }
}

}  // namespace rozweb
