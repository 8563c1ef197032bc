// Default dispatch entries: a block of a foreign element type is dropped.
#include "isig/signal_dispatch_base.h"

#include <typeinfo>

#include "istd/log.h"

namespace isig {

namespace {
template <typename T>
void Drop(unsigned int count) {
  ISTD_TRACE(istd::eLow, "isig: block of " << count << " " << istd::CppName(typeid(T))
                                           << " values dropped: the stream has another"
                                              " element type.");
}
}  // namespace

SignalDispatchBase::~SignalDispatchBase() = default;

void SignalDispatchBase::Dispatch(const signed char*, unsigned int count, const SignalMeta&) {
  Drop<signed char>(count);
}
void SignalDispatchBase::Dispatch(const unsigned char*, unsigned int count, const SignalMeta&) {
  Drop<unsigned char>(count);
}
void SignalDispatchBase::Dispatch(const short*, unsigned int count, const SignalMeta&) {
  Drop<short>(count);
}
void SignalDispatchBase::Dispatch(const unsigned short*, unsigned int count, const SignalMeta&) {
  Drop<unsigned short>(count);
}
void SignalDispatchBase::Dispatch(const int*, unsigned int count, const SignalMeta&) {
  Drop<int>(count);
}
void SignalDispatchBase::Dispatch(const unsigned int*, unsigned int count, const SignalMeta&) {
  Drop<unsigned int>(count);
}
void SignalDispatchBase::Dispatch(const long long*, unsigned int count, const SignalMeta&) {
  Drop<long long>(count);
}
void SignalDispatchBase::Dispatch(const unsigned long long*, unsigned int count,
                                  const SignalMeta&) {
  Drop<unsigned long long>(count);
}
void SignalDispatchBase::Dispatch(const float*, unsigned int count, const SignalMeta&) {
  Drop<float>(count);
}
void SignalDispatchBase::Dispatch(const double*, unsigned int count, const SignalMeta&) {
  Drop<double>(count);
}

}  // namespace isig
