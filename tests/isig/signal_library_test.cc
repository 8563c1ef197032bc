// The signal library stand-in without an ORB: runtime atom traits,
// the bounded stream queue, the enumeration texts and the wire helpers.
#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/test_util.h"
#include "isig/isig.h"

namespace {

using Traits = isig::SignalTraits<double>;
using Queue = isig::StreamQueue<Traits>;
using testutil::ThrownText;

const char* const c_invalidAtom = "isig: Runtime atom is not valid.";

Queue::Block MakeBlock(long long sequence) {
  return std::make_shared<const Queue::Pair>(isig::Array<Traits>(Traits(1, {"x"}, 1), 1),
                                             isig::SignalMeta{{isig::eMetaSequence, sequence}});
}

template <typename T>
std::string Text(T value) {
  std::ostringstream os;
  os << value;
  return os.str();
}

TEST(SignalTraitsTest, DescribesValidAtomsAndRefusesALengthOfZero) {
  const isig::SignalTraits<short> traits(3, {"x", "y", "z"}, 8);
  EXPECT_TRUE(traits.IsValid());
  EXPECT_EQ(traits.Length(), 3u);
  EXPECT_EQ(traits.GroupSize(), 8u);
  EXPECT_EQ(traits.AtomSize(), 3 * sizeof(short));
  EXPECT_EQ(traits.GetComponentNames(), (isig::ComponentNames{"x", "y", "z"}));

  for (const isig::SignalTraits<short>& invalid :
       {isig::SignalTraits<short>(0, {"x"}, 8), isig::SignalTraits<short>()}) {
    EXPECT_FALSE(invalid.IsValid());
    EXPECT_EQ(invalid.Length(), 0u);
    EXPECT_EQ(ThrownText([&] { invalid.GroupSize(); }), c_invalidAtom);
    EXPECT_EQ(ThrownText([&] { invalid.AtomSize(); }), c_invalidAtom);
    EXPECT_EQ(ThrownText([&] { invalid.GetComponentNames(); }), c_invalidAtom);
  }
}

TEST(StreamQueueTest, BoundedQueueRejectsAndCountsWhatDoesNotFit) {
  Queue queue(Traits(1, {"x"}, 1), "q", 3);
  for (long long i = 0; i < 5; ++i) EXPECT_EQ(queue.Push(MakeBlock(i)), i < 3) << i;
  isig::SignalStatItem stats = queue.Statistics();
  EXPECT_EQ(stats.name, "q");
  EXPECT_EQ(stats.total, 5u);
  EXPECT_EQ(stats.rejected, 2u);
  EXPECT_EQ(stats.asize, 3u);

  // The oldest blocks stayed, in order; the rejected newest are gone.
  Queue::Block block;
  for (long long i = 0; i < 3; ++i) {
    ASSERT_EQ(queue.Read(block, 0), isig::eSuccess);
    EXPECT_EQ(block->meta.at(isig::eMetaSequence), i);
  }
  EXPECT_EQ(queue.Read(block, 10), isig::eTimeout);
  EXPECT_EQ(queue.Statistics().asize, 0u);
  EXPECT_EQ(Queue(Traits(), "zero", 0).Capacity(), 1u);
}

TEST(StreamQueueTest, CancelDrainsQueuedBlocksThenAnswersTheCodeUntilReset) {
  Queue queue(Traits(1, {"x"}, 1), "q", 4);
  ASSERT_TRUE(queue.Push(MakeBlock(7)));
  queue.Cancel(isig::eSuccess);  // 0 becomes eCancelled
  EXPECT_TRUE(queue.IsCancelled());
  EXPECT_EQ(queue.CompletionCode(), isig::eCancelled);
  EXPECT_FALSE(queue.Push(MakeBlock(8)));

  Queue::Block block;
  ASSERT_EQ(queue.Read(block, 0), isig::eSuccess);
  EXPECT_EQ(block->meta.at(isig::eMetaSequence), 7);
  EXPECT_EQ(queue.Read(block, 0), isig::eCancelled);
  queue.Cancel(static_cast<isig::SuccessCode_e>(17));  // a server's own code stays as it is
  EXPECT_EQ(queue.Read(block, 0), 17);

  queue.Reset();
  EXPECT_FALSE(queue.IsCancelled());
  EXPECT_TRUE(queue.Push(MakeBlock(9)));
  EXPECT_EQ(queue.Statistics().rejected, 1u);
}

TEST(StreamQueueTest, CancelWakesAWaitingReader) {
  Queue queue(Traits(1, {"x"}, 1), "q", 4);
  std::atomic<int> result{1};
  std::thread reader([&] {
    Queue::Block block;
    result = queue.Read(block, 60000);
  });
  // The reader either waits already or finds the cancellation at once.
  queue.Cancel(isig::eTimeout);
  reader.join();
  EXPECT_EQ(result, isig::eTimeout);
}

TEST(SignalTypesTest, CodesAndStatesAreWrittenWithNumberAndName) {
  EXPECT_EQ(Text(isig::eCancelled), "-5 (Cancelled)");
  EXPECT_EQ(Text(isig::eSuccess), "0 (Success)");
  EXPECT_EQ(Text(static_cast<isig::SuccessCode_e>(42)), "42");
  EXPECT_EQ(Text(isig::eStreamShutDown), "4 (ShutDown)");
  EXPECT_EQ(Text(isig::eStreamIdle), "0 (Idle)");
  EXPECT_EQ(Text(static_cast<isig::StreamState>(9)), "9");
}

TEST(WireTypesTest, MetaDataAndValuesCrossTheWireUnchanged) {
  i_NET::SignalMeta wire;
  wire.length(3);
  wire[0].id = isig::eMetaPosition;
  wire[0].value = 1;
  wire[1].id = 77;  // an id this library does not name is kept
  wire[1].value = -3;
  wire[2].id = isig::eMetaPosition;  // the last of a repeated id counts
  wire[2].value = 1LL << 40;
  const isig::SignalMeta meta = isig::FromWireMeta(wire);
  EXPECT_EQ(meta, (isig::SignalMeta{{isig::eMetaPosition, 1LL << 40},
                                    {static_cast<isig::SignalMetaId_e>(77), -3}}));
  EXPECT_EQ(isig::FromWireMeta(isig::ToWireMeta(meta)), meta);

  // Int8Buffer holds IDL chars: the signed values keep their bit patterns.
  const std::vector<signed char> values{-128, -1, 0, 127};
  i_NET::Int8Buffer buffer;
  isig::FillBuffer(buffer, values.data(), 4);
  EXPECT_EQ(buffer[1], 255);
  std::vector<signed char> scratch;
  const signed char* back = isig::ValuesOf<signed char>(buffer, scratch);
  EXPECT_EQ(std::vector<signed char>(back, back + 4), values);

  // Where the wire element is the value type itself, no copy is made.
  i_NET::DoubleBuffer doubles;
  const double d[] = {1.5, -2.5};
  isig::FillBuffer(doubles, d, 2);
  std::vector<double> unused;
  EXPECT_EQ(isig::ValuesOf<double>(doubles, unused), doubles.get_buffer());
  EXPECT_TRUE(unused.empty());
}

}  // namespace
