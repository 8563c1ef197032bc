// The failure of the accessors of traits that hold no valid atom.
#include "isig/signal_traits.h"

#include "istd/exception.h"

namespace isig {

void ThrowInvalidAtom() { throw istd::Exception("isig: Runtime atom is not valid.", true); }

}  // namespace isig
