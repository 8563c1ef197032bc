// Fuzz target of istd::ToBool: exactly "1" and "true" give true, "0" and
// "false" give false, every other text throws istd::Exception
// "Invalid cast from string to boolean.".
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "istd/string_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const bool isTrue = text == "1" || text == "true";
  const bool isFalse = text == "0" || text == "false";
  try {
    const bool value = istd::ToBool(text);
    FUZZ_CHECK(value ? isTrue : isFalse, text);
  } catch (const istd::Exception& e) {
    FUZZ_CHECK(!isTrue && !isFalse, text);
    FUZZ_CHECK(std::string(e.what()) == "Invalid cast from string to boolean.", e.what());
  }
  return 0;
}
