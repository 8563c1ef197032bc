// Enumeration text tables.
//
// istd::Literal_t tables are constant arrays of (value, text) ended by an
// entry whose text is null, searched linearly; the first match wins.
//
// istd::BiMap<E> is a validated two-way map built once from a description
// table of (value, text) pairs; istd::EnumMap<E>::items is the one BiMap of an
// enumeration, defined by the library that owns E with a load-time initialiser
// (a bad table stops the library from loading). The maps point into the static
// description table; texts are not copied.
//
// Thread-safety: tables and built maps are read-only and may be read from any
// thread.
#ifndef VARNEK_ISTD_LITERALS_H
#define VARNEK_ISTD_LITERALS_H

#include <cstddef>
#include <cstring>
#include <map>
#include <string>
#include <utility>

#include "istd/exception.h"

namespace istd {

struct Literal_t {
  int value;
  const char* text;
};

// Value of the first entry whose text equals `text`.
// Throws istd::Exception "Unable to convert text to literal." on a miss.
int TextualToNumeric(const Literal_t* table, const std::string& text);
// Text of the first entry with `value`.
// Throws istd::Exception "Unable to convert literal to text." on a miss.
const char* NumericToTextual(const Literal_t* table, int value);
// As above, for tables where a miss is a programming error: a miss is a fatal
// assertion (the process aborts).
int TextualToNumericAssert(const Literal_t* table, const std::string& text);
const char* NumericToTextualAssert(const Literal_t* table, int value);

// Orders C strings by their contents (strcmp), not by their addresses.
struct BimapStrCmp {
  bool operator()(const char* a, const char* b) const { return std::strcmp(a, b) < 0; }
};

template <typename E>
class BiMap {
 public:
  using Entry = std::pair<E, const char*>;
  using ValueToText = std::map<E, const char*>;
  using TextToValue = std::map<const char*, E, BimapStrCmp>;
  using IntToText = std::map<int, const char*>;

  // Builds the three maps from `count` entries of `table`, which must outlive
  // the map. Throws istd::Exception "invalid enum description table" when a
  // text or a value occurs twice.
  BiMap(const Entry* table, size_t count) {
    for (size_t i = 0; i < count; ++i) m_valueToText.emplace(table[i].first, table[i].second);
    for (size_t i = 0; i < count; ++i) {
      m_textToValue.emplace(table[i].second, table[i].first);
      m_intToText.emplace(static_cast<int>(table[i].first), table[i].second);
    }
    if (m_textToValue.size() != m_valueToText.size()) {
      throw Exception("invalid enum description table", true);
    }
  }
  template <size_t N>
  explicit BiMap(const Entry (&table)[N]) : BiMap(table, N) {}

  // Text of `value`, or nullptr when the table has none.
  const char* FindText(E value) const {
    auto it = m_valueToText.find(value);
    return it == m_valueToText.end() ? nullptr : it->second;
  }
  // Value of `text`; false (and `value` untouched) when the table has none.
  bool FindValue(const char* text, E& value) const {
    if (text == nullptr) return false;
    auto it = m_textToValue.find(text);
    if (it == m_textToValue.end()) return false;
    value = it->second;
    return true;
  }
  bool FindValue(const std::string& text, E& value) const {
    return FindValue(text.c_str(), value);
  }

  const ValueToText& ValueMap() const { return m_valueToText; }
  const TextToValue& TextMap() const { return m_textToValue; }
  const IntToText& IntMap() const { return m_intToText; }

 private:
  ValueToText m_valueToText;
  TextToValue m_textToValue;
  IntToText m_intToText;
};

// The published table of an enumeration. The owning library declares the
// specialisation of `items` in its header and defines it in one source file:
//   template <> const istd::BiMap<E> istd::EnumMap<E>::items;            // .h
//   template <> const istd::BiMap<E> istd::EnumMap<E>::items(c_table);  // .cc
template <typename E>
struct EnumMap {
  static const BiMap<E> items;
};

}  // namespace istd

#endif  // VARNEK_ISTD_LITERALS_H
