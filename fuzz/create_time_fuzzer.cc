// Fuzz target of istd::CreateTime (time zone UTC). Checks: only
// istd::Exception "invalid time format" or the "time overflows" text
// escapes; a parsed time has form 6 and a text that fits its buffer, and
// when that text is a four-digit-year date it parses back to the same second.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "fuzz_check.h"
#include "istd/exception.h"
#include "istd/time.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  istd::Time t(0UL, 0UL);
  try {
    t = istd::CreateTime(text);
  } catch (const istd::Exception& e) {
    FUZZ_CHECK(std::string(e.what()) == "invalid time format" ||
                   StartsWith(e.what(), "time overflows\n"),
               e.what());
    return 0;
  }
  FUZZ_CHECK(t.Form() == istd::Time::c_dateTime, text);
  FUZZ_CHECK(t.Nanoseconds() == 0, text);
  const std::string rendered = t.Text();
  FUZZ_CHECK(rendered.size() < istd::Time::c_textSize, rendered);
  FUZZ_CHECK(!rendered.empty(), text);
  // "yyyy-mm-dd hh:mm:ss" with a year of four digits reads back as itself.
  if (rendered.size() == 19 && rendered[0] >= '1' && rendered[0] <= '9') {
    const istd::Time again = istd::CreateTime(rendered);
    FUZZ_CHECK(again.Seconds() == t.Seconds(), text + " -> " + rendered);
    FUZZ_CHECK(again.Text() == rendered, rendered);
  }
  return 0;
}
