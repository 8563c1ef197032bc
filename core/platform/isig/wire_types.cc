// Meta-data between the wire sequence and the map of the signal library,
// and the failures that mean a lost object.
#include "isig/wire_types.h"

namespace isig {

SignalMeta FromWireMeta(const i_NET::SignalMeta& wire) {
  SignalMeta meta;
  for (CORBA::ULong i = 0; i < wire.length(); ++i) {
    meta[static_cast<SignalMetaId_e>(wire[i].id)] = static_cast<long long>(wire[i].value);
  }
  return meta;
}

i_NET::SignalMeta ToWireMeta(const SignalMeta& meta) {
  i_NET::SignalMeta wire;
  wire.length(static_cast<CORBA::ULong>(meta.size()));
  CORBA::ULong i = 0;
  for (const auto& entry : meta) {
    wire[i].id = static_cast<CORBA::ULong>(entry.first);
    wire[i].value = static_cast<CORBA::LongLong>(entry.second);
    ++i;
  }
  return wire;
}

bool ReferenceLost(const CORBA::SystemException& e) {
  return CORBA::OBJECT_NOT_EXIST::_downcast(&e) != nullptr ||
         CORBA::TRANSIENT::_downcast(&e) != nullptr ||
         CORBA::COMM_FAILURE::_downcast(&e) != nullptr;
}

}  // namespace isig
