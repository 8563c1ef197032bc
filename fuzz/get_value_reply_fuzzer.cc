// Fuzz target of the client's decoding of a GetValue answer: the bytes are
// an any as a registry would send it (fuzz/cdr_input.h), handed to the
// reply extraction of every value type, in the scalar and the array form
// (roz::ScalarFromReply / roz::ArrayFromReply, which the single-node and
// the batch reads share; the request's position and count do not enter the
// decoding), and to inet::CorbaAnyToAny, the conversion of notification
// payloads and of regd's writes. Checks: every refusal is an
// istd::Exception, with an "ireg: " text from the extraction; no wire value
// is accepted as two different types or forms; and what CorbaAnyToAny
// makes of an any is what the typed extraction of that type reads.
#include <cmath>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "cdr_input.h"
#include "client/remote_node.h"
#include "fuzz_check.h"
#include "network/conversion.h"

namespace {

const roz::Path c_path{"fuzz", "value"};

// Equal values, NaN equal to itself.
template <typename T>
bool Same(const T& a, const T& b) {
  if constexpr (std::is_floating_point_v<T>) {
    return a == b || (std::isnan(a) && std::isnan(b));
  } else {
    return a == b;
  }
}
template <typename T>
bool Same(const std::vector<T>& a, const std::vector<T>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (!Same<T>(a[i], b[i])) return false;
  }
  return true;
}

// Runs `read`; true when it returned, false when it refused with the
// extraction's exception.
template <typename Read>
bool Accepts(Read&& read) {
  try {
    read();
    return true;
  } catch (const istd::Exception& e) {
    FUZZ_CHECK(StartsWith(e.what(), "ireg: "), e.what());
    return false;
  }
}

// Both forms of T; adds the accepted ones to `accepted` and checks them
// against the generic conversion `converted` (empty when it refused).
template <typename T>
void Extract(const CORBA::Any& answer, const istd::Any& converted, int& accepted) {
  using Scalar = typename roz::detail::WireTypes<T>::Scalar;
  CORBA::TypeCode_var hint = roz::CreateTypeHint<T, Scalar>();
  T value{};
  if (Accepts([&] { value = roz::ScalarFromReply<T>(answer, hint.in(), c_path); })) {
    ++accepted;
    FUZZ_CHECK(converted.Holds<T>() && Same(converted.Get<T>(), value), "scalar conversion");
  } else {
    FUZZ_CHECK(!converted.Holds<T>(), "conversion accepts what the scalar read refuses");
  }
  std::vector<T> values{T{}};  // replaced on success
  if (Accepts([&] { roz::ArrayFromReply(answer, c_path, values); })) {
    ++accepted;
    FUZZ_CHECK(converted.Holds<std::vector<T>>() &&
                   Same(converted.Get<std::vector<T>>(), values),
               "array conversion");
  } else {
    FUZZ_CHECK(!converted.Holds<std::vector<T>>(),
               "conversion accepts what the array read refuses");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzcdr::Input input(data, size);
  CORBA::Any answer;
  if (!input.Read(answer)) return 0;

  istd::Any converted;
  try {
    converted = inet::CorbaAnyToAny(answer);
  } catch (const istd::Exception&) {
    // Not a value of the eight types; the typed reads must refuse it too.
  }
  int accepted = 0;
  Extract<bool>(answer, converted, accepted);
  Extract<int32_t>(answer, converted, accepted);
  Extract<uint32_t>(answer, converted, accepted);
  Extract<int64_t>(answer, converted, accepted);
  Extract<uint64_t>(answer, converted, accepted);
  Extract<float>(answer, converted, accepted);
  Extract<double>(answer, converted, accepted);
  Extract<std::string>(answer, converted, accepted);
  FUZZ_CHECK(accepted <= 1, std::to_string(accepted) + " readings of one answer");
  FUZZ_CHECK(accepted == (converted.Empty() ? 0 : 1), "conversion and typed reads disagree");
  return 0;
}
