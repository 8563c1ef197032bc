// The vocabulary of the signal library: completion codes, stream states,
// dispatching modes, access kinds, atom type codes, meta-data ids, the
// meta-data map that travels with every block, component names and the
// statistics lines of a source.
//
// Every enumeration has a fixed underlying type and accepts values outside
// its named enumerators: a completion code sent by a server or a meta-data id
// this library does not name travels unchanged.
//
// Thread-safety: plain values and read-only tables; any thread.
#ifndef VARNEK_ISIG_SIGNAL_TYPES_H
#define VARNEK_ISIG_SIGNAL_TYPES_H

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "istd/literals.h"

namespace isig {

// Result of a read and completion code of a cancellation. 0 is success,
// negative values are the library's; a server may end a stream with any
// other value, which the stream's clients then receive as it is.
enum SuccessCode_e : int {
  eSuccess = 0,     // a block was read
  eFailure = -1,    // the read failed (the server refused or could not be reached)
  eNoData = -2,     // nothing to read: a stream without input, a position without data
  eTimeout = -3,    // nothing arrived within the time-out of a read
  eClosed = -4,     // the client is not open, or its source no longer exists
  eCancelled = -5,  // the source was cancelled or shut down (also what code 0 becomes)
};

// State of a stream. A passive stream is idle until it is shut down;
// streams with a dispatching thread also start, run and stop.
enum StreamState : int {
  eStreamIdle = 0,      // no dispatching thread runs
  eStreamStarting = 1,  // the dispatching thread is being started
  eStreamRunning = 2,   // the dispatching thread runs
  eStreamStopped = 3,   // cancelled: dispatching stops
  eStreamShutDown = 4,  // shut down; final
};

// How data enters a stream.
enum DispatchMode_e : int {
  eDispatchPassive = 0,              // pushed from outside through Dispatch (remote streams)
  eDispatchThread = 1,               // a dispatching thread pulls it; every cancellation stops it
  eDispatchThreadUntilShutDown = 2,  // as 1, but only cancellation with eCancelled stops it
};

// How a source hands out its data (the "access_type" attribute of a
// signal node).
enum AccessType_e : unsigned int {
  eAccessStream = 1,        // pushed to the clients' queues
  eAccessDataOnDemand = 2,  // read by the clients at chosen positions
};

// Element type of a signal's atoms (the "components_type" attribute);
// 0 and codes above 10 name no type.
enum AtomType_e : unsigned int {
  eAtomNone = 0,
  eAtomDouble = 1,
  eAtomFloat = 2,
  eAtomUInt64 = 3,  // unsigned long long
  eAtomInt64 = 4,   // long long
  eAtomUInt32 = 5,  // unsigned int
  eAtomInt32 = 6,   // int
  eAtomUInt16 = 7,  // unsigned short
  eAtomInt16 = 8,   // short
  eAtomUInt8 = 9,   // unsigned char
  eAtomInt8 = 10,   // signed char
};

// Ids of the meta-data entries of a block. Servers may send further ids;
// they are kept as they are.
enum SignalMetaId_e : unsigned int {
  eMetaTimestamp = 1,  // time of the block's first atom, nanoseconds since the epoch
  eMetaSequence = 2,   // number of the block, counted by the source from 0
  eMetaPosition = 3,   // position (atom index in the signal) of the block's first atom
};

// The meta-data of one block: id -> 64-bit value.
using SignalMeta = std::map<SignalMetaId_e, long long>;

// Names of the components of one atom, in order.
using ComponentNames = std::vector<std::string>;

// One named line of the statistics of a source: for a client queue, its
// name, the blocks offered to it, the blocks it had to reject and the
// blocks waiting in it; a remote stream reports the server's lines, whose
// counters mean what the server makes them mean.
struct SignalStatItem {
  std::string name;
  unsigned long long total = 0;
  unsigned long long rejected = 0;
  unsigned int asize = 0;
};
using SignalStats = std::vector<SignalStatItem>;

// "<number> (<name>)", e.g. "-5 (Cancelled)"; a code without a name is
// written as its number alone.
std::ostream& operator<<(std::ostream& os, SuccessCode_e code);
// "<number> (<name>)", e.g. "4 (ShutDown)"; an unnamed value as its number.
std::ostream& operator<<(std::ostream& os, StreamState state);

}  // namespace isig

namespace istd {
// Texts "Success", "Failure", "NoData", "Timeout", "Closed", "Cancelled".
template <>
const BiMap<isig::SuccessCode_e> EnumMap<isig::SuccessCode_e>::items;
// Texts "Idle", "Starting", "Running", "Stopped", "ShutDown".
template <>
const BiMap<isig::StreamState> EnumMap<isig::StreamState>::items;
}  // namespace istd

#endif  // VARNEK_ISIG_SIGNAL_TYPES_H
