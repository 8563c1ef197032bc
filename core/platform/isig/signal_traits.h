// isig::SignalTraits<T, isig::RuntimeDefined, 1u>, the description of the
// atoms of a signal whose layout is known only at run time: the element type
// T of its values, the number of components (values) per atom, the number of
// atoms per group, the component names and the atom size in bytes.
//
// A runtime atom is valid when it has at least one component. Traits built
// with 0 components hold no valid atom: Length() then answers 0 and the
// other accessors throw istd::Exception "isig: Runtime atom is not valid.".
// Streams refuse blocks of such traits (their value count cannot be divided
// into atoms). The names are kept as given; their number is not checked
// against the component count.
//
// Thread-safety: immutable after construction; copies are independent.
#ifndef VARNEK_ISIG_SIGNAL_TRAITS_H
#define VARNEK_ISIG_SIGNAL_TRAITS_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "isig/signal_types.h"

namespace isig {

// Tag: the atom layout is defined at run time by the traits' values.
struct RuntimeDefined {};

// The atom type of every runtime-defined signal: an atom of Length()
// values of the element type. Only its type identity is used
// (SignalSource::AtomType()).
struct RuntimeAtom {};

// Throws istd::Exception "isig: Runtime atom is not valid." (traced).
[[noreturn]] void ThrowInvalidAtom();

// T: element type; ATOM: the atom layout (only RuntimeDefined exists);
// N: values of T per component (only 1, scalar components, exists).
template <typename T, typename ATOM = RuntimeDefined, unsigned int N = 1u>
class SignalTraits;

template <typename T>
class SignalTraits<T, RuntimeDefined, 1u> {
 public:
  using Element = T;
  using Atom = RuntimeAtom;

  // Traits that hold no valid atom.
  SignalTraits() = default;
  // `components` values per atom (0 gives traits without a valid atom),
  // their `names`, `groupSize` atoms per group.
  SignalTraits(unsigned int components, std::vector<std::string> names, unsigned int groupSize)
      : m_valid(components > 0),
        m_length(components),
        m_groupSize(groupSize),
        m_names(std::move(names)),
        m_atomSize(sizeof(T) * components) {}

  bool IsValid() const { return m_valid; }
  // Values per atom; 0 when no valid atom is held. Never throws.
  unsigned int Length() const { return m_length; }
  // Atoms per group. Throws "isig: Runtime atom is not valid.".
  unsigned int GroupSize() const {
    if (!m_valid) ThrowInvalidAtom();
    return m_groupSize;
  }
  // Throws "isig: Runtime atom is not valid.".
  const ComponentNames& GetComponentNames() const {
    if (!m_valid) ThrowInvalidAtom();
    return m_names;
  }
  // Bytes per atom (Length() * sizeof(T)). Throws "isig: Runtime atom is
  // not valid.".
  size_t AtomSize() const {
    if (!m_valid) ThrowInvalidAtom();
    return m_atomSize;
  }

 private:
  bool m_valid = false;
  unsigned int m_length = 0;
  unsigned int m_groupSize = 0;
  ComponentNames m_names;
  size_t m_atomSize = 0;
};

}  // namespace isig

#endif  // VARNEK_ISIG_SIGNAL_TRAITS_H
