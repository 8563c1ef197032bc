// Paths and their wire form, flag texts, the text tables of the registry
// enumerations and the identifier counters of libvarnekmci.
#include "client/roz_util.h"

#include <algorithm>
#include <utility>

#include "client/remote_node_structure.h"
#include "istd/log.h"
#include "istd/string_util.h"
#include "network/conversion.h"

template class istd::Id<roz::IdIregTreeNode, unsigned long long>;
template class istd::Id<roz::IdIregClient, unsigned long long>;
template class istd::Id<roz::IdIregCallback, unsigned long long>;

namespace roz {

namespace {

const std::pair<enums::Flags_e, const char*> c_flagsTable[] = {
    {enums::eRead, "read"},
    {enums::eWrite, "write"},
    {enums::ePersistent, "persistent"},
    {enums::eUnlockedRead, "unlocked_read"},
    {enums::eConstant, "constant"},
    {enums::eHidden, "hidden"},
    {enums::eExecutable, "executable"},
    {enums::eAttribute, "attribute"},
    {enums::eArray, "array"},
    {enums::eSignal, "signal"},
};

const std::pair<enums::NodeValType_e, const char*> c_nodeValTypeTable[] = {
    {enums::eUndefined, "Undefined"}, {enums::eBool, "Bool"},
    {enums::eLong, "Long"},           {enums::eULong, "ULong"},
    {enums::eLongLong, "LongLong"},   {enums::eULongLong, "ULongLong"},
    {enums::eDouble, "Double"},       {enums::eFloat, "Float"},
    {enums::eString, "String"},       {enums::eEnumeration, "Enumeration"},
};

// Position of each named flag in the StringFlags text.
struct FlagMark {
  Flags flag;
  char mark;
};
const FlagMark c_flagMarks[] = {
    {enums::eRead, 'r'},      {enums::eWrite, 'w'},  {enums::ePersistent, 'P'},
    {enums::eConstant, 'c'},  {enums::eHidden, 'H'}, {enums::eExecutable, 'x'},
    {enums::eAttribute, 'a'}, {enums::eArray, 'A'},  {enums::eSignal, 'S'},
};

}  // namespace

const Path c_noRelPath;

Path Tokenize(const char* text) { return istd::TokenizeString(text, c_delimiter); }

Path Tokenize(const std::string& text) { return Tokenize(text.c_str()); }

std::string ToString(const Path& path) { return istd::StringVecIntoString(path, c_delimiter); }

std::ostream& operator<<(std::ostream& os, const Path& path) { return os << ToString(path); }

Path RelativePath(const Path& base, const Path& full) {
  if (full.size() < base.size() || !std::equal(base.begin(), base.end(), full.begin())) return full;
  return Path(full.begin() + static_cast<std::ptrdiff_t>(base.size()), full.end());
}

std::string DomainRefusal(const std::vector<std::string>& elements,
                          const std::vector<std::string>& domain, const std::string& path) {
  for (const std::string& element : elements) {
    if (std::find(domain.begin(), domain.end(), element) == domain.end()) {
      return "\"" + element + "\" is not a value of " + path +
             "; allowed: " + istd::StringVecIntoString(domain, ", ");
    }
  }
  return std::string();
}

i_NET::NodeNames* PathToRemoteNodeNames(const Path& path) {
  ISTD_TRACE(istd::eDetail, "Remote path: " << ToString(path));
  auto* names = new i_NET::NodeNames;
  inet::detail::FillSequence(*names, path, path.size());
  return names;
}

Path RemoteNodeNamesToPath(const i_NET::NodeNames& names) {
  Path path;
  path.reserve(names.length());
  for (CORBA::ULong i = 0; i < names.length(); ++i) path.emplace_back(names[i].in());
  ISTD_TRACE(istd::eDetail, "Requested path: " << path);
  return path;
}

std::string StringFlags(const Flags& flags) {
  std::string text(sizeof c_flagMarks / sizeof c_flagMarks[0], ' ');
  for (size_t i = 0; i < text.size(); ++i) {
    if ((flags & c_flagMarks[i].flag) != 0) text[i] = c_flagMarks[i].mark;
  }
  return text;
}

}  // namespace roz

namespace istd {
template <>
const BiMap<roz::enums::Flags_e> EnumMap<roz::enums::Flags_e>::items(roz::c_flagsTable);
template <>
const BiMap<roz::enums::NodeValType_e> EnumMap<roz::enums::NodeValType_e>::items(
    roz::c_nodeValTypeTable);
}  // namespace istd
