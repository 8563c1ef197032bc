// The receiver servant: every Dispatch operation of i_NET::SignalReceiver
// reaches the Dispatch of its element type with the meta-data as a map,
// Cancel(long) reaches Cancel(code), and Destroy waits for a running call
// and leaves nothing to call. The servant is called through its object
// reference (same-process calls run on the caller's thread).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

#include "isig/fake_remote_signal.h"

namespace {

// Records what reaches it: the type and values of the last block (as
// doubles), its meta-data, the cancellation codes. Optionally holds the
// first dispatch until released.
class RecordingTarget : public isig::SignalDispatchBase {
 public:
#define RECORD(T)                                                                           \
  void Dispatch(const T* data, unsigned int count, const isig::SignalMeta& meta) override { \
    Record(typeid(T).name(), data, count, meta);                                            \
  }
  RECORD(signed char)
  RECORD(unsigned char)
  RECORD(short)
  RECORD(unsigned short)
  RECORD(int)
  RECORD(unsigned int)
  RECORD(long long)
  RECORD(unsigned long long)
  RECORD(float)
  RECORD(double)
#undef RECORD
  void Cancel(isig::SuccessCode_e code) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_codes.push_back(code);
  }

  void Hold() { m_hold = true; }
  void Release() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hold = false;
    m_changed.notify_all();
  }
  void WaitUntilEntered() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_entered; });
  }

  std::string m_type;
  std::vector<double> m_values;
  isig::SignalMeta m_meta;
  std::vector<int> m_codes;
  int m_blocks = 0;

 private:
  template <typename T>
  void Record(const char* type, const T* data, unsigned int count, const isig::SignalMeta& meta) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_entered = true;
    m_changed.notify_all();
    m_changed.wait(lock, [this] { return !m_hold; });
    m_type = type;
    m_values.assign(data, data + count);
    m_meta = meta;
    ++m_blocks;
  }

  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_hold = false;
  bool m_entered = false;
};

class SignalReceiverTest : public isigtest::OrbTest {};

template <typename T>
class SignalReceiverTypedTest : public isigtest::OrbTest {};
TYPED_TEST_SUITE(SignalReceiverTypedTest, isigtest::ElementTypes);

TYPED_TEST(SignalReceiverTypedTest, EachDispatchReachesTheDispatchOfItsElementType) {
  using T = TypeParam;
  RecordingTarget target;
  isig::i_SignalReceiver_impl* receiver = isig::i_SignalReceiver_impl::Create(&target);
  i_NET::SignalReceiver_var ref = receiver->_this();

  const std::vector<T> values{static_cast<T>(1), static_cast<T>(100), static_cast<T>(-3)};
  typename isig::WireType<T>::Buffer buffer;
  isig::FillBuffer(buffer, values.data(), 3);
  isig::WireType<T>::Dispatch(
      ref.in(), buffer, isig::ToWireMeta({{isig::eMetaSequence, 5}, {isig::eMetaTimestamp, -1}}));

  EXPECT_EQ(target.m_blocks, 1);
  EXPECT_EQ(target.m_type, typeid(T).name());
  EXPECT_EQ(target.m_values, std::vector<double>(values.begin(), values.end()));
  EXPECT_EQ(target.m_meta,
            (isig::SignalMeta{{isig::eMetaSequence, 5}, {isig::eMetaTimestamp, -1}}));
  isig::i_SignalReceiver_impl::Destroy(receiver);
}

// The server's code is passed on, except the two codes with which a read
// answers without the stream having ended (a block, a time-out): with
// those, clients would go on waiting for blocks that no longer come.
TEST_F(SignalReceiverTest, CancelPassesTheServersCodeOnUnlessAReadCouldMistakeIt) {
  RecordingTarget target;
  isig::i_SignalReceiver_impl* receiver = isig::i_SignalReceiver_impl::Create(&target);
  i_NET::SignalReceiver_var ref = receiver->_this();
  ref->Cancel(0);
  ref->Cancel(isig::eTimeout);
  ref->Cancel(-7);
  ref->Cancel(isig::eFailure);
  EXPECT_EQ(target.m_codes, (std::vector<int>{isig::eCancelled, isig::eCancelled, -7, isig::eFailure}));
  isig::i_SignalReceiver_impl::Destroy(receiver);
}

// A block whose sequence claims more values than one message can carry
// (omniORB's overrun check wraps around for such lengths, so it arrives
// with nothing behind it) is dropped before anything reads it.
TEST_F(SignalReceiverTest, ABlockLongerThanAMessageCanCarryIsDropped) {
  RecordingTarget target;
  isig::i_SignalReceiver_impl* receiver = isig::i_SignalReceiver_impl::Create(&target);
  i_NET::SignalReceiver_var ref = receiver->_this();
  i_NET::Int8Buffer huge;
  huge.length(inet::OrbManager::c_defaultMaxMsgSize + 1);  // never touched
  ref->DispatchInt8(huge, i_NET::SignalMeta());
  EXPECT_EQ(target.m_blocks, 0);
  i_NET::Int8Buffer fits;
  fits.length(2);
  ref->DispatchInt8(fits, i_NET::SignalMeta());
  EXPECT_EQ(target.m_blocks, 1);
  isig::i_SignalReceiver_impl::Destroy(receiver);
}

TEST_F(SignalReceiverTest, AfterDestroyTheServerFindsNoObjectAndNothingIsForwarded) {
  RecordingTarget target;
  isig::i_SignalReceiver_impl* receiver = isig::i_SignalReceiver_impl::Create(&target);
  i_NET::SignalReceiver_var ref = receiver->_this();
  isig::i_SignalReceiver_impl::Destroy(receiver);
  isig::i_SignalReceiver_impl::Destroy(nullptr);  // ignored

  i_NET::DoubleBuffer buffer;
  buffer.length(1);
  EXPECT_THROW(ref->DispatchDouble(buffer, i_NET::SignalMeta()), CORBA::OBJECT_NOT_EXIST);
  EXPECT_THROW(ref->Cancel(3), CORBA::OBJECT_NOT_EXIST);
  EXPECT_EQ(target.m_blocks, 0);
  EXPECT_TRUE(target.m_codes.empty());
}

TEST_F(SignalReceiverTest, DestroyWaitsForARunningDispatch) {
  RecordingTarget target;
  target.Hold();
  isig::i_SignalReceiver_impl* receiver = isig::i_SignalReceiver_impl::Create(&target);
  i_NET::SignalReceiver_var ref = receiver->_this();

  std::thread server([&] {
    i_NET::FloatBuffer buffer;
    buffer.length(2);
    ref->DispatchFloat(buffer, i_NET::SignalMeta());
  });
  target.WaitUntilEntered();
  std::atomic<bool> destroyed{false};
  std::thread owner([&] {
    isig::i_SignalReceiver_impl::Destroy(receiver);
    destroyed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(destroyed) << "Destroy returned while a dispatch was still running";
  target.Release();
  owner.join();
  server.join();
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(target.m_blocks, 1);
}

}  // namespace
