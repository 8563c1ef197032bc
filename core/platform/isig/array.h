// isig::Array<TRAITS>, a block of atoms of a signal (AtomCount() atoms of
// Length() values each, stored contiguously, atom after atom), and
// isig::MetaBufferPair<TRAITS>, a block together with its meta-data: the
// unit that a stream hands, as one shared object, to all of its clients.
//
// Thread-safety: plain values, one thread per object. A MetaBufferPair that
// a stream has dispatched is shared read-only (std::shared_ptr<const ...>).
#ifndef VARNEK_ISIG_ARRAY_H
#define VARNEK_ISIG_ARRAY_H

#include <cstddef>
#include <utility>
#include <vector>

#include "isig/signal_types.h"

namespace isig {

template <typename TRAITS>
class Array {
 public:
  using Traits = TRAITS;
  using Element = typename TRAITS::Element;

  Array() = default;
  // `atomCount` atoms of the traits' length, values zero.
  explicit Array(const TRAITS& traits, unsigned int atomCount = 0)
      : m_length(traits.Length()), m_atomCount(atomCount), m_values(Size()) {}

  // `atomCount` atoms of `length` values each, values zero.
  Array(unsigned int length, unsigned int atomCount)
      : m_length(length), m_atomCount(atomCount), m_values(Size()) {}

  // Values per atom.
  unsigned int Length() const { return m_length; }
  unsigned int AtomCount() const { return m_atomCount; }
  // Resizes the block to `atomCount` atoms; kept values stay, new ones are 0.
  void SetAtomCount(unsigned int atomCount) {
    m_atomCount = atomCount;
    m_values.resize(Size());
  }
  // Number of values (AtomCount() * Length()).
  size_t Size() const { return static_cast<size_t>(m_atomCount) * m_length; }
  Element* Data() { return m_values.data(); }
  const Element* Data() const { return m_values.data(); }
  // The first of the Length() values of atom `index` (not checked).
  const Element* Atom(unsigned int index) const {
    return m_values.data() + static_cast<size_t>(index) * m_length;
  }
  const std::vector<Element>& Values() const { return m_values; }

 private:
  unsigned int m_length = 0;
  unsigned int m_atomCount = 0;
  std::vector<Element> m_values;
};

template <typename TRAITS>
struct MetaBufferPair {
  // Takes the block's values over (no copy).
  MetaBufferPair(Array<TRAITS>&& block, const SignalMeta& blockMeta)
      : buffer(std::move(block)), meta(blockMeta) {}

  Array<TRAITS> buffer;
  SignalMeta meta;
};

}  // namespace isig

#endif  // VARNEK_ISIG_ARRAY_H
