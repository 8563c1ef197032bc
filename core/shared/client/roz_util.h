// The shared vocabulary of the registry tree: relative paths and their text
// form, the flag set and its names, the value-type and notification-type
// enumerations with their text tables, and the typed identifiers of tree
// nodes, notification clients and callbacks.
//
// Thread-safety: everything here is a value type or a read-only table; the
// identifier counters are guarded by their tag's mutex (istd/id.h).
#ifndef VARNEK_CLIENT_ROZ_UTIL_H
#define VARNEK_CLIENT_ROZ_UTIL_H

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "istd/id.h"
#include "istd/literals.h"

namespace roz {

// The relative path from a tree node to a descendant, first element nearest
// to the tree node. Empty means the tree node itself.
using Path = std::vector<std::string>;

// Separator of the path text form.
inline constexpr const char* c_delimiter = ".";

// The always-empty path, passed wherever a tree node itself is meant.
extern const Path c_noRelPath;

// Splits `text` at "." (empty elements are dropped: "a..b" gives a, b).
Path Tokenize(const char* text);
Path Tokenize(const std::string& text);

// Elements joined with "."; "" for the empty path.
std::string ToString(const Path& path);

// The part of `full` below `base`; `full` itself when it does not start
// with `base`.
Path RelativePath(const Path& base, const Path& full);

// The text that refuses an enumeration value: for the first of `elements`
// that is not in `domain`, "\"x\" is not a value of <path>; allowed: a, b";
// "" when all are in it.
std::string DomainRefusal(const std::vector<std::string>& elements,
                          const std::vector<std::string>& domain, const std::string& path);

// Writes ToString(path). Declared in namespace roz: code outside it brings
// it in with `using roz::operator<<;`.
std::ostream& operator<<(std::ostream& os, const Path& path);

// A node's flag set; the named bits are those of enums::Flags_e.
using Flags = std::uint64_t;

namespace enums {

enum Flags_e : std::uint64_t {
  eRead = 2,
  eWrite = 4,
  ePersistent = 8,
  eUnlockedRead = 16,
  eConstant = 32,
  eHidden = 64,
  eExecutable = 128,
  eAttribute = 256,
  eArray = 512,
  eSignal = 1024,
};

// The type of a node's value. Long and ULong are 32-bit, LongLong and
// ULongLong 64-bit integers; Enumeration values travel as strings.
enum NodeValType_e : int {
  eUndefined = 0,
  eBool = 1,
  eLong = 2,
  eULong = 3,
  eLongLong = 4,
  eULongLong = 5,
  eDouble = 6,
  eFloat = 7,
  eString = 8,
  eEnumeration = 9,
};

// The kind of a change notification. The library stores and passes the
// value on without interpreting it; the servers that emit notifications
// choose the codes, so any 32-bit value is a valid NotificationType_e. The
// enumerators name the codes that local emitters use.
enum NotificationType_e : std::int32_t {
  eValueChanged = 0,
  eNodeAdded = 1,
  eNodeRemoved = 2,
};

}  // namespace enums

// A string of 9 characters, one position per named flag in the order
// r w P c H x a A S (read, write, persistent, constant, hidden, executable,
// attribute, array, signal); a space where the flag is not set.
// eUnlockedRead and unnamed bits leave no mark.
std::string StringFlags(const Flags& flags);

// Tags of the typed identifiers.
struct IdIregTreeNode {};
struct IdIregClient {};
struct IdIregCallback {};

using TreeNodeId = istd::Id<IdIregTreeNode, unsigned long long>;
using ClientId = istd::Id<IdIregClient, unsigned long long>;
using CallbackId = istd::Id<IdIregCallback, unsigned long long>;

}  // namespace roz

// The counters of the three tags live in libvarnekmci.
extern template class istd::Id<roz::IdIregTreeNode, unsigned long long>;
extern template class istd::Id<roz::IdIregClient, unsigned long long>;
extern template class istd::Id<roz::IdIregCallback, unsigned long long>;

namespace istd {
// Text names "read", "write", "persistent", "unlocked_read", "constant",
// "hidden", "executable", "attribute", "array", "signal".
template <>
const BiMap<roz::enums::Flags_e> EnumMap<roz::enums::Flags_e>::items;
// Text names "Undefined", "Bool", "Long", "ULong", "LongLong", "ULongLong",
// "Double", "Float", "String", "Enumeration".
template <>
const BiMap<roz::enums::NodeValType_e> EnumMap<roz::enums::NodeValType_e>::items;
}  // namespace istd

#endif  // VARNEK_CLIENT_ROZ_UTIL_H
