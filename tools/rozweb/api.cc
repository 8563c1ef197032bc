// The REST endpoints of rozweb.
#include "api.h"

#include <exception>
#include <sstream>
#include <typeinfo>

#include "api_error.h"
#include "decimate.h"
#include "isig/isig.h"
#include "istd/exception.h"
#include "request.h"
#include "values.h"

namespace rozweb {

namespace {

// Runs `f`, turning the library's exceptions into ApiError with the status
// their text stands for.
template <typename F>
auto Remote(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const istd::Exception& e) {
    throw ApiError(StatusOf(e.what()), e.what());
  } catch (const rozctl::Failure& e) {
    throw ApiError(StatusOf(e.what()), e.what());
  }
}

std::string Param(const std::map<std::string, std::string>& params, const std::string& key) {
  const auto found = params.find(key);
  return found == params.end() ? std::string() : found->second;
}

// A string member of a JSON body ("" when absent); ApiError 400 when it is
// there but no string.
std::string Member(const nlohmann::json& body, const char* key, bool required) {
  const auto found = body.find(key);
  if (found == body.end()) {
    if (required) throw ApiError(400, std::string("\"") + key + "\" missing");
    return std::string();
  }
  if (!found->is_string()) throw ApiError(400, std::string("\"") + key + "\" must be a string");
  return found->get<std::string>();
}

nlohmann::json FlagList(roz::Flags flags) {
  nlohmann::json list = nlohmann::json::array();
  const std::string names = rozctl::FlagNames(flags);
  if (names == "none") return list;
  size_t start = 0;
  for (;;) {
    const size_t space = names.find(' ', start);
    list.push_back(names.substr(start, space == std::string::npos ? space : space - start));
    if (space == std::string::npos) break;
    start = space + 1;
  }
  return list;
}

// The whole value of `node` (after a write: old and new), null when the node
// cannot be read.
nlohmann::json WholeValue(const roz::Node& node) {
  const std::vector<roz::ReadResult> read = roz::ReadValues({node});
  if (read.empty() || !read.front().Ok()) return nullptr;
  return rozctl::ValueJson(read.front().value);
}

// `count` atoms of the data-on-demand source from `position`, each
// component decimated to at most `maxPoints` values.
template <typename T>
nlohmann::json ReadRange(const isig::SignalSourceSharedPtr& source, const std::string& path,
                         unsigned long long position, unsigned int count, size_t maxPoints) {
  using Traits = isig::SignalTraits<T>;
  using Source = isig::DataOnDemandRemoteSource<Traits>;
  const std::shared_ptr<Source> dod = std::dynamic_pointer_cast<Source>(source);
  if (!dod) throw ApiError(409, path + " is no data-on-demand signal");
  isig::DodRemoteClient<Traits> reader(dod, "rozweb");
  isig::Array<Traits> atoms;
  isig::SignalMeta meta;
  const isig::SuccessCode_e code = reader.Read(position, count, atoms, meta);
  if (code != isig::eSuccess && code != isig::eNoData) {
    std::ostringstream text;
    text << "reading " << path << " at position " << position << " failed: " << code;
    throw ApiError(502, text.str());
  }
  const unsigned int length = source->Length();
  const unsigned int got = code == isig::eSuccess ? atoms.AtomCount() : 0;
  nlohmann::json names = nlohmann::json::array();
  const isig::ComponentNames given = source->GetComponentNames();
  nlohmann::json data = nlohmann::json::array();
  for (unsigned int c = 0; c < length; ++c) {
    names.push_back(c < given.size() ? given[c] : "c" + std::to_string(c));
    data.push_back(DecimateMinMax(got, maxPoints, [&](size_t i) {
      return atoms.Atom(static_cast<unsigned int>(i))[c];
    }));
  }
  return {{"path", path}, {"pos", position}, {"atoms", got}, {"components", names}, {"data", data}};
}

}  // namespace

std::string ErrorBody(const std::string& text) { return Dump({{"error", text}}); }

roz::Node ResolveNode(RegistrySet& registries, const std::string& name, const std::string& path) {
  const roz::Path elements = CheckNodePath(path);
  Registry& registry = registries.Find(name);
  const roz::Node root = registry.Root();
  if (elements.empty()) return root;
  return Remote([&] { return root.GetNode(elements); });
}

ApiReply Api::Handle(const std::string& method, const std::string& target,
                     const std::string& body) {
  ApiReply reply;
  try {
    const Target parsed = ParseTarget(target);
    const bool get = method == "GET";
    const bool write = method == "PUT" || method == "POST";
    nlohmann::json result;
    nlohmann::json json;
    if (write) {
      if (m_readOnly) throw ApiError(403, "rozweb is read-only: writes and commands are refused");
      json = nlohmann::json::parse(body, nullptr, false);
      if (json.is_discarded() || !json.is_object()) {
        throw ApiError(400, "the body must be a JSON object");
      }
    }
    const std::string& path = parsed.path;
    const auto wrongMethod = [&](const char* allowed) {
      return ApiError(405, method + " is not allowed on " + path + " (" + allowed + ")");
    };
    if (path == "/api/registries") {
      if (!get) throw wrongMethod("GET");
      result = Registries();
    } else if (path == "/api/tree") {
      if (!get) throw wrongMethod("GET");
      result = Tree(parsed.params);
    } else if (path == "/api/value") {
      if (get) {
        result = GetValue(parsed.params);
      } else if (method == "PUT") {
        result = PutValue(json);
      } else {
        throw wrongMethod("GET, PUT");
      }
    } else if (path == "/api/exec") {
      if (method != "POST") throw wrongMethod("POST");
      result = Exec(json);
    } else if (path == "/api/info") {
      if (!get) throw wrongMethod("GET");
      result = Info(parsed.params);
    } else if (path == "/api/signal") {
      if (!get) throw wrongMethod("GET");
      result = Signal(parsed.params);
    } else {
      throw ApiError(404, "no such endpoint: " + path);
    }
    reply.body = Dump(result);
  } catch (const ApiError& e) {
    reply.status = e.Status();
    reply.body = ErrorBody(e.what());
  } catch (const std::exception& e) {
    reply.status = 500;
    reply.body = ErrorBody(std::string("internal failure: ") + e.what());
  } catch (...) {
    // A request broker exception the library let through: the registry's
    // side failed.
    reply.status = 502;
    reply.body = ErrorBody("the registry call failed");
  }
  return reply;
}

nlohmann::json Api::Registries() {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& registry : m_registries.All()) {
    list.push_back({{"name", registry->Name()},
                    {"host", registry->Spec().host},
                    {"port", registry->Port()},
                    {"root", registry->Spec().root},
                    {"state", registry->Connected() ? "connected" : "not_connected"}});
  }
  return list;
}

nlohmann::json Api::Tree(const std::map<std::string, std::string>& params) {
  const std::string depthText = Param(params, "depth");
  const int depth = depthText.empty()
                        ? 1
                        : static_cast<int>(ParseCount(depthText, c_maxTreeDepth, "depth"));
  const std::string registryName = Param(params, "registry");
  const roz::Node start = ResolveNode(m_registries, registryName, Param(params, "path"));
  const roz::Path rootPath = m_registries.Find(registryName).Root().GetRelPath();
  const std::vector<roz::NodeInfo> nodes = Remote([&] { return roz::WalkTree(start, depth); });
  if (nodes.size() > c_maxTreeNodes + 1) {
    throw ApiError(400, "the tree holds more than " + std::to_string(c_maxTreeNodes) +
                            " nodes at that depth; ask for less");
  }
  nlohmann::json list = nlohmann::json::array();
  for (size_t i = 0; i < nodes.size(); ++i) {
    const roz::NodeInfo& info = nodes[i];
    if (!info.Ok()) throw ApiError(StatusOf(info.error), info.error);
    if (i == 0) continue;  // the start node itself
    list.push_back(
        {{"path", roz::ToString(roz::RelativePath(rootPath, info.node.GetRelPath()))},
         {"name", info.name},
         {"type", rozctl::TypeName(info.type)},
         {"flags", FlagList(info.flags)},
         {"size", info.size},
         {"leaf", info.leaf}});
  }
  return list;
}

nlohmann::json Api::GetValue(const std::map<std::string, std::string>& params) {
  const std::string path = Param(params, "path");
  const std::string posText = Param(params, "pos");
  const std::string countText = Param(params, "count");
  const size_t pos = posText.empty() ? 0 : ParseCount(posText, c_maxArrayCount, "pos");
  const size_t count = countText.empty() ? 0 : ParseCount(countText, c_maxArrayCount, "count");
  const roz::Node node = ResolveNode(m_registries, Param(params, "registry"), path);
  const roz::enums::NodeValType_e type = Remote([&] { return node.GetValueType(); });
  const istd::Any value = Remote([&] {
    const std::vector<roz::ReadResult> read = roz::ReadValues({node}, pos, count);
    if (!read.front().Ok()) throw istd::Exception(read.front().error, false);
    return read.front().value;
  });
  return {{"path", path}, {"type", rozctl::TypeName(type)}, {"value", rozctl::ValueJson(value)}};
}

nlohmann::json Api::PutValue(const nlohmann::json& body) {
  const std::string path = Member(body, "path", true);
  const auto valueMember = body.find("value");
  if (valueMember == body.end()) throw ApiError(400, "\"value\" missing");
  size_t pos = 0;
  if (const auto posMember = body.find("pos"); posMember != body.end()) {
    if (!posMember->is_number_unsigned() || posMember->get<unsigned long long>() > c_maxArrayCount) {
      throw ApiError(400, "\"pos\" must be a number from 0 to " + std::to_string(c_maxArrayCount));
    }
    pos = posMember->get<size_t>();
  }
  const roz::Node node = ResolveNode(m_registries, Member(body, "registry", false), path);
  const roz::enums::NodeValType_e type = Remote([&] { return node.GetValueType(); });
  const bool array = Remote([&] { return node.IsArray(); });
  if (type == roz::enums::eEnumeration) {
    std::vector<std::string> domain;
    if (!Remote([&] { return node.GetDomainValues(domain); })) {
      throw ApiError(502, "cannot read the allowed values of " + path);
    }
    const std::vector<std::string> texts = TextElements(*valueMember);
    if (texts.empty()) throw ApiError(400, "an Enumeration value is a string");
    const std::string refused = roz::DomainRefusal(texts, domain, path);
    if (!refused.empty()) throw ApiError(409, refused);
  }
  const istd::Any value = ValueFromJson(*valueMember, type, array, path);
  const bool readable = Remote([&] { return node.IsReadable(); });
  nlohmann::json old = readable ? WholeValue(node) : nlohmann::json(nullptr);
  Remote([&] {
    const std::vector<std::string> failed = roz::WriteValues({{node, value}}, pos);
    if (!failed.front().empty()) throw istd::Exception(failed.front(), false);
    return 0;
  });
  nlohmann::json now = readable ? WholeValue(node) : nlohmann::json(nullptr);
  return {{"path", path}, {"old", old}, {"new", now}};
}

nlohmann::json Api::Exec(const nlohmann::json& body) {
  const std::string path = Member(body, "path", true);
  const roz::Node node = ResolveNode(m_registries, Member(body, "registry", false), path);
  if (!Remote([&] { return node.Execute(); })) throw ApiError(409, "command " + path + " failed");
  return {{"path", path}, {"executed", true}};
}

nlohmann::json Api::Info(const std::map<std::string, std::string>& params) {
  const std::string path = Param(params, "path");
  const roz::Node node = ResolveNode(m_registries, Param(params, "registry"), path);
  const std::vector<roz::NodeInfo> described = Remote([&] { return roz::Describe({node}); });
  const roz::NodeInfo& info = described.front();
  if (!info.Ok()) throw ApiError(StatusOf(info.error), info.error);
  std::vector<std::string> domain;
  std::string validator;
  Remote([&] {
    node.GetDomainValues(domain);
    if (!node.GetValidatorExpression(validator)) validator.clear();
    return 0;
  });
  return {{"path", path},
          {"name", info.name},
          {"type", rozctl::TypeName(info.type)},
          {"flags", FlagList(info.flags)},
          {"size", info.size},
          {"domain", domain},
          {"validator", validator},
          {"children", info.childCount},
          {"leaf", info.leaf}};
}

nlohmann::json Api::Signal(const std::map<std::string, std::string>& params) {
  const std::string path = Param(params, "path");
  const std::string posText = Param(params, "pos");
  const std::string countText = Param(params, "count");
  const std::string pointsText = Param(params, "max_points");
  const unsigned long long pos =
      posText.empty() ? 0 : ParseCount(posText, 0x7fffffffffffffffull, "pos");
  const auto count = static_cast<unsigned int>(
      countText.empty() ? 1000 : ParseCount(countText, c_maxRangeAtoms, "count"));
  const size_t points = pointsText.empty() ? 1000 : ParseCount(pointsText, 100000, "max_points");
  if (points < 2) throw ApiError(400, "max_points must be at least 2");
  const roz::Node node = ResolveNode(m_registries, Param(params, "registry"), path);
  return Remote([&]() -> nlohmann::json {
    if (!node.IsSignal()) throw ApiError(409, path + " is no signal");
    const isig::SignalSourceSharedPtr source = roz::CreateRemoteSignal(node);
    if (!source) throw ApiError(409, path + " is no usable remote signal");
    if (source->AccessType() != isig::eAccessDataOnDemand) {
      throw ApiError(409, path + " is a push stream; watch it over the WebSocket");
    }
    const std::type_info& type = source->BaseType();
    if (type == typeid(double)) return ReadRange<double>(source, path, pos, count, points);
    if (type == typeid(float)) return ReadRange<float>(source, path, pos, count, points);
    if (type == typeid(unsigned long long)) {
      return ReadRange<unsigned long long>(source, path, pos, count, points);
    }
    if (type == typeid(long long)) return ReadRange<long long>(source, path, pos, count, points);
    if (type == typeid(unsigned int)) return ReadRange<unsigned int>(source, path, pos, count, points);
    if (type == typeid(int)) return ReadRange<int>(source, path, pos, count, points);
    if (type == typeid(unsigned short)) {
      return ReadRange<unsigned short>(source, path, pos, count, points);
    }
    if (type == typeid(short)) return ReadRange<short>(source, path, pos, count, points);
    if (type == typeid(unsigned char)) return ReadRange<unsigned char>(source, path, pos, count, points);
    if (type == typeid(signed char)) return ReadRange<signed char>(source, path, pos, count, points);
    throw ApiError(409, path + " has an element type rozweb does not read");
  });
}

}  // namespace rozweb
