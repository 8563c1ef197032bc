// Text tables and stream operators of the signal library's enumerations.
#include "isig/signal_types.h"

namespace isig {

namespace {
const std::pair<SuccessCode_e, const char*> c_successCodeTable[] = {
    {eSuccess, "Success"}, {eFailure, "Failure"}, {eNoData, "NoData"},
    {eTimeout, "Timeout"}, {eClosed, "Closed"},   {eCancelled, "Cancelled"}};

const std::pair<StreamState, const char*> c_streamStateTable[] = {{eStreamIdle, "Idle"},
                                                                  {eStreamStarting, "Starting"},
                                                                  {eStreamRunning, "Running"},
                                                                  {eStreamStopped, "Stopped"},
                                                                  {eStreamShutDown, "ShutDown"}};

template <typename E>
std::ostream& WriteNamed(std::ostream& os, E value) {
  os << static_cast<int>(value);
  if (const char* name = istd::EnumMap<E>::items.FindText(value)) os << " (" << name << ")";
  return os;
}
}  // namespace

std::ostream& operator<<(std::ostream& os, SuccessCode_e code) { return WriteNamed(os, code); }

std::ostream& operator<<(std::ostream& os, StreamState state) { return WriteNamed(os, state); }

}  // namespace isig

namespace istd {
template <>
const BiMap<isig::SuccessCode_e> EnumMap<isig::SuccessCode_e>::items(isig::c_successCodeTable);
template <>
const BiMap<isig::StreamState> EnumMap<isig::StreamState>::items(isig::c_streamStateTable);
}  // namespace istd
