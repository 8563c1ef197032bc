// Values of registry nodes as rozweb's JSON carries them, both ways: out
// through rozctl's JSON form (rozctl::ValueJson: numbers, booleans, strings,
// arrays of them; enumerations as their text), in from a JSON body checked
// against the node's type.
//
// Thread-safety: pure functions; any thread.
#ifndef VARNEK_TOOLS_ROZWEB_JSON_VALUES_H
#define VARNEK_TOOLS_ROZWEB_JSON_VALUES_H

#include <nlohmann/json.hpp>

#include <string>

#include "client/value_type.h"
#include "istd/any.h"

namespace rozweb {

// JSON text of `json`; invalid UTF-8 in registry texts is replaced, never
// thrown on.
std::string Dump(const nlohmann::json& json);

// A value of element type `type` from `json`: for an array node (`array`)
// a std::vector of the element type from a JSON array (a single element is
// taken as an array of one), for a scalar node the element type. Elements:
// JSON booleans for Bool, integers within the type's range for the integer
// types, numbers for Double and Float, strings for String and Enumeration;
// a string is also accepted for the non-text types and converted as rozctl
// converts its arguments (0x hexadecimal, true/false). Throws ApiError 400
// "cannot convert ..." naming `path`.
istd::Any ValueFromJson(const nlohmann::json& json, roz::enums::NodeValType_e type, bool array,
                        const std::string& path);

// The elements of `json` as texts, for the domain check of an enumeration
// (strings as they are; anything else gives an empty list).
std::vector<std::string> TextElements(const nlohmann::json& json);

}  // namespace rozweb

#endif  // VARNEK_TOOLS_ROZWEB_JSON_VALUES_H
