// The remote stream against an in-process fake server: registration and
// unregistration of the receiver by the clients, the fan-out of the
// server's pushes, cancellation by the server, statistics, the failures of
// a missing or unreachable server, and destruction while the server is
// still pushing.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "common/test_util.h"
#include "isig/fake_remote_signal.h"

namespace {

using isigtest::FakeRemoteSignal;
using testutil::ThrownText;

template <typename T>
using RemoteStream = isig::RemoteStream<isig::SignalTraits<T>>;
template <typename T>
using Client = isig::StreamClient<isig::SignalTraits<T>>;

const isig::SignalTraits<double> c_xy(2, {"x", "y"}, 8);

template <typename T>
std::unique_ptr<Client<T>> OpenClient(RemoteStream<T>& stream, const std::string& name,
                                      unsigned int queueSize = 16) {
  std::unique_ptr<Client<T>> client(
      static_cast<Client<T>*>(stream.NewSignalClient(name, queueSize)));
  client->Open();
  return client;
}

bool Contains(const std::vector<std::string>& lines, const std::string& prefix) {
  for (const std::string& line : lines) {
    if (line.compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

class RemoteStreamTest : public isigtest::OrbTest {};

TEST_F(RemoteStreamTest, ThreeClientsSeeEveryPushedBlockAsTheSameSharedBlockInOrder) {
  i_NET::RemoteSignal_ptr ref;
  FakeRemoteSignal* fake = MakeSignal(2, ref);
  auto stream = std::make_shared<RemoteStream<double>>("sig", ref, c_xy, 256);
  std::vector<std::unique_ptr<Client<double>>> clients;
  for (const char* name : {"a", "b", "c"}) clients.push_back(OpenClient(*stream, name));

  // One registration for the three clients, with the stream's parameters.
  EXPECT_EQ(fake->RegisterCalls(), 1);
  EXPECT_EQ(fake->LastMode(), 0u);
  EXPECT_EQ(fake->LastGroupSize(), 8u);
  EXPECT_EQ(fake->LastOffset(), 0);
  EXPECT_EQ(fake->LastQueueSize(), 256u);
  EXPECT_TRUE(stream->IsRegistered());

  for (long long i = 0; i < 4; ++i) {
    const double v = static_cast<double>(i);
    ASSERT_EQ(fake->Push<double>({v, v + 0.5, v + 1, v + 1.5},
                                 {{isig::eMetaSequence, i}, {isig::eMetaTimestamp, 1000 + i}}),
              1);
  }
  for (long long i = 0; i < 4; ++i) {
    Client<double>::Block first;
    for (auto& client : clients) {
      Client<double>::Block block;
      ASSERT_EQ(client->Read(block, 0), isig::eSuccess) << client->Name() << " block " << i;
      EXPECT_EQ(block->meta,
                (isig::SignalMeta{{isig::eMetaSequence, i}, {isig::eMetaTimestamp, 1000 + i}}));
      ASSERT_EQ(block->buffer.AtomCount(), 2u);
      EXPECT_EQ(block->buffer.Atom(1)[1], static_cast<double>(i) + 1.5);
      if (first) {
        EXPECT_EQ(block.get(), first.get()) << "clients got different blocks";
      }
      first = block;
    }
  }
}

TEST_F(RemoteStreamTest, ClosingUnregistersAndThePushingStops) {
  i_NET::RemoteSignal_ptr ref;
  FakeRemoteSignal* fake = MakeSignal(2, ref);
  auto stream = std::make_shared<RemoteStream<double>>("sig", ref, c_xy, 16);
  stream->CloseInput();  // never opened: no remote call
  EXPECT_EQ(fake->UnregisterCalls(), 0);

  auto a = OpenClient(*stream, "a");
  auto b = OpenClient(*stream, "b");
  stream->OpenInput();  // registered already: no second registration
  EXPECT_EQ(fake->RegisterCalls(), 1);
  a->Close();
  EXPECT_EQ(fake->UnregisterCalls(), 0);  // b still reads
  EXPECT_EQ(fake->Push<double>({1, 2}, {}), 1);
  b->Close();
  EXPECT_EQ(fake->UnregisterCalls(), 1);
  EXPECT_EQ(fake->ReceiverCount(), 0u);
  EXPECT_FALSE(stream->IsRegistered());
  EXPECT_EQ(fake->Push<double>({3, 4}, {}), 0);

  Client<double>::Block block;
  EXPECT_EQ(b->Read(block, 0), isig::eSuccess);  // the block pushed before closing
  EXPECT_EQ(b->Read(block, 0), isig::eClosed);

  // Opened again as often as wanted.
  b->Open();
  EXPECT_EQ(fake->RegisterCalls(), 2);
  EXPECT_EQ(fake->Push<double>({5, 6}, {}), 1);
  EXPECT_EQ(b->Read(block, 0), isig::eSuccess);
  EXPECT_EQ(block->buffer.Values(), (std::vector<double>{5, 6}));
}

TEST_F(RemoteStreamTest, FirstClientGetsABlockPushedBeforeTheRegistrationReturns) {
  i_NET::RemoteSignal_ptr ref;
  FakeRemoteSignal* fake = MakeSignal(2, ref);
  fake->PushWhenRegistered({1, 2, 3, 4});
  auto stream = std::make_shared<RemoteStream<double>>("sig", ref, c_xy, 16);
  auto client = OpenClient(*stream, "a");
  Client<double>::Block block;
  ASSERT_EQ(client->Read(block, 0), isig::eSuccess);
  EXPECT_EQ(block->buffer.Values(), (std::vector<double>{1, 2, 3, 4}));
}

TEST_F(RemoteStreamTest, QueueSizeSentToTheServerIsAtLeastFour) {
  i_NET::RemoteSignal_ptr ref;
  FakeRemoteSignal* fake = MakeSignal(2, ref);
  for (size_t size : {0, 1, 3, 4, 5, 256}) {
    RemoteStream<double> stream("sig", ref, c_xy, size);
    stream.OpenInput();
    EXPECT_EQ(fake->LastQueueSize(), size < 4 ? 4u : size) << size;
  }
  // Each of them unregistered when it was destroyed.
  EXPECT_EQ(fake->UnregisterCalls(), 6);
  EXPECT_EQ(fake->ReceiverCount(), 0u);
}

TEST_F(RemoteStreamTest, StatisticsComeFromTheServerAndAreEmptyForAnUnknownReceiver) {
  StartTrace(istd::eHigh);
  i_NET::RemoteSignal_ptr ref;
  FakeRemoteSignal* fake = MakeSignal(2, ref);
  RemoteStream<double> stream("sig", ref, c_xy, 16);
  EXPECT_TRUE(stream.GetStatistics().empty());
  EXPECT_TRUE(Contains(TraceMessages(), "Can't get remote statistics (ignoring): CORBA::NotFound"));

  stream.OpenInput();
  fake->Push<double>({1, 2}, {});
  const isig::SignalStats stats = stream.GetStatistics();
  ASSERT_EQ(stats.size(), 2u);
  EXPECT_EQ(stats[0].name, "pushed");
  EXPECT_EQ(stats[0].total, 1u);
  EXPECT_EQ(stats[0].rejected, 3u);
  EXPECT_EQ(stats[0].asize, 16u);
  EXPECT_EQ(stats[1].name, "receivers");
  EXPECT_EQ(stats[1].total, 1u);
}

TEST_F(RemoteStreamTest, ServerCancellationReachesEveryClientWithZeroAsMinusFive) {
  i_NET::RemoteSignal_ptr ref;
  FakeRemoteSignal* fake = MakeSignal(1, ref);
  auto stream =
      std::make_shared<RemoteStream<int>>("sig", ref, isig::SignalTraits<int>(1, {"n"}, 1), 16);
  auto a = OpenClient(*stream, "a");
  auto b = OpenClient(*stream, "b");
  fake->CancelAll(0);
  Client<int>::Block block;
  EXPECT_EQ(a->Read(block, 0), isig::eCancelled);
  EXPECT_EQ(b->Read(block, 0), isig::eCancelled);
  EXPECT_EQ(stream->QueueCount(), 0u);

  a->Close();
  a->Open();
  fake->CancelAll(-7);
  EXPECT_EQ(a->Read(block, 0), -7);
  EXPECT_EQ(b->Read(block, 0), isig::eCancelled);
}

TEST_F(RemoteStreamTest, ShutDownTwiceCancelsOnceAndDestructionUnregisters) {
  StartTrace(istd::eHigh);
  i_NET::RemoteSignal_ptr ref;
  FakeRemoteSignal* fake = MakeSignal(2, ref);
  auto stream = std::make_shared<RemoteStream<double>>("sig", ref, c_xy, 16);
  auto a = OpenClient(*stream, "a");
  stream->ShutDown();
  stream->ShutDown();
  EXPECT_EQ(stream->State(), isig::eStreamShutDown);
  Client<double>::Block block;
  EXPECT_EQ(a->Read(block, 0), isig::eCancelled);
  EXPECT_TRUE(stream->IsRegistered());           // shutting down does not close the input
  EXPECT_EQ(fake->Push<double>({1, 2}, {}), 1);  // ...so the server still pushes, to nobody

  std::weak_ptr<RemoteStream<double>> weak = stream;
  stream.reset();
  a.reset();  // the last owner: the stream is destroyed now
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(fake->UnregisterCalls(), 1);
  EXPECT_EQ(fake->ReceiverCount(), 0u);
  int shuttingDown = 0;
  for (const std::string& line : TraceMessages()) shuttingDown += line == "sig: Shutting down..";
  EXPECT_EQ(shuttingDown, 1);
}

TEST_F(RemoteStreamTest, DestroyedWhileRegisteredWithoutClientsUnregisters) {
  i_NET::RemoteSignal_ptr ref;
  FakeRemoteSignal* fake = MakeSignal(2, ref);
  {
    RemoteStream<double> stream("sig", ref, c_xy, 16);
    stream.OpenInput();
    EXPECT_EQ(fake->ReceiverCount(), 1u);
  }
  EXPECT_EQ(fake->UnregisterCalls(), 1);
  EXPECT_EQ(fake->ReceiverCount(), 0u);

  // A server that is gone by then is ignored.
  {
    RemoteStream<double> stream("sig", ref, c_xy, 16);
    stream.OpenInput();
    DeactivateFake(fake);
  }
}

TEST_F(RemoteStreamTest, OpeningFailsWithoutServerAndNotSilentlyOnRefusal) {
  StartTrace(istd::eHigh);
  EXPECT_EQ(ThrownText([] {
              RemoteStream<double>("nil", i_NET::RemoteSignal::_nil(), c_xy, 16).OpenInput();
            }),
            "OpenInput: Missing remote signal reference.");

  i_NET::RemoteSignal_ptr ref;
  FakeRemoteSignal* fake = MakeSignal(2, ref);
  RemoteStream<double> stream("sig", ref, c_xy, 16);
  fake->SetRefuse(true);
  EXPECT_EQ(ThrownText([&] { stream.OpenInput(); }), "isig: can't register signal receiver.");
  EXPECT_TRUE(Contains(TraceMessages(), "sig: the server refused the receiver: result 1"));
  EXPECT_FALSE(stream.IsRegistered());
  // A reader is told at once instead of waiting for blocks that never come.
  auto reader =
      std::unique_ptr<Client<double>>(static_cast<Client<double>*>(stream.NewSignalClient("r", 4)));
  EXPECT_EQ(ThrownText([&] { reader->Open(); }), "isig: can't register signal receiver.");
  EXPECT_FALSE(reader->IsOpen());
  fake->SetRefuse(false);
  reader->Open();  // tried again
  EXPECT_TRUE(stream.IsRegistered());
  EXPECT_EQ(fake->RegisterCalls(), 3);
  reader.reset();

  stream.CloseInput();
  DeactivateFake(fake);
  EXPECT_EQ(ThrownText([&] { stream.OpenInput(); }), "isig: can't register signal receiver.");
  EXPECT_TRUE(Contains(TraceMessages(), "Can't access remote signal: CORBA::OBJECT_NOT_EXIST#"));
  auto client =
      std::unique_ptr<Client<double>>(static_cast<Client<double>*>(stream.NewSignalClient("c", 4)));
  EXPECT_EQ(ThrownText([&] { client->Open(); }), "isig: can't register signal receiver.");
  EXPECT_FALSE(client->IsOpen());
  EXPECT_EQ(stream.QueueCount(), 0u) << "the queue is detached again";

  isig::Array<isig::SignalTraits<double>> block;
  EXPECT_EQ(ThrownText([&] { stream.ReadInput(block); }),
            "RemoteStream::ReadInput should not be called.");
}

TEST_F(RemoteStreamTest, TraitsWithoutValidAtomRefuseOpeningAndBlocks) {
  i_NET::RemoteSignal_ptr ref;
  FakeRemoteSignal* fake = MakeSignal(2, ref);
  const isig::SignalTraits<double> invalid(0, {}, 8);
  {
    StartTrace(istd::eHigh);  // the constructor traces the group size
    EXPECT_EQ(ThrownText([&] { RemoteStream<double>("bad", ref, invalid, 16); }),
              "isig: Runtime atom is not valid.");
    ResetTrace();
  }
  RemoteStream<double> stream("bad", ref, invalid, 16);
  EXPECT_EQ(ThrownText([&] { stream.OpenInput(); }), "isig: can't register signal receiver.");
  EXPECT_EQ(fake->RegisterCalls(), 0);
}

template <typename T>
class RemoteStreamTypedTest : public isigtest::OrbTest {};
TYPED_TEST_SUITE(RemoteStreamTypedTest, isigtest::ElementTypes);

TYPED_TEST(RemoteStreamTypedTest, PushesOfTheElementTypeArriveAndOthersAreDropped) {
  using T = TypeParam;
  i_NET::RemoteSignal_ptr ref;
  FakeRemoteSignal* fake = this->MakeSignal(3, ref);
  auto stream = std::make_shared<RemoteStream<T>>("sig", ref,
                                                  isig::SignalTraits<T>(3, {"a", "b", "c"}, 2), 8);
  EXPECT_EQ(stream->BaseType(), typeid(T));
  auto client = OpenClient(*stream, "c");
  const std::vector<T> values{static_cast<T>(-1), static_cast<T>(2), static_cast<T>(120),
                              static_cast<T>(7),  static_cast<T>(0), static_cast<T>(99)};
  ASSERT_EQ(fake->template Push<T>(values, {{isig::eMetaSequence, 3}}), 1);
  typename Client<T>::Block block;
  ASSERT_EQ(client->Read(block, 0), isig::eSuccess);
  EXPECT_EQ(block->buffer.Values(), values);
  EXPECT_EQ(block->buffer.AtomCount(), 2u);
  EXPECT_EQ(block->meta.at(isig::eMetaSequence), 3);

  // A block of another element type does not belong to this stream.
  if constexpr (std::is_same_v<T, double>) {
    fake->template Push<float>({1, 2, 3}, {});
  } else {
    fake->template Push<double>({1, 2, 3}, {});
  }
  EXPECT_EQ(client->Read(block, 0), isig::eTimeout);
}

TEST_F(RemoteStreamTest, DestructionWhileTheServerStillPushesIsClean) {
  i_NET::RemoteSignal_ptr ref;
  FakeRemoteSignal* fake = MakeSignal(2, ref);
  for (int round = 0; round < 20; ++round) {
    auto stream = std::make_shared<RemoteStream<double>>("sig", ref, c_xy, 16);
    std::vector<std::unique_ptr<Client<double>>> clients;
    for (const char* name : {"a", "b", "c"}) clients.push_back(OpenClient(*stream, name, 4));
    std::atomic<bool> stop{false};
    std::atomic<int> taken{0};
    std::atomic<int> attempts{0};
    std::vector<std::thread> pushers;
    for (int p = 0; p < 2; ++p) {
      pushers.emplace_back([&] {
        while (!stop) {
          taken += fake->Push<double>({1, 2, 3, 4}, {{isig::eMetaSequence, 1}});
          ++attempts;
        }
      });
    }
    Client<double>::Block block;
    while (taken < 5) clients[round % 3]->Read(block, 10);
    // Drop the stream while the pushes go on: the clients (the last one
    // destroys the stream), in an order that changes per round.
    stream.reset();
    std::rotate(clients.begin(), clients.begin() + round % 3, clients.end());
    clients.clear();
    const int afterDestruction = attempts;
    while (attempts < afterDestruction + 5) std::this_thread::yield();
    stop = true;
    for (std::thread& t : pushers) t.join();
    EXPECT_EQ(fake->ReceiverCount(), 0u) << "round " << round;
  }
  EXPECT_EQ(fake->UnregisterCalls(), 20);
}

}  // namespace
