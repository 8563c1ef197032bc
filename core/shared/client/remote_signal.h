// Creation of a local signal source from a signal node of a remote registry:
// roz::CreateRemoteSignal reads the attribute children of the node, asks the
// node's proxy for the server's i_NET::RemoteSignal and builds, for the
// element type the node announces, either a push stream
// (isig::RemoteStream<T>) or a data-on-demand source
// (isig::DataOnDemandRemoteSource<T>). The program opens and reads the
// result through the signal library:
//
//   isig::SignalSourceSharedPtr source =
//       roz::CreateRemoteSignal(platform.GetNode(roz::Tokenize("signals.scope")));
//   if (source && source->AccessType() == isig::eAccessStream) {
//     using Traits = isig::SignalTraits<double>;   // BaseType() tells the element type
//     std::unique_ptr<isig::StreamClient<Traits>> client(
//         static_cast<isig::StreamClient<Traits>*>(source->NewSignalClient("me", 0)));
//     client->Open();                               // registers the receiver at the server
//     isig::StreamClient<Traits>::Block block;
//     while (client->Read(block, 1000) == isig::eSuccess) { ... block->buffer, block->meta ... }
//   }
//
// Attribute children of a signal node (the names are the constants below):
//   access_type        LongLong  1 push stream, 2 data on demand
//   group_size         ULong     atoms per group (streams; data on demand uses 1)
//   components_number  ULong     values per atom
//   components_names   String array, or one String of names separated by ","
//   components_type    LongLong  element type: 1 double, 2 float,
//                                3 unsigned long long, 4 long long,
//                                5 unsigned int, 6 int, 7 unsigned short,
//                                8 short, 9 unsigned char, 10 signed char
//   atom_size          ULong     bytes per atom (not read here)
//
// Server restarts: every created source can look its signal object up again
// through the node's proxy (the signal's relative path is kept); a push
// stream is also added to the proxy's sources (RemoteNode::AddReconnectable).
// Once roz::Ping has reconnected the proxy, an open stream registers again
// and its clients receive blocks without doing anything; a closed stream or
// a data-on-demand source finds the new object when it is next used. While
// the proxy is not reconnected, those lookups fail as the proxy's calls do.
//
// Threads: any program thread; the creation makes blocking remote calls (one
// per attribute, plus the signal lookup), bounded by the ORB's time-outs.
// The created sources are the signal library's; what they guarantee is said
// in isig/remote_stream.h and isig/data_on_demand_remote_source.h.
//
// Ownership: the created source holds its own duplicate of the server's
// signal reference and refers to the proxy weakly; the proxy refers to its
// streams weakly. References passed to CreateSignal stay the caller's.
#ifndef VARNEK_CLIENT_REMOTE_SIGNAL_H
#define VARNEK_CLIENT_REMOTE_SIGNAL_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "client/node.h"
#include "isig/remote_signal_ref.h"
#include "isig/signal_source.h"
#include "isig/signal_traits.h"
#include "isig/signal_types.h"
#include "network/i_remote_signal.h"

namespace roz {

// Names of the attribute children of a signal node.
extern const std::string c_accessType;  // "access_type"
extern const std::string c_groupSize;   // "group_size"
extern const std::string c_compNum;     // "components_number"
extern const std::string c_compNames;   // "components_names"
extern const std::string c_compType;    // "components_type"
extern const std::string c_atomSize;    // "atom_size"

// Receiver queue size that the created push streams ask the server for.
inline constexpr size_t c_remoteSignalQueueSize = 256;

// The local source of the signal `node` stands for, or an empty pointer
// when the node is no usable remote signal: a node of a local tree, a node
// the server has no signal for, a missing or unreadable attribute, an
// access kind other than 1 or 2, an element type outside 1 to 10, or no
// components. Failures of the lookup (a node that no longer exists, a
// server that cannot be reached) are traced at Low and give an empty
// pointer too. Throws only what the constructors of the sources throw
// (isig::RemoteStream: "isig: can't activate signal receiver." when the
// ORB is not active).
isig::SignalSourceSharedPtr CreateRemoteSignal(const Node& node);

// Gathers what CreateRemoteSignal needs: the server's signal reference
// (`signal`, nil or a new reference the caller releases) and the five
// attributes. True only when the reference is not nil and every attribute
// was read; each attribute is read even when an earlier one failed. Never
// throws: an istd::Exception is traced at Low and gives false.
bool GetRemoteSignalData(const Node& node, i_NET::_objref_RemoteSignal*& signal,
                         isig::AccessType_e& accessType, uint32_t& components, uint32_t& groupSize,
                         isig::ComponentNames& names, isig::AtomType_e& atomType);

// A new source of element type TRAITS::Element on `signal` (duplicated by
// the source; the reference stays the caller's): for eAccessStream an
// isig::RemoteStream with `groupSize` and `queueSize`, for
// eAccessDataOnDemand an isig::DataOnDemandRemoteSource with group size 1;
// an empty pointer for any other access kind. `resolver` (may be empty)
// goes to the source, which looks its signal object up again with it.
// TRAITS is isig::SignalTraits<T> for one of the ten element types listed
// above (the library holds those instances). Throws what the sources'
// constructors throw.
template <typename TRAITS>
isig::SignalSourceSharedPtr CreateSignal(const std::string& name, isig::AccessType_e accessType,
                                         uint32_t components, uint32_t groupSize,
                                         const isig::ComponentNames& names,
                                         i_NET::_objref_RemoteSignal*& signal, size_t queueSize,
                                         const isig::SignalResolver& resolver = {});

}  // namespace roz

#endif  // VARNEK_CLIENT_REMOTE_SIGNAL_H
