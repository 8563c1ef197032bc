// Conversion of JSON values into values of a node's type.
#include "json_values.h"

#include <limits>
#include <type_traits>

#include "api_error.h"
#include "values.h"

namespace rozweb {

namespace {

template <typename T>
T Element(const nlohmann::json& json, roz::enums::NodeValType_e type, const std::string& path) {
  const auto refuse = [&]() -> T {
    throw ApiError(400, "cannot convert " + Dump(json) + " to a " + rozctl::TypeName(type) +
                            " value for " + path);
  };
  if (json.is_string()) {
    try {
      return rozctl::ParseValue<T>(json.get<std::string>(), type, path);
    } catch (const rozctl::Failure& f) {
      throw ApiError(400, f.what());
    }
  }
  if constexpr (std::is_same_v<T, std::string>) {
    return refuse();
  } else if constexpr (std::is_same_v<T, bool>) {
    if (!json.is_boolean()) return refuse();
    return json.get<bool>();
  } else if constexpr (std::is_floating_point_v<T>) {
    if (!json.is_number()) return refuse();
    const double value = json.get<double>();
    if constexpr (std::is_same_v<T, float>) {
      if (value > std::numeric_limits<float>::max() || value < -std::numeric_limits<float>::max()) {
        return refuse();
      }
    }
    return static_cast<T>(value);
  } else {
    if (json.is_number_unsigned()) {
      const auto value = json.get<unsigned long long>();
      if (value > static_cast<unsigned long long>(std::numeric_limits<T>::max())) return refuse();
      return static_cast<T>(value);
    }
    if (json.is_number_integer()) {
      const auto value = json.get<long long>();
      if constexpr (std::is_unsigned_v<T>) {
        if (value < 0) return refuse();
        if (static_cast<unsigned long long>(value) >
            static_cast<unsigned long long>(std::numeric_limits<T>::max())) {
          return refuse();
        }
      } else {
        if (value < static_cast<long long>(std::numeric_limits<T>::min()) ||
            value > static_cast<long long>(std::numeric_limits<T>::max())) {
          return refuse();
        }
      }
      return static_cast<T>(value);
    }
    return refuse();
  }
}

}  // namespace

std::string Dump(const nlohmann::json& json) {
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

istd::Any ValueFromJson(const nlohmann::json& json, roz::enums::NodeValType_e type, bool array,
                        const std::string& path) {
  try {
    return rozctl::WithValueType(type, path, [&](auto tag) -> istd::Any {
      using T = typename decltype(tag)::Type;
      if (!array) {
        if (json.is_array()) {
          throw ApiError(400, path + " holds one value, not an array");
        }
        return istd::Any(Element<T>(json, type, path));
      }
      std::vector<T> values;
      if (json.is_array()) {
        for (const nlohmann::json& element : json) values.push_back(Element<T>(element, type, path));
      } else {
        values.push_back(Element<T>(json, type, path));
      }
      return istd::Any(values);
    });
  } catch (const rozctl::Failure& f) {
    throw ApiError(409, f.what());
  }
}

std::vector<std::string> TextElements(const nlohmann::json& json) {
  std::vector<std::string> texts;
  if (json.is_string()) {
    texts.push_back(json.get<std::string>());
  } else if (json.is_array()) {
    for (const nlohmann::json& element : json) {
      if (!element.is_string()) return {};
      texts.push_back(element.get<std::string>());
    }
  }
  return texts;
}

}  // namespace rozweb
