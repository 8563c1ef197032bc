// roz::detail::CallRemote, the common error handling of the navigation and
// attribute calls of a remote node proxy: one i_NET::RemoteNode operation
// whose NotFound and CORBA system exceptions become istd::Exception texts
// (ThrowCallFailure, which the batch calls use for their polled answers).
//
// Thread-safety: reentrant; the reference belongs to the caller.
#ifndef VARNEK_CLIENT_INTERNAL_REMOTE_CALL_H
#define VARNEK_CLIENT_INTERNAL_REMOTE_CALL_H

#include <string>

#include "client/remote_node_structure.h"
#include "client/roz_util.h"
#include "istd/exception.h"
#include "istd/log.h"
#include "network/conversion.h"
#include "network/i_remote_node.h"

namespace roz {
namespace detail {

// Called only inside a catch block, for the exception of a navigation or
// attribute operation on `path` (CallRemote's, or a polled one). On NotFound
// traces (High) ": Can't access: " + path + ": " + reason and throws
// `notFound` + path text, followed by " (" + reason + ")" when `withReason`;
// on a CORBA system exception traces the same line with the exception text
// and throws `notAccessible` + path text. Other exceptions are rethrown.
[[noreturn]] inline void ThrowCallFailure(const Path& path, const char* notFound, bool withReason,
                                          const char* notAccessible) {
  try {
    throw;
  } catch (const i_NET::NotFound& e) {
    ISTD_TRACE(istd::eHigh, ": Can't access: " << path << ": " << e.what.in());
    std::string text = notFound + ToString(path);
    if (withReason) text += std::string(" (") + e.what.in() + ")";
    throw istd::Exception(text, true);
  } catch (const CORBA::SystemException& e) {
    ISTD_TRACE(istd::eHigh, ": Can't access: " << path << ": " << e);
    throw istd::Exception(notAccessible + ToString(path), true);
  }
}

// Returns call(node, PathToRemoteNodeNames(path)), with the failures of
// ThrowCallFailure (a nil `node` is a CORBA system exception). Other
// exceptions pass.
template <typename Call>
auto CallRemote(i_NET::RemoteNode_ptr node, const Path& path, const char* notFound, bool withReason,
                const char* notAccessible, Call&& call) {
  i_NET::NodeNames_var names = PathToRemoteNodeNames(path);
  try {
    return call(node, names.in());
  } catch (const i_NET::NotFound&) {
    ThrowCallFailure(path, notFound, withReason, notAccessible);
  } catch (const CORBA::SystemException&) {
    ThrowCallFailure(path, notFound, withReason, notAccessible);
  }
}

}  // namespace detail
}  // namespace roz

#endif  // VARNEK_CLIENT_INTERNAL_REMOTE_CALL_H
