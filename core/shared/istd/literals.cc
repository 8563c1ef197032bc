// Literal table lookups.
#include "istd/literals.h"

#include "istd/assert.h"

namespace istd {

namespace {
const Literal_t* FindByText(const Literal_t* table, const std::string& text) {
  for (const Literal_t* e = table; e != nullptr && e->text != nullptr; ++e) {
    if (text == e->text) return e;
  }
  return nullptr;
}
const Literal_t* FindByValue(const Literal_t* table, int value) {
  for (const Literal_t* e = table; e != nullptr && e->text != nullptr; ++e) {
    if (e->value == value) return e;
  }
  return nullptr;
}
}  // namespace

int TextualToNumeric(const Literal_t* table, const std::string& text) {
  const Literal_t* e = FindByText(table, text);
  if (e == nullptr) throw Exception("Unable to convert text to literal.", true);
  return e->value;
}

const char* NumericToTextual(const Literal_t* table, int value) {
  const Literal_t* e = FindByValue(table, value);
  if (e == nullptr) throw Exception("Unable to convert literal to text.", true);
  return e->text;
}

const char* NumericToTextualAssert(const Literal_t* table, int value) {
  const Literal_t* e = FindByValue(table, value);
  if (e == nullptr) {
    LoggedAssert(__FILE__, __LINE__, __PRETTY_FUNCTION__,
                 "Assertion condition: numericToTextUndefined");
  }
  return e->text;
}

int TextualToNumericAssert(const Literal_t* table, const std::string& text) {
  const Literal_t* e = FindByText(table, text);
  if (e == nullptr) {
    LoggedAssert(__FILE__, __LINE__, __PRETTY_FUNCTION__,
                 "Assertion condition: textualToNumericUndefined");
  }
  return e->value;
}

}  // namespace istd
