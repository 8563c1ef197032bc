// Test helpers of the remote signal tests: an ORB for the test process
// (OrbTest) and FakeRemoteSignal, an in-process i_NET::RemoteSignal servant
// that records registrations, pushes blocks to its registered receivers on
// the calling thread (calls to a servant of the same ORB run on the
// caller's thread, so a push has been dispatched when Push returns) and
// answers data-on-demand reads with computed values: component c of atom p
// is Value<T>(p, c), the meta-data holds the position.
//
// Must run inside the loopback-only network namespace of ./dev.sh test.
#ifndef VARNEK_TESTS_ISIG_FAKE_REMOTE_SIGNAL_H
#define VARNEK_TESTS_ISIG_FAKE_REMOTE_SIGNAL_H

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "isig/isig.h"
#include "istd/trace_fixture.h"
#include "network/inet.h"

namespace isigtest {

// The ten element types of signals, for typed tests.
using ElementTypes = ::testing::Types<signed char, unsigned char, short, unsigned short, int,
                                      unsigned int, long long, unsigned long long, float, double>;

// Component `component` of atom `position` as served by the fake; small
// enough for every element type.
template <typename T>
T Value(unsigned long long position, unsigned int component) {
  return static_cast<T>((position % 50) * 2 + component);
}

class FakeRemoteSignal : public POA_i_NET::RemoteSignal {
 public:
  explicit FakeRemoteSignal(unsigned int components) : m_components(components) {}

  // --- i_NET::RemoteSignal ---
  CORBA::ULong RegisterReceiver(i_NET::SignalReceiver_ptr receiver, CORBA::ULong mode,
                                CORBA::ULong groupSize, CORBA::LongLong offset,
                                CORBA::ULong queueSize) override {
    std::vector<double> first;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      ++m_registerCalls;
      m_lastMode = mode;
      m_lastGroupSize = groupSize;
      m_lastOffset = offset;
      m_lastQueueSize = queueSize;
      if (m_refuse) return 1;
      m_receivers.push_back(i_NET::SignalReceiver::_duplicate(receiver));
      first = m_firstBlock;
    }
    if (!first.empty()) {
      // A server that pushes at once, before the registration has returned.
      isig::WireType<double>::Buffer buffer;
      isig::FillBuffer(buffer, first.data(), static_cast<CORBA::ULong>(first.size()));
      isig::WireType<double>::Dispatch(receiver, buffer, isig::ToWireMeta({}));
    }
    return 0;
  }
  void UnregisterReceiver(i_NET::SignalReceiver_ptr receiver) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_unregisterCalls;
    for (auto it = m_receivers.begin(); it != m_receivers.end(); ++it) {
      if ((*it)->_is_equivalent(receiver)) {
        m_receivers.erase(it);
        break;
      }
    }
  }
  i_NET::SignalStats* GetStatistics(i_NET::SignalReceiver_ptr receiver) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    bool known = false;
    for (auto& r : m_receivers) known = known || r->_is_equivalent(receiver);
    if (!known) throw i_NET::NotFound("receiver not registered");
    auto* stats = new i_NET::SignalStats;
    stats->length(2);
    (*stats)[0].name = CORBA::string_dup("pushed");
    (*stats)[0].total = m_pushes;
    (*stats)[0].rejected = 3;
    (*stats)[0].asize = 16;
    (*stats)[1].name = CORBA::string_dup("receivers");
    (*stats)[1].total = m_receivers.size();
    (*stats)[1].rejected = 0;
    (*stats)[1].asize = 0;
    return stats;
  }
#define FAKE_DOD_READ(OP, T)                                                                \
  CORBA::ULong OP(i_NET::SignalReceiver_ptr, CORBA::ULongLong start, CORBA::ULong count,    \
                  isig::WireType<T>::BufferOut data, i_NET::SignalMeta_out meta) override { \
    return Serve<T>(start, count, data, meta);                                              \
  }
  FAKE_DOD_READ(DodReadI8, signed char)
  FAKE_DOD_READ(DodReadUI8, unsigned char)
  FAKE_DOD_READ(DodReadI16, short)
  FAKE_DOD_READ(DodReadUI16, unsigned short)
  FAKE_DOD_READ(DodReadI32, int)
  FAKE_DOD_READ(DodReadUI32, unsigned int)
  FAKE_DOD_READ(DodReadI64, long long)
  FAKE_DOD_READ(DodReadUI64, unsigned long long)
  FAKE_DOD_READ(DodReadFloat, float)
  FAKE_DOD_READ(DodReadDouble, double)
#undef FAKE_DOD_READ

  // --- test side ---
  // Pushes `values` with `meta` to every registered receiver through the
  // Dispatch operation of T; returns how many took it (a receiver that is
  // gone raises, which is counted as not taken).
  template <typename T>
  int Push(const std::vector<T>& values, const isig::SignalMeta& meta) {
    typename isig::WireType<T>::Buffer buffer;
    isig::FillBuffer(buffer, values.data(), static_cast<CORBA::ULong>(values.size()));
    const i_NET::SignalMeta wireMeta = isig::ToWireMeta(meta);
    int taken = 0;
    for (i_NET::SignalReceiver_var& receiver : Receivers()) {
      try {
        isig::WireType<T>::Dispatch(receiver.in(), buffer, wireMeta);
        ++taken;
      } catch (const CORBA::SystemException&) {
      }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pushes += taken;
    return taken;
  }
  // Makes every later registration push `values` (doubles) to the new
  // receiver before it returns.
  void PushWhenRegistered(const std::vector<double>& values) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_firstBlock = values;
  }
  // Ends the stream of every registered receiver with `code`.
  void CancelAll(CORBA::Long code) {
    for (i_NET::SignalReceiver_var& receiver : Receivers()) receiver->Cancel(code);
  }

  // Makes data-on-demand reads wait until ReleaseReads.
  void HoldReads() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_holdReads = true;
  }
  void ReleaseReads() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_holdReads = false;
    m_changed.notify_all();
  }
  // Waits until `count` reads have arrived in total.
  void WaitForReads(int count) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [&] { return m_reads >= count; });
  }
  void SetReadResult(CORBA::ULong result) { m_readResult = result; }
  void SetRaiseInvalidType(bool raise) { m_raiseInvalidType = raise; }
  void SetRefuse(bool refuse) { m_refuse = refuse; }
  // Makes reads answer a buffer claiming more values than one message can
  // carry (allocated, never filled), as a faulty server's bytes can.
  void SetOverlongAnswer(bool overlong) { m_overlong = overlong; }

  int RegisterCalls() const { return Locked(m_registerCalls); }
  int UnregisterCalls() const { return Locked(m_unregisterCalls); }
  size_t ReceiverCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_receivers.size();
  }
  CORBA::ULong LastMode() const { return Locked(m_lastMode); }
  CORBA::ULong LastGroupSize() const { return Locked(m_lastGroupSize); }
  CORBA::LongLong LastOffset() const { return Locked(m_lastOffset); }
  CORBA::ULong LastQueueSize() const { return Locked(m_lastQueueSize); }

 private:
  template <typename V>
  V Locked(const V& value) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return value;
  }
  std::vector<i_NET::SignalReceiver_var> Receivers() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_receivers;  // _var copies duplicate the references
  }
  template <typename T, typename Out>
  CORBA::ULong Serve(CORBA::ULongLong start, CORBA::ULong count, Out data,
                     i_NET::SignalMeta_out meta) {
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      ++m_reads;
      m_changed.notify_all();
      m_changed.wait(lock, [this] { return !m_holdReads; });
    }
    if (m_raiseInvalidType) throw i_NET::InvalidType("not my type");
    std::vector<T> values;
    for (CORBA::ULong a = 0; a < count; ++a) {
      for (unsigned int c = 0; c < m_components; ++c) values.push_back(Value<T>(start + a, c));
    }
    auto* buffer = new typename isig::WireType<T>::Buffer;
    isig::FillBuffer(*buffer, values.data(), static_cast<CORBA::ULong>(values.size()));
    if (m_overlong) buffer->length(inet::OrbManager::c_defaultMaxMsgSize / sizeof(T) + 1);
    data = buffer;
    meta = new i_NET::SignalMeta(
        isig::ToWireMeta({{isig::eMetaPosition, static_cast<long long>(start)}}));
    return m_readResult;
  }

  const unsigned int m_components;
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<i_NET::SignalReceiver_var> m_receivers;
  int m_registerCalls = 0;
  int m_unregisterCalls = 0;
  CORBA::ULong m_lastMode = 99;
  CORBA::ULong m_lastGroupSize = 0;
  CORBA::LongLong m_lastOffset = 99;
  CORBA::ULong m_lastQueueSize = 0;
  unsigned long long m_pushes = 0;
  int m_reads = 0;
  bool m_holdReads = false;
  std::vector<double> m_firstBlock;  // pushed by every registration
  std::atomic<CORBA::ULong> m_readResult{0};
  std::atomic<bool> m_raiseInvalidType{false};
  std::atomic<bool> m_refuse{false};
  std::atomic<bool> m_overlong{false};
};

// A test with the process's ORB (started once, kept until process exit)
// and a trace into a scratch file. MakeSignal activates a fake server and
// returns its reference; the fake is deactivated at the end of the test.
class OrbTest : public TraceFixture {
 protected:
  static void SetUpTestSuite() {
    inet::OrbManager::Init(0, nullptr, 0, inet::OrbManager::c_defaultMaxMsgSize);
  }
  void TearDown() override {
    while (!m_fakes.empty()) DeactivateFake(m_fakes.back());
    for (i_NET::RemoteSignal_ptr ref : m_refs) CORBA::release(ref);
    m_refs.clear();
    TraceFixture::TearDown();
  }

  // A new active fake with `components` values per atom; `ref` receives
  // its reference (owned by the test).
  FakeRemoteSignal* MakeSignal(unsigned int components, i_NET::RemoteSignal_ptr& ref) {
    auto* fake = new FakeRemoteSignal(components);
    inet::OM()->Activate(fake);
    m_fakes.push_back(fake);
    ref = fake->_this();
    m_refs.push_back(ref);
    return fake;
  }
  // Takes the fake off the ORB (its reference then reaches nobody).
  void DeactivateFake(FakeRemoteSignal* fake) {
    for (auto it = m_fakes.begin(); it != m_fakes.end(); ++it) {
      if (*it == fake) {
        m_fakes.erase(it);
        inet::OM()->Deactivate(fake);
        return;
      }
    }
  }

 private:
  std::vector<FakeRemoteSignal*> m_fakes;
  std::vector<i_NET::RemoteSignal_ptr> m_refs;
};

}  // namespace isigtest

#endif  // VARNEK_TESTS_ISIG_FAKE_REMOTE_SIGNAL_H
