// The one-shot subcommands of rozctl: tree, get, put, exec, info and ping.
#include "commands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <limits>
#include <sstream>

#include "istd/exception.h"
#include "values.h"

namespace rozctl {

namespace {

std::string Join(const std::vector<std::string>& items, const char* separator) {
  std::string text;
  for (const std::string& item : items) {
    if (!text.empty()) text += separator;
    text += item;
  }
  return text;
}

// The path of `node` relative to `start` (a handle below the same proxy).
std::string RelativeText(const roz::Node& start, const roz::Node& node) {
  const roz::Path base = start.GetRelPath();
  const roz::Path full = node.GetRelPath();
  return roz::ToString(
      roz::Path(full.begin() + static_cast<std::ptrdiff_t>(base.size()), full.end()));
}

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
    if (options.values) {
      // The library's own dump: indented names or dotted paths, flags, and
      // "=" + value for every readable node that has one.
      const unsigned long mode = (options.dotted ? 1u : 0u) | (options.flags ? 2u : 0u);
      std::cout << start.DumpSubTree(options.depth, mode, options.maxLen);
      return 0;
    }
    const size_t depth =
        options.depth < 0 ? std::numeric_limits<size_t>::max() : static_cast<size_t>(options.depth);
    const std::vector<roz::Node> nodes = roz::SubTree(start, depth);
    const size_t base = start.GetRelPath().size();
    for (size_t i = 1; i < nodes.size(); ++i) {
      const roz::Node& node = nodes[i];
      std::string line;
      if (options.flags) line += roz::StringFlags(node.GetFlags()) + " ";
      if (options.dotted) {
        line += RelativeText(start, node);
      } else {
        const size_t level = node.GetRelPath().size() - base;
        line += std::string(level * 2 - 2, ' ') + node.GetName();
      }
      std::cout << line << "\n";
    }
    std::cout.flush();
    return 0;
  });
}

int RunGet(Session& session, const GetOptions& options) {
  int status = 0;
  nlohmann::json json = nlohmann::json::array();
  for (const std::string& path : options.paths) {
    nlohmann::json entry = {{"path", path}};
    try {
      const roz::Node node = session.Resolve(path);
      const istd::Any value = ReadValue(node, path, options.pos, options.count);
      if (options.json) {
        entry["type"] = TypeName(Remote([&] { return node.GetValueType(); }));
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
    for (const std::string& element : elements) {
      if (std::find(domain.begin(), domain.end(), element) == domain.end()) {
        throw Failure("\"" + element + "\" is not a value of " + path +
                      "; allowed: " + Join(domain, ", "));
      }
    }
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
        << "domain    : " << (domain.empty() ? "(none)" : Join(domain, ", ")) << "\n"
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
  std::cout << "Ping : " << session.Where() << " answered in " << ms << " ms"
            << (state == roz::eReconnected ? " (reconnected)" : "") << std::endl;
  return 0;
}

}  // namespace rozctl
