// Value texts, JSON forms and command-line conversions of rozctl.
#include "values.h"

#include <charconv>
#include <cstdint>
#include <sstream>
#include <type_traits>

#include "istd/exception.h"
#include "istd/string_util.h"

namespace rozctl {

namespace {

// Floating point in the shortest text that reads back as the same value
// (1, 0.25, 1e+20); the stream's default six digits would lose precision.
template <typename F>
std::string FloatText(F value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

template <typename T>
std::string ElementText(const T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    return value ? "true" : "false";
  } else if constexpr (std::is_floating_point_v<T>) {
    return FloatText(value);
  } else if constexpr (std::is_same_v<T, std::string>) {
    return value;
  } else {
    return std::to_string(value);
  }
}

template <typename T>
nlohmann::json ElementJson(const T& value) {
  if constexpr (std::is_floating_point_v<T>) {
    // JSON has no NaN or infinity: those become their text.
    if (value != value || value - value != 0) return FloatText(value);
  }
  return nlohmann::json(value);
}

}  // namespace

std::string TypeName(roz::enums::NodeValType_e type) {
  const char* text = istd::EnumMap<roz::enums::NodeValType_e>::items.FindText(type);
  return text != nullptr ? text : std::to_string(static_cast<int>(type));
}

std::string FlagNames(roz::Flags flags) {
  std::string names;
  for (const auto& entry : istd::EnumMap<roz::enums::Flags_e>::items.ValueMap()) {
    if ((flags & entry.first) == 0) continue;
    if (!names.empty()) names += ' ';
    names += entry.second;
  }
  return names.empty() ? "none" : names;
}

std::string ValueText(const istd::Any& value) {
  std::string text;
  const bool known = istd::VisitHeld(value, [&](auto tag, bool isVector) {
    using T = typename decltype(tag)::Type;
    if (!isVector) {
      text = ElementText(value.Get<T>());
      return;
    }
    text = "[";
    bool first = true;
    for (const auto& element : value.Get<std::vector<T>>()) {
      if (!first) text += ',';
      first = false;
      text += ElementText(static_cast<T>(element));
    }
    text += ']';
  });
  if (!known) throw istd::Exception("Unsupported value type", true);
  return text;
}

nlohmann::json ValueJson(const istd::Any& value) {
  nlohmann::json json;
  const bool known = istd::VisitHeld(value, [&](auto tag, bool isVector) {
    using T = typename decltype(tag)::Type;
    if (!isVector) {
      json = ElementJson(value.Get<T>());
      return;
    }
    json = nlohmann::json::array();
    for (const auto& element : value.Get<std::vector<T>>()) {
      json.push_back(ElementJson(static_cast<T>(element)));
    }
  });
  if (!known) throw istd::Exception("Unsupported value type", true);
  return json;
}

std::vector<std::string> SplitValues(const std::vector<std::string>& args, bool array) {
  if (!array || args.size() != 1) return args;
  std::vector<std::string> elements;
  const std::string& text = args.front();
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    elements.push_back(text.substr(start, comma == std::string::npos ? comma : comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return elements;
}

template <typename T>
T ParseValue(const std::string& text, roz::enums::NodeValType_e type, const std::string& what) {
  if constexpr (std::is_same_v<T, std::string>) {
    return text;
  } else {
    try {
      return istd::FromString<T>(text);
    } catch (const istd::Exception&) {
      throw Failure("cannot convert \"" + text + "\" to a " + TypeName(type) + " value for " +
                    what);
    }
  }
}

template bool ParseValue<bool>(const std::string&, roz::enums::NodeValType_e, const std::string&);
template int32_t ParseValue<int32_t>(const std::string&, roz::enums::NodeValType_e,
                                     const std::string&);
template uint32_t ParseValue<uint32_t>(const std::string&, roz::enums::NodeValType_e,
                                       const std::string&);
template int64_t ParseValue<int64_t>(const std::string&, roz::enums::NodeValType_e,
                                     const std::string&);
template uint64_t ParseValue<uint64_t>(const std::string&, roz::enums::NodeValType_e,
                                       const std::string&);
template double ParseValue<double>(const std::string&, roz::enums::NodeValType_e,
                                   const std::string&);
template float ParseValue<float>(const std::string&, roz::enums::NodeValType_e, const std::string&);
template std::string ParseValue<std::string>(const std::string&, roz::enums::NodeValType_e,
                                             const std::string&);

}  // namespace rozctl
