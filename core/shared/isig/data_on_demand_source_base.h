// isig::DataOnDemandSourceBase<DOD_TRAITS>, the base of the sources whose
// data is read by their clients at chosen positions instead of being
// pushed: it describes the atoms (from the traits, copied at construction)
// and offers the hooks that prepare and release a source's data.
//
// Thread-safety: the description is constant and may be read from any
// thread. Open, Close and the destructor of a derived source run the hooks
// under the close lock, so that they never overlap.
#ifndef VARNEK_ISIG_DATA_ON_DEMAND_SOURCE_BASE_H
#define VARNEK_ISIG_DATA_ON_DEMAND_SOURCE_BASE_H

#include <cstddef>
#include <mutex>
#include <string>
#include <typeinfo>

#include "isig/signal_source.h"
#include "isig/signal_traits.h"
#include "isig/signal_types.h"
#include "istd/log.h"

namespace isig {

template <typename DOD_TRAITS>
class DataOnDemandSourceBase : public SignalSource {
 public:
  using Traits = DOD_TRAITS;
  using Element = typename Traits::Element;

  // A source named `name` of atoms as `traits` (which need not hold a
  // valid atom; the description then throws), kind text `type`.
  DataOnDemandSourceBase(const std::string& name, const Traits& traits, const std::string& type)
      : SignalSource(name, type),
        m_valid(traits.IsValid()),
        m_length(traits.Length()),
        m_groupSize(m_valid ? traits.GroupSize() : 0),
        m_names(m_valid ? traits.GetComponentNames() : ComponentNames()),
        m_atomSize(m_valid ? traits.AtomSize() : 0) {
    ISTD_TRACE_FNC();
  }

  ~DataOnDemandSourceBase() override { ISTD_TRACE_FNC(); }

  // AtomSize, GroupSize and GetComponentNames throw istd::Exception
  // "isig: Runtime atom is not valid." when the traits held no valid atom.
  size_t AtomSize() const override {
    CheckAtom();
    return m_atomSize;
  }
  unsigned int GroupSize() const override {
    CheckAtom();
    return m_groupSize;
  }
  const std::type_info& AtomType() const override { return typeid(typename Traits::Atom); }
  const std::type_info& BaseType() const override { return typeid(Element); }
  unsigned int Length() const override { return m_length; }
  ComponentNames GetComponentNames() const override {
    CheckAtom();
    return m_names;
  }
  AccessType_e AccessType() const override { return eAccessDataOnDemand; }

  // Number of atoms the source announces it holds; 0: none announced.
  virtual unsigned long long GetSize() const { return 0; }
  // Prepare and release the source's data; nothing here.
  virtual void DoOpen() {}
  virtual void DoClose() {}

  // DoOpen / DoClose under the close lock.
  void Open() {
    std::lock_guard<std::mutex> lock(m_closeMutex);
    DoOpen();
  }
  void Close() {
    std::lock_guard<std::mutex> lock(m_closeMutex);
    DoClose();
  }

 protected:
  void CheckAtom() const {
    if (!m_valid) ThrowInvalidAtom();
  }

  const bool m_valid;
  const unsigned int m_length;
  const unsigned int m_groupSize;
  const ComponentNames m_names;
  const size_t m_atomSize;
  std::mutex m_closeMutex;  // guards the open and close hooks
};

}  // namespace isig

#endif  // VARNEK_ISIG_DATA_ON_DEMAND_SOURCE_BASE_H
