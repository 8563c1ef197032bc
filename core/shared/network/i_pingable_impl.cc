// The ping servant: Ping, and PingMe calling back the caller's Pingable.
#include "network/i_pingable_impl.h"

#include "istd/log.h"
#include "network/conversion.h"

namespace inet {

i_Pingable_impl::i_Pingable_impl() { ISTD_TRACE_FNC(); }

i_Pingable_impl::~i_Pingable_impl() { ISTD_TRACE_FNC(); }

void i_Pingable_impl::Ping() { ISTD_TRACE_FNC(); }

CORBA::Boolean i_Pingable_impl::PingMe(i_NET::_objref_Pingable* callback, const char* cookie) {
  ISTD_TRACE_FNC();
  // A collocated caller may pass a null string; remote ones cannot.
  const char* label = cookie != nullptr ? cookie : "";
  ISTD_TRACE(istd::eLow, "Test callback with cookie: " << label);
  if (CORBA::is_nil(callback)) {  // a collocated caller may pass null
    ISTD_TRACE(istd::eLow, "Ping failed for " << label);
    return false;
  }
  try {
    callback->Ping();
    return true;
  } catch (const CORBA::SystemException& e) {
    ISTD_TRACE(istd::eLow, "Ping failed for " << label << " : " << CORBASysExceptionToString(e));
  } catch (...) {
    ISTD_TRACE(istd::eLow, "Ping failed for " << label);
  }
  return false;
}

}  // namespace inet
