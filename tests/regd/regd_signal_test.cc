// regd's signals: receivers registered with a push signal get blocks with
// meta-data until they unregister or regd shuts down; data-on-demand reads
// answer blocks at a position.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "regd/regd_client.h"

namespace {

using regdtest::Client;
using regdtest::Counter;
using regdtest::Names;
using regdtest::Raised;
using regdtest::Read;
using testsupport::Active;
using testsupport::SignalSink;

// The ids regd puts into the meta-data of every block.
constexpr CORBA::ULong c_timestamp = 1;
constexpr CORBA::ULong c_blockCounter = 2;
constexpr CORBA::ULong c_firstAtom = 3;

const double c_pi = 3.14159265358979323846;

class RegdSignalTest : public testsupport::RegdTest {
 protected:
  void Start() {
    StartRegd();
    app = Application();
    client = std::make_unique<Client>(app);
  }
  i_NET::RemoteSignal_ptr Signal(const std::string& path) {
    return client->root->GetRemoteSignal(Names(path));
  }
  i_NET::Application_var app;
  std::unique_ptr<Client> client;
};

TEST_F(RegdSignalTest, RegisteredReceiverGetsBlocksUntilItUnregisters) {
  Start();
  // What a client reads before it opens the stream.
  EXPECT_EQ(Read(client->root, "signals.scope.access_type", CORBA::_tc_longlong).Get<int64_t>(), 1);
  EXPECT_EQ(Read(client->root, "signals.scope.group_size", CORBA::_tc_ulong).Get<uint32_t>(), 64u);
  EXPECT_EQ(Read(client->root, "signals.scope.components_number", CORBA::_tc_ulong).Get<uint32_t>(),
            2u);
  EXPECT_EQ(Read(client->root, "signals.scope.components_names", CORBA::_tc_string)
                .Get<std::vector<std::string>>(),
            (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(Read(client->root, "signals.scope.components_type", CORBA::_tc_longlong).Get<int64_t>(),
            1);
  EXPECT_EQ(client->root->GetFlags(Names("signals.scope.access_type")),
            roz::enums::eRead | roz::enums::eAttribute);

  i_NET::RemoteSignal_var scope = Signal("signals.scope");
  ASSERT_FALSE(CORBA::is_nil(scope));
  Active<SignalSink> sink;
  i_NET::SignalReceiver_var receiver = sink.Ref();
  ASSERT_EQ(scope->RegisterReceiver(receiver, 0, 64, 0, 256), 0u);
  EXPECT_NE(scope->RegisterReceiver(receiver, 0, 64, 0, 256), 0u) << "registered already";
  ASSERT_TRUE(sink->WaitForBlocks(3));
  EXPECT_EQ(Counter(client->root, "receivers"), 1u);

  const std::vector<SignalSink::Block> blocks = sink->Blocks();
  for (size_t b = 0; b < 3; ++b) {
    EXPECT_EQ(blocks[b].type, "Double");
    ASSERT_EQ(blocks[b].values.size(), 64u * 2) << "group size x components";
    EXPECT_EQ(blocks[b].meta.at(c_blockCounter), static_cast<CORBA::LongLong>(b));
    EXPECT_EQ(blocks[b].meta.at(c_firstAtom), static_cast<CORBA::LongLong>(64 * b));
    EXPECT_GT(blocks[b].meta.at(c_timestamp), 1600000000000000000LL) << "ns since the epoch";
  }
  // x and y of atom 65 (block 1, atom 1): a sine of period 256 and its cosine.
  EXPECT_NEAR(blocks[1].values[2], std::sin(2 * c_pi * 65 / 256), 1e-12);
  EXPECT_NEAR(blocks[1].values[3], std::cos(2 * c_pi * 65 / 256), 1e-12);

  // A block is counted once its Dispatch call has returned.
  i_NET::SignalStats_var stats;
  ASSERT_TRUE(testsupport::WaitUntil([&] {
    stats = scope->GetStatistics(receiver);
    return stats->length() == 1 && stats[0].total >= 3;
  }));
  EXPECT_STREQ(stats[0].name.in(), "scope");
  EXPECT_EQ(stats[0].rejected, 0u);
  EXPECT_EQ(stats[0].asize, 16u);

  // After UnregisterReceiver returns no block arrives any more.
  scope->UnregisterReceiver(receiver);
  const size_t count = sink->BlockCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // four block periods
  EXPECT_EQ(sink->BlockCount(), count);
  EXPECT_EQ(Counter(client->root, "receivers"), 0u);
  EXPECT_EQ(Raised([&] { i_NET::SignalStats_var s = scope->GetStatistics(receiver); }),
            "NotFound: receiver not registered: signals.scope");
  scope->UnregisterReceiver(receiver);  // unknown now: nothing happens

  // A smaller group size of the receiver's own, and a fresh start.
  EXPECT_EQ(scope->RegisterReceiver(receiver, 0, 16, 0, 4), 0u);
  ASSERT_TRUE(sink->WaitForBlocks(count + 1));
  const SignalSink::Block fresh = sink->Blocks()[count];
  EXPECT_EQ(fresh.values.size(), 32u);
  EXPECT_EQ(fresh.meta.at(c_blockCounter), 0);

  // Not a signal: nil; no receiver: NotFound.
  i_NET::RemoteSignal_var none = Signal("settings.gain");
  EXPECT_TRUE(CORBA::is_nil(none));
  Active<SignalSink> stranger;
  i_NET::SignalReceiver_var strangerRef = stranger.Ref();
  EXPECT_EQ(
      Raised([&] { i_NET::SignalStats_var s = scope->GetStatistics(strangerRef); }).substr(0, 9),
      "NotFound:");
}

TEST_F(RegdSignalTest, ShutdownCancelsEveryReceiver) {
  Start();
  i_NET::RemoteSignal_var scope = Signal("signals.scope");
  Active<SignalSink> first;
  Active<SignalSink> second;
  i_NET::SignalReceiver_var firstRef = first.Ref();
  i_NET::SignalReceiver_var secondRef = second.Ref();
  ASSERT_EQ(scope->RegisterReceiver(firstRef, 0, 0, 0, 256), 0u);
  ASSERT_EQ(scope->RegisterReceiver(secondRef, 0, 0, 0, 256), 0u);
  ASSERT_TRUE(first->WaitForBlocks(1));
  ASSERT_TRUE(second->WaitForBlocks(1));
  EXPECT_EQ(first->Blocks()[0].values.size(), 128u) << "group size 0: the node's";
  EXPECT_EQ(Regd().Stop(), 0);
  EXPECT_EQ(first->Cancels(), (std::vector<CORBA::Long>{-5}));
  EXPECT_EQ(second->Cancels(), (std::vector<CORBA::Long>{-5}));
}

TEST_F(RegdSignalTest, DataOnDemandReadsAnswerBlocksAtThePosition) {
  Start();
  EXPECT_EQ(Read(client->root, "signals.history.access_type", CORBA::_tc_longlong).Get<int64_t>(),
            2);
  EXPECT_EQ(
      Read(client->root, "signals.history.components_names", CORBA::_tc_string).Get<std::string>(),
      "temperature");
  EXPECT_EQ(
      Read(client->root, "signals.history.components_type", CORBA::_tc_longlong).Get<int64_t>(), 2);
  i_NET::RemoteSignal_var history = Signal("signals.history");
  Active<SignalSink> sink;
  i_NET::SignalReceiver_var receiver = sink.Ref();

  i_NET::FloatBuffer_var data;
  i_NET::SignalMeta_var meta;
  EXPECT_EQ(history->DodReadFloat(receiver, 1000, 10, data.out(), meta.out()), 0u);
  ASSERT_EQ(data->length(), 10u);
  std::map<CORBA::ULong, CORBA::LongLong> pairs;
  for (CORBA::ULong i = 0; i < meta->length(); ++i) pairs[meta[i].id] = meta[i].value;
  EXPECT_EQ(pairs[c_firstAtom], 1000);
  const float first = data[0];
  EXPECT_NEAR(first, 21.5, 0.5);
  EXPECT_EQ(history->DodReadFloat(receiver, 1000, 1, data.out(), meta.out()), 0u);
  EXPECT_EQ(data[0], first) << "the same position gives the same data";
  // Reaching past the end of the signal: what there is, result 0; nothing
  // at all (beyond the end): result 1.
  EXPECT_EQ(history->DodReadFloat(receiver, 99995, 10, data.out(), meta.out()), 0u);
  EXPECT_EQ(data->length(), 5u);
  EXPECT_EQ(history->DodReadFloat(receiver, 200000, 10, data.out(), meta.out()), 1u);
  EXPECT_EQ(data->length(), 0u);

  i_NET::DoubleBuffer_var doubles;
  EXPECT_EQ(Raised([&] { history->DodReadDouble(receiver, 0, 1, doubles.out(), meta.out()); }),
            "InvalidType: signal signals.history holds float, not double");
  EXPECT_EQ(history->RegisterReceiver(receiver, 0, 1, 0, 256), 5u) << "not a push signal";
}

TEST_F(RegdSignalTest, EveryElementTypeTravelsInItsOwnBuffer) {
  Regd().Options().tree = Regd().WriteTree("signals.json", R"({
    "name": "r",
    "children": [
      {"name": "bytes", "flags": ["read", "signal"],
       "signal": {"element": "int8", "components": ["a"], "group_size": 4, "block_rate_hz": 0,
                  "generator": {"kind": "ramp", "offset": 125, "step": 1}}},
      {"name": "words", "flags": ["read", "signal"],
       "signal": {"element": "uint16", "components": ["a", "b"], "group_size": 2, "block_rate_hz": 0,
                  "generator": {"kind": "ramp", "offset": -1, "step": 1}}},
      {"name": "big", "flags": ["read", "signal"],
       "signal": {"access": "dod", "element": "uint64", "components": ["a"],
                  "generator": {"kind": "ramp", "offset": 0, "step": 1000}}}
    ]})");
  Start();
  Active<SignalSink> bytesSink;
  Active<SignalSink> wordsSink;
  i_NET::SignalReceiver_var bytesRef = bytesSink.Ref();
  i_NET::SignalReceiver_var wordsRef = wordsSink.Ref();
  i_NET::RemoteSignal_var bytes = Signal("bytes");
  i_NET::RemoteSignal_var words = Signal("words");
  ASSERT_EQ(bytes->RegisterReceiver(bytesRef, 0, 0, 0, 256), 0u);
  ASSERT_EQ(words->RegisterReceiver(wordsRef, 0, 0, 0, 256), 0u);
  ASSERT_TRUE(bytesSink->WaitForBlocks(2));
  ASSERT_TRUE(wordsSink->WaitForBlocks(1));
  bytes->UnregisterReceiver(bytesRef);
  words->UnregisterReceiver(wordsRef);
  // int8: 125, 126, 127, then clamped at 127.
  EXPECT_EQ(bytesSink->Blocks()[0].type, "Int8");
  EXPECT_EQ(bytesSink->Blocks()[0].values, (std::vector<double>{125, 126, 127, 127}));
  // uint16, two components: atom 0 is (-1 -> 0, 0), atom 1 is (0, 1).
  EXPECT_EQ(wordsSink->Blocks()[0].type, "UInt16");
  EXPECT_EQ(wordsSink->Blocks()[0].values, (std::vector<double>{0, 0, 0, 1}));

  i_NET::RemoteSignal_var big = Signal("big");
  i_NET::UInt64Buffer_var data;
  i_NET::SignalMeta_var meta;
  EXPECT_EQ(big->DodReadUI64(bytesRef, 7, 2, data.out(), meta.out()), 0u);
  ASSERT_EQ(data->length(), 2u);
  EXPECT_EQ(data[0], 7000u);
  EXPECT_EQ(data[1], 8000u);
}

TEST_F(RegdSignalTest, SignalHooksRefuseOrEndTheStream) {
  Regd().Options().tree = Regd().WriteTree("hooks.json", R"({
    "name": "r",
    "children": [
      {"name": "refusing", "flags": ["read", "signal"],
       "signal": {"components": ["a"], "hooks": {"refuse_register": true}}},
      {"name": "ending", "flags": ["read", "signal"],
       "signal": {"components": ["a"], "group_size": 1, "block_rate_hz": 200,
                  "hooks": {"cancel_after_blocks": 3, "cancel_code": -7}}}
    ]})");
  Start();
  Active<SignalSink> sink;
  i_NET::SignalReceiver_var receiver = sink.Ref();
  i_NET::RemoteSignal_var refusing = Signal("refusing");
  EXPECT_EQ(refusing->RegisterReceiver(receiver, 0, 0, 0, 256), 2u);

  i_NET::RemoteSignal_var ending = Signal("ending");
  ASSERT_EQ(ending->RegisterReceiver(receiver, 0, 0, 0, 256), 0u);
  ASSERT_TRUE(sink->WaitForCancel());
  EXPECT_EQ(sink->BlockCount(), 3u);
  EXPECT_EQ(sink->Cancels(), (std::vector<CORBA::Long>{-7}));
  // The ended stream can be opened again by the same receiver.
  EXPECT_EQ(ending->RegisterReceiver(receiver, 0, 0, 0, 256), 0u);
  EXPECT_TRUE(sink->WaitForBlocks(4));
}

}  // namespace
