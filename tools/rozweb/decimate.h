// Min/max-preserving decimation of one component of a signal block for
// plotting: at most `maxPoints` values that keep every peak. When the
// component has no more values than that they are all kept; otherwise the
// values are cut into maxPoints / 2 equal buckets and each bucket gives its
// minimum and its maximum, in the order in which they occur (one value when
// they are the same element), so that a trace drawn through them shows the
// same extremes as the full data.
//
// Thread-safety: pure function; any thread.
#ifndef VARNEK_TOOLS_ROZWEB_DECIMATE_H
#define VARNEK_TOOLS_ROZWEB_DECIMATE_H

#include <cstddef>
#include <vector>

namespace rozweb {

// `count` values, the i-th given by `at(i)` (convertible to double);
// `maxPoints` >= 2.
template <typename At>
std::vector<double> DecimateMinMax(size_t count, size_t maxPoints, At&& at) {
  std::vector<double> out;
  if (count <= maxPoints) {
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) out.push_back(static_cast<double>(at(i)));
    return out;
  }
  const size_t buckets = maxPoints / 2;
  out.reserve(buckets * 2);
  for (size_t b = 0; b < buckets; ++b) {
    const size_t begin = b * count / buckets;
    const size_t end = (b + 1) * count / buckets;
    size_t low = begin;
    size_t high = begin;
    double lowValue = static_cast<double>(at(begin));
    double highValue = lowValue;
    for (size_t i = begin + 1; i < end; ++i) {
      const double value = static_cast<double>(at(i));
      if (value < lowValue) {
        lowValue = value;
        low = i;
      }
      if (value > highValue) {
        highValue = value;
        high = i;
      }
    }
    if (low == high) {
      out.push_back(lowValue);
    } else if (low < high) {
      out.push_back(lowValue);
      out.push_back(highValue);
    } else {
      out.push_back(highValue);
      out.push_back(lowValue);
    }
  }
  return out;
}

}  // namespace rozweb

#endif  // VARNEK_TOOLS_ROZWEB_DECIMATE_H
