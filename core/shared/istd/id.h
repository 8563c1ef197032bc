// istd::Id<Tag, T>, a typed identifier: each tag type has its own counter,
// so identifiers of different kinds (tree nodes, clients, callbacks) can
// neither be mixed up nor be drawn from each other's sequence.
//
// Every default-constructed Id (and every Generate()) takes the next value of
// its tag's counter, starting at 1; values are never reused within a process.
// Copies carry the same value.
//
// Thread-safety: drawing a value holds the tag's mutex; an Id object itself
// is a plain value. A library that owns a tag should declare the
// instantiation `extern template class istd::Id<Tag, ...>;` in its header and
// instantiate it explicitly in one source file, so that the counter of a tag
// lives in exactly one shared object.
#ifndef VARNEK_ISTD_ID_H
#define VARNEK_ISTD_ID_H

#include <mutex>

namespace istd {

template <typename Tag, typename T = unsigned long long>
class Id {
 public:
  using ValueType = T;

  // The next value of the tag's counter.
  Id() : m_value(Next()) {}
  Id(const Id& other) = default;
  Id& operator=(const Id& other) = default;

  // A new identifier (the same as default construction).
  static Id Generate() { return Id(); }

  T Value() const { return m_value; }
  operator T() const { return m_value; }  // NOLINT(google-explicit-constructor)

  bool operator==(const Id& other) const { return m_value == other.m_value; }
  bool operator!=(const Id& other) const { return m_value != other.m_value; }
  bool operator<(const Id& other) const { return m_value < other.m_value; }
  bool operator<=(const Id& other) const { return m_value <= other.m_value; }
  bool operator>(const Id& other) const { return m_value > other.m_value; }
  bool operator>=(const Id& other) const { return m_value >= other.m_value; }

 private:
  static T Next() {
    std::lock_guard<std::mutex> lock(m_lastValue_x);
    return ++m_lastValue;
  }

  T m_value;

  // Last value handed out for this tag (0: none yet) and its guard. Both are
  // constant-initialised, so identifiers may be drawn during static
  // initialisation of any library.
  static T m_lastValue;
  static std::mutex m_lastValue_x;
};

template <typename Tag, typename T>
T Id<Tag, T>::m_lastValue = 0;

template <typename Tag, typename T>
std::mutex Id<Tag, T>::m_lastValue_x;

}  // namespace istd

#endif  // VARNEK_ISTD_ID_H
