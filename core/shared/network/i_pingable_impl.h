// inet::i_Pingable_impl, the servant of i_NET::Pingable that every process
// publishes through the ORB manager: Ping answers, PingMe calls back a
// Pingable of the caller's own to test the connection the other way round.
//
// Thread-safety: the servant has no state; incoming calls run on the ORB's
// threads, several at once. Ownership: created with new and reference
// counted by the ORB (the ORB manager creates, activates and deactivates the
// process's instance).
#ifndef VARNEK_NETWORK_I_PINGABLE_IMPL_H
#define VARNEK_NETWORK_I_PINGABLE_IMPL_H

#include "network/i_pingable.h"

namespace inet {

class i_Pingable_impl : public POA_i_NET::Pingable {
 public:
  i_Pingable_impl();
  ~i_Pingable_impl() override;

  // Returns at once; proves that this process answers.
  void Ping() override;

  // Calls callback->Ping() (bounded by the ORB's call timeout) and returns
  // true when it answered, false when it raised; the failure is traced at
  // Low as "Ping failed for " + cookie + " : " + the exception text. Never
  // throws. The skeleton owns `callback`.
  CORBA::Boolean PingMe(i_NET::_objref_Pingable* callback, const char* cookie) override;
};

}  // namespace inet

#endif  // VARNEK_NETWORK_I_PINGABLE_IMPL_H
