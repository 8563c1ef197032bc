// The signals of regd: one i_RemoteSignal_impl per signal node, which
// registers receivers and pushes blocks of generated data to each of them
// on a Pusher thread (push streams), and answers data-on-demand reads.
//
// Blocks hold `group size` atoms of `components` values each (the group
// size the receiver registered with, or the node's when it sent 0). Atom k
// of the signal holds the generator's samples (k, 0), (k, 1), ...; a
// receiver's first block starts at atom 0. Every block travels with the
// meta-data pairs
//   c_metaTimestamp     send time, nanoseconds since the epoch (id 1)
//   c_metaBlockCounter  number of the block for this receiver, 0, 1, ... (id 2)
//   c_metaFirstAtom     signal index of the block's first atom (id 3)
// (the ids of the signal library's meta-data enumeration: timestamp,
// sequence, position). A data-on-demand read returns the atoms
// [start, start + count) (fewer when the node has a length and the read
// reaches past it) with the same meta-data (the block counter counts the
// signal's reads); it answers 0 when it delivers atoms (or none were asked
// for) and 1 when the position lies beyond the signal's end. The hook
// dispatch_delay_ms delays every block: each push and each such answer.
//
// RegisterReceiver answers
//   0 registered            1 this receiver is registered already
//   2 refused (test hook)   3 regd is shutting down
//   4 nil receiver          5 not a push signal (data on demand only)
// On shutdown every registered receiver gets Cancel(c_cancelShutdown).
//
// Threads: the operations run on ORB threads; each pusher on its own
// thread, with no lock held while it calls its receiver; Shutdown on the
// main thread. Lock: the servant's receiver mutex, a leaf; pushers are
// stopped and joined outside it.
//
// Ownership: the server creates, activates and deactivates the servants;
// each servant owns its pushers and their receiver references.
#ifndef VARNEK_TOOLS_REGD_SIGNALS_H
#define VARNEK_TOOLS_REGD_SIGNALS_H

#include <memory>
#include <mutex>
#include <vector>

#include "counters.h"
#include "network/i_remote_signal.h"
#include "tree.h"
#include "worker.h"

namespace regd {

inline constexpr CORBA::ULong c_metaTimestamp = 1;
inline constexpr CORBA::ULong c_metaBlockCounter = 2;
inline constexpr CORBA::ULong c_metaFirstAtom = 3;
// The completion code of the Cancel that ends every stream on shutdown.
inline constexpr CORBA::Long c_cancelShutdown = -5;
// The most atoms one data-on-demand read answers.
inline constexpr CORBA::ULong c_maxDodAtoms = 1u << 20;

// Pushes the blocks of one signal to one receiver.
class Pusher : public Worker {
 public:
  Pusher(const RegNode& node, i_NET::SignalReceiver_ptr receiver, unsigned int groupSize,
         Counters& counters, unsigned int callTimeoutMs);

  i_NET::SignalReceiver_ptr Receiver() const { return m_receiver.in(); }
  // Blocks delivered and blocks whose delivery failed.
  unsigned long long Total() const { return m_total.load(); }
  unsigned long long Rejected() const { return m_rejected.load(); }
  // True when the stream ended on its own: the receiver failed, or the
  // cancel hook ended it.
  bool Ended() const { return m_ended.load(); }

 protected:
  void Run() override;

 private:
  // Sleeps until `until`; false when stopped first.
  bool WaitUntil(Clock::time_point until);

  const RegNode& m_node;
  const SignalDescription& m_description;
  i_NET::SignalReceiver_var m_receiver;
  unsigned int m_groupSize;
  Counters& m_counters;
  std::atomic<unsigned long long> m_total{0};
  std::atomic<unsigned long long> m_rejected{0};
  std::atomic<bool> m_ended{false};
};

class i_RemoteSignal_impl : public POA_i_NET::RemoteSignal {
 public:
  i_RemoteSignal_impl(const RegNode& node, Counters& counters, unsigned int callTimeoutMs);
  ~i_RemoteSignal_impl() override;

  CORBA::ULong DodReadI8(i_NET::SignalReceiver_ptr, CORBA::ULongLong, CORBA::ULong,
                         i_NET::Int8Buffer_out, i_NET::SignalMeta_out) override;
  CORBA::ULong DodReadUI8(i_NET::SignalReceiver_ptr, CORBA::ULongLong, CORBA::ULong,
                          i_NET::UInt8Buffer_out, i_NET::SignalMeta_out) override;
  CORBA::ULong DodReadI16(i_NET::SignalReceiver_ptr, CORBA::ULongLong, CORBA::ULong,
                          i_NET::Int16Buffer_out, i_NET::SignalMeta_out) override;
  CORBA::ULong DodReadUI16(i_NET::SignalReceiver_ptr, CORBA::ULongLong, CORBA::ULong,
                           i_NET::UInt16Buffer_out, i_NET::SignalMeta_out) override;
  CORBA::ULong DodReadI32(i_NET::SignalReceiver_ptr, CORBA::ULongLong, CORBA::ULong,
                          i_NET::Int32Buffer_out, i_NET::SignalMeta_out) override;
  CORBA::ULong DodReadUI32(i_NET::SignalReceiver_ptr, CORBA::ULongLong, CORBA::ULong,
                           i_NET::UInt32Buffer_out, i_NET::SignalMeta_out) override;
  CORBA::ULong DodReadI64(i_NET::SignalReceiver_ptr, CORBA::ULongLong, CORBA::ULong,
                          i_NET::Int64Buffer_out, i_NET::SignalMeta_out) override;
  CORBA::ULong DodReadUI64(i_NET::SignalReceiver_ptr, CORBA::ULongLong, CORBA::ULong,
                           i_NET::UInt64Buffer_out, i_NET::SignalMeta_out) override;
  CORBA::ULong DodReadFloat(i_NET::SignalReceiver_ptr, CORBA::ULongLong, CORBA::ULong,
                            i_NET::FloatBuffer_out, i_NET::SignalMeta_out) override;
  CORBA::ULong DodReadDouble(i_NET::SignalReceiver_ptr, CORBA::ULongLong, CORBA::ULong,
                             i_NET::DoubleBuffer_out, i_NET::SignalMeta_out) override;

  CORBA::ULong RegisterReceiver(i_NET::SignalReceiver_ptr receiver, CORBA::ULong mode,
                                CORBA::ULong groupSize, CORBA::LongLong offset,
                                CORBA::ULong queueSize) override;
  void UnregisterReceiver(i_NET::SignalReceiver_ptr receiver) override;
  i_NET::SignalStats* GetStatistics(i_NET::SignalReceiver_ptr receiver) override;

  // Refuses later registrations, stops every pusher and sends each
  // receiver Cancel(code). Main thread, before the ORB shuts down.
  void Shutdown(CORBA::Long code);

 private:
  // One data-on-demand read of element type T carried in Buffer.
  template <typename T, typename Buffer, typename Out>
  CORBA::ULong DodRead(int code, CORBA::ULongLong start, CORBA::ULong count, Out& data,
                       i_NET::SignalMeta_out& meta);
  // Takes the pushers out of the list under the mutex; stops and joins them
  // outside it.
  static void StopAll(std::vector<std::unique_ptr<Pusher>>& pushers);

  const RegNode& m_node;
  const SignalDescription& m_description;
  Counters& m_counters;
  unsigned int m_callTimeoutMs;
  std::mutex m_mutex;
  std::vector<std::unique_ptr<Pusher>> m_pushers;  // guarded by m_mutex
  unsigned long long m_reads = 0;                  // guarded by m_mutex
  bool m_shutdown = false;                         // guarded by m_mutex
};

}  // namespace regd

#endif  // VARNEK_TOOLS_REGD_SIGNALS_H
