// The one-shot subcommands of rozctl: tree, get, put, exec, info and ping.
#include "commands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <limits>
#include <sstream>
#include <type_traits>

#include "istd/exception.h"
#include "istd/string_util.h"
#include "values.h"

namespace rozctl {

namespace {

// Throws Failure when `path` lies inside a hidden subtree (the node itself
// or one of its ancestors carries the hidden flag).
void RefuseHidden(Session& session, const std::string& path) {
  roz::Path prefix;
  for (const std::string& element : roz::Tokenize(path)) {
    prefix.push_back(element);
    const roz::Node node = session.Resolve(roz::ToString(prefix));
    if ((node.GetFlags() & roz::enums::eHidden) != 0) {
      throw Failure(roz::ToString(prefix) + " is hidden; add --hidden to show it");
    }
  }
}

// Runs `f`, turning the library's istd::Exception into a Failure with its
// message.
template <typename F>
auto Remote(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const istd::Exception& e) {
    throw Failure::Library(e.what());
  }
}

// The text of a value as the library's DumpSubTree writes it (Node::ToString):
// bool as true/false, numbers in the stream's default format, strings as
// they are; an array of one element as that element, a longer one as
// "[a,b,...]", an empty or unreadable one as "N/A"; cut to `maxLen` - 3
// characters and "..." when longer than a non-zero `maxLen`.
std::string DumpText(const roz::ReadResult& result, size_t maxLen) {
  std::string text = "N/A";
  if (result.Ok()) {
    istd::AnyValueElement([&](auto tag) {
      using T = typename decltype(tag)::Type;
      auto element = [](const T& value) {
        std::ostringstream os;
        if constexpr (std::is_same_v<T, bool>) {
          os << (value ? "true" : "false");
        } else {
          os << value;
        }
        return os.str();
      };
      if (result.value.Holds<T>()) {
        text = element(result.value.Get<T>());
      } else if (result.value.Holds<std::vector<T>>()) {
        const std::vector<T> values = result.value.Get<std::vector<T>>();
        if (values.size() == 1) {
          text = element(values[0]);
        } else if (!values.empty()) {
          text = "[";
          for (size_t i = 0; i < values.size(); ++i) {
            if (i != 0) text += ",";
            text += element(values[i]);
          }
          text += "]";
        }
      } else {
        return false;
      }
      return true;
    });
  }
  static const size_t c_ellipsisLen = 3;
  if (maxLen != 0 && text.size() > maxLen) {
    text.resize(maxLen >= c_ellipsisLen ? maxLen - c_ellipsisLen : 0);
    text += "...";
  }
  return text;
}

}  // namespace

istd::Any ReadValue(const roz::Node& node, const std::string& path, size_t pos, size_t count) {
  return Remote([&] {
    const roz::enums::NodeValType_e type = node.GetValueType();
    const bool array = node.IsArray();
    return WithValueType(type, path, [&](auto tag) -> istd::Any {
      using T = typename decltype(tag)::Type;
      if (array) {
        std::vector<T> values;
        node.Get(values, pos, count);
        return istd::Any(values);
      }
      T value{};
      node.Get(value, 0);
      return istd::Any(value);
    });
  });
}

int RunTree(Session& session, const TreeOptions& options) {
  const roz::Node start = session.Resolve(options.path);
  if (!options.hidden) RefuseHidden(session, options.path);
  return Remote([&] {
    // The whole subtree is described level by level with many requests in
    // flight, and the values are read the same way; the lines are those of
    // the library's DumpSubTree (for --values) and of the plain listing.
    std::vector<roz::NodeInfo> nodes = roz::WalkTree(start, options.depth);
    for (const roz::NodeInfo& info : nodes) {
      if (!info.Ok()) throw istd::Exception(info.error, false);
    }
    std::vector<std::string> values(nodes.size());
    if (options.values) {
      std::vector<roz::Node> readable;
      std::vector<size_t> where;
      for (size_t i = 1; i < nodes.size(); ++i) {
        if (nodes[i].type == roz::enums::eUndefined || (nodes[i].flags & roz::enums::eRead) == 0) {
          continue;
        }
        readable.push_back(nodes[i].node);
        where.push_back(i);
      }
      const std::vector<roz::ReadResult> read = roz::ReadValues(readable);
      for (size_t k = 0; k < read.size(); ++k) {
        values[where[k]] = "=" + DumpText(read[k], options.maxLen);
      }
    }
    std::string out;
    for (size_t i = 1; i < nodes.size(); ++i) {
      const roz::NodeInfo& node = nodes[i];
      if (options.flags) out += roz::StringFlags(node.flags) + " ";
      if (options.dotted) {
        out += roz::ToString(roz::RelativePath(start.GetRelPath(), node.node.GetRelPath()));
      } else {
        out += std::string(node.level * 2 - 2, ' ') + node.name;
      }
      out += values[i] + "\n";
    }
    std::cout << out << std::flush;
    return 0;
  });
}

int RunGet(Session& session, const GetOptions& options) {
  // Several paths are read together, in about two round trips; a path that
  // fails there is read once more alone, so that its message is the one a
  // single get gives (the lookup's text, "has no value", ...).
  std::vector<roz::ReadResult> batch;
  std::vector<roz::NodeInfo> described;
  if (options.paths.size() > 1) {
    const roz::Node& root = session.Root();
    std::vector<roz::Node> nodes;
    for (const std::string& path : options.paths) {
      roz::Path full = root.GetRelPath();
      for (std::string& element : roz::Tokenize(path)) full.push_back(std::move(element));
      nodes.emplace_back(root.GetTreeNode(), std::move(full));
    }
    batch = roz::ReadValues(nodes, options.pos, options.count);
    if (options.json) described = roz::Describe(nodes);
  }
  int status = 0;
  nlohmann::json json = nlohmann::json::array();
  for (size_t i = 0; i < options.paths.size(); ++i) {
    const std::string& path = options.paths[i];
    nlohmann::json entry = {{"path", path}};
    try {
      istd::Any value;
      roz::enums::NodeValType_e type = roz::enums::eUndefined;
      if (i < batch.size() && batch[i].Ok() && (!options.json || described[i].Ok())) {
        value = batch[i].value;
        type = options.json ? described[i].type : type;
      } else {
        const roz::Node node = session.Resolve(path);
        value = ReadValue(node, path, options.pos, options.count);
        if (options.json) type = Remote([&] { return node.GetValueType(); });
      }
      if (options.json) {
        entry["type"] = TypeName(type);
        entry["value"] = ValueJson(value);
      } else if (options.terse) {
        std::cout << ValueText(value) << "\n";
      } else {
        std::cout << path << " " << ValueText(value) << "\n";
      }
    } catch (const Failure& f) {
      std::cerr << f.Text() << "\n";
      entry["error"] = f.what();
      status = 1;
    }
    if (options.json) json.push_back(entry);
  }
  if (options.json) std::cout << json.dump(2) << "\n";
  std::cout.flush();
  return status;
}

int RunPut(Session& session, const PutOptions& options) {
  const std::string& path = options.path;
  const roz::Node node = session.Resolve(path);
  const roz::enums::NodeValType_e type = Remote([&] { return node.GetValueType(); });
  const bool array = Remote([&] { return node.IsArray(); });
  const std::vector<std::string> elements = SplitValues(options.values, array);
  if (!array && elements.size() != 1) {
    throw Failure(path + " holds one value, not " + std::to_string(elements.size()));
  }
  if (type == roz::enums::eEnumeration) {
    std::vector<std::string> domain;
    if (!node.GetDomainValues(domain)) throw Failure("cannot read the allowed values of " + path);
    const std::string refused = roz::DomainRefusal(elements, domain, path);
    if (!refused.empty()) throw Failure(refused);
  }
  const bool readable = Remote([&] { return node.IsReadable(); });
  if (readable) {
    std::cout << "Old : " << path << " " << ValueText(ReadValue(node, path, 0, 0)) << std::endl;
  }
  WithValueType(type, path, [&](auto tag) {
    using T = typename decltype(tag)::Type;
    std::vector<T> values;
    for (const std::string& element : elements) {
      values.push_back(ParseValue<T>(element, type, path));
    }
    Remote([&] {
      if (array) {
        node.Set(values, options.pos);
      } else {
        node.Set(static_cast<T>(values.front()), 0);
      }
      return 0;
    });
  });
  if (readable) {
    std::cout << "New : " << path << " " << ValueText(ReadValue(node, path, 0, 0)) << std::endl;
  }
  return 0;
}

int RunExec(Session& session, const std::string& path) {
  const roz::Node node = session.Resolve(path);
  if (!Remote([&] { return node.Execute(); })) throw Failure("command " + path + " failed");
  std::cout << "Executed : " << path << std::endl;
  return 0;
}

int RunInfo(Session& session, const std::string& path) {
  const roz::Node node = session.Resolve(path);
  return Remote([&] {
    const roz::enums::NodeValType_e type = node.GetValueType();
    const roz::Flags flags = node.GetFlags();
    std::vector<std::string> domain;
    node.GetDomainValues(domain);
    std::string validator;
    if (!node.GetValidatorExpression(validator)) validator.clear();
    std::ostringstream out;
    out << "path      : " << (path.empty() ? node.GetName() : path) << "\n"
        << "type      : " << TypeName(type) << "\n"
        << "flags     : " << FlagNames(flags) << "\n"
        << "size      : " << node.GetSize() << "\n"
        << "domain    : " << (domain.empty() ? "(none)" : istd::StringVecIntoString(domain, ", ")) << "\n"
        << "validator : " << (validator.empty() ? "(none)" : validator) << "\n"
        << "children  : " << node.GetNodeCount() << "\n";
    if (type != roz::enums::eUndefined && (flags & roz::enums::eRead) != 0) {
      out << "value     : " << ValueText(ReadValue(node, path, 0, 0)) << "\n";
    }
    std::cout << out.str() << std::flush;
    return 0;
  });
}

int RunPing(Session& session) {
  roz::Node& root = session.Root();
  const auto start = std::chrono::steady_clock::now();
  const roz::ConnectionState state = roz::Ping(root);
  const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
  if (state == roz::eNotConnected || state == roz::eNoTreeNode) {
    throw Failure(session.Where() + " does not answer");
  }
  char ms[32];
  std::snprintf(ms, sizeof ms, "%.3f", took.count());
  // The ping's own call was the last one of this thread.
  std::string tls;
  if (inet::OM()->IsTlsActive()) {
    const std::string peer = inet::LastServerIdentity();
    tls = " (TLS, peer " + (peer.empty() ? std::string("unknown") : peer) + ")";
  }
  std::cout << "Ping : " << session.Where() << " answered in " << ms << " ms"
            << (state == roz::eReconnected ? " (reconnected)" : "") << tls << std::endl;
  return 0;
}

}  // namespace rozctl
