// isig::SignalDispatchBase, the push entry of a stream: one Dispatch per
// element type of a signal (count values and the block's meta-data) and
// Cancel with a completion code. A stream overrides the Dispatch of its own
// element type; a block of any other type is a server error and is dropped
// (traced at Low) by the defaults here.
//
// The signal receiver servant (isig::i_SignalReceiver_impl) calls these on
// the request broker's threads, possibly several at once.
#ifndef VARNEK_ISIG_SIGNAL_DISPATCH_BASE_H
#define VARNEK_ISIG_SIGNAL_DISPATCH_BASE_H

#include "isig/signal_types.h"

namespace isig {

class SignalDispatchBase {
 public:
  virtual ~SignalDispatchBase();

  // `count` values at `data` (owned by the caller, valid during the call)
  // and the block's meta-data. Defaults: drop the block, traced at Low.
  virtual void Dispatch(const signed char* data, unsigned int count, const SignalMeta& meta);
  virtual void Dispatch(const unsigned char* data, unsigned int count, const SignalMeta& meta);
  virtual void Dispatch(const short* data, unsigned int count, const SignalMeta& meta);
  virtual void Dispatch(const unsigned short* data, unsigned int count, const SignalMeta& meta);
  virtual void Dispatch(const int* data, unsigned int count, const SignalMeta& meta);
  virtual void Dispatch(const unsigned int* data, unsigned int count, const SignalMeta& meta);
  virtual void Dispatch(const long long* data, unsigned int count, const SignalMeta& meta);
  virtual void Dispatch(const unsigned long long* data, unsigned int count, const SignalMeta& meta);
  virtual void Dispatch(const float* data, unsigned int count, const SignalMeta& meta);
  virtual void Dispatch(const double* data, unsigned int count, const SignalMeta& meta);

  // The producer ended the data with `code`.
  virtual void Cancel(SuccessCode_e code) = 0;
};

}  // namespace isig

#endif  // VARNEK_ISIG_SIGNAL_DISPATCH_BASE_H
