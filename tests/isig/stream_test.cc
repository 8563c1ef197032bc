// Stream dispatching without a network: fan-out of one shared block to
// every client queue, cancellation and shutdown, the clients' opening and
// closing of the input, the dispatching modes' stop, the passive read, the
// queue bound. This process never starts an ORB, so the receiver servant
// (and with it a remote stream) cannot be made here.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/test_util.h"
#include "isig/isig.h"
#include "istd/trace_fixture.h"

namespace {

using Traits = isig::SignalTraits<double>;
using Stream = isig::Stream<Traits>;
using Client = isig::StreamClient<Traits>;
using testutil::ThrownText;

const Traits c_xy(2, {"x", "y"}, 4);

std::unique_ptr<Client> NewClient(Stream& stream, const std::string& name,
                                  unsigned int queueSize = 8) {
  std::unique_ptr<Client> client(static_cast<Client*>(stream.NewSignalClient(name, queueSize)));
  client->Open();
  return client;
}

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
  for (const std::string& line : lines) {
    if (line == text) return true;
  }
  return false;
}

class StreamTest : public TraceFixture {};

TEST_F(StreamTest, EveryClientSeesEveryBlockAsTheSameMovedBlockInOrder) {
  Stream stream("sig", c_xy);
  EXPECT_EQ(stream.AccessType(), isig::eAccessStream);
  EXPECT_EQ(stream.AtomType(), typeid(isig::RuntimeAtom));
  EXPECT_EQ(stream.BaseType(), typeid(double));
  EXPECT_EQ(stream.Length(), 2u);
  EXPECT_EQ(stream.GroupSize(), 4u);
  EXPECT_EQ(stream.AtomSize(), 2 * sizeof(double));
  EXPECT_EQ(stream.GetComponentNames(), (isig::ComponentNames{"x", "y"}));

  std::vector<std::unique_ptr<Client>> clients;
  for (const char* name : {"a", "b", "c"}) clients.push_back(NewClient(stream, name));
  EXPECT_EQ(stream.QueueCount(), 3u);

  std::vector<const double*> storage;
  for (long long i = 0; i < 3; ++i) {
    Stream::Buffer block(c_xy, 2);
    for (size_t v = 0; v < block.Size(); ++v) block.Data()[v] = static_cast<double>(10 * i + v);
    storage.push_back(block.Data());
    stream.Dispatch(std::move(block), {{isig::eMetaSequence, i}});
  }
  EXPECT_EQ(stream.AtomCount(), 6u);

  for (long long i = 0; i < 3; ++i) {
    Client::Block first;
    for (auto& client : clients) {
      Client::Block block;
      ASSERT_EQ(client->Read(block, 0), isig::eSuccess);
      EXPECT_EQ(block->meta, (isig::SignalMeta{{isig::eMetaSequence, i}}));
      EXPECT_EQ(block->buffer.Data(), storage[i]) << "the block was copied, not moved";
      EXPECT_EQ(block->buffer.Atom(1)[1], static_cast<double>(10 * i + 3));
      if (first) {
        EXPECT_EQ(block.get(), first.get()) << "clients got different blocks";
      }
      first = block;
    }
  }
}

TEST_F(StreamTest, PointerDispatchCopiesWholeAtomsAndRefusesInvalidTraits) {
  StartTrace(istd::eLow);
  Stream stream("sig", c_xy);
  auto client = NewClient(stream, "a");
  const double values[] = {1, 2, 3, 4, 5, 6, 7};
  stream.Dispatch(values, 7, {{isig::eMetaPosition, 9}});
  Client::Block block;
  ASSERT_EQ(client->Read(block, 0), isig::eSuccess);
  EXPECT_EQ(block->buffer.AtomCount(), 3u);
  EXPECT_EQ(block->buffer.Values(), (std::vector<double>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(block->meta.at(isig::eMetaPosition), 9);

  Stream invalid("bad", Traits(0, {}, 1));
  auto reader = NewClient(invalid, "r");
  invalid.Dispatch(values, 7, {});
  EXPECT_EQ(reader->Read(block, 0), isig::eTimeout);
  EXPECT_EQ(ThrownText([&] { invalid.GroupSize(); }), "isig: Runtime atom is not valid.");

  const std::vector<std::string> lines = TraceMessages();
  EXPECT_TRUE(Contains(lines, "sig: Dispatch: 1 values after the last whole atom dropped."));
  EXPECT_TRUE(
      Contains(lines, "bad: Dispatch: block of 7 values refused: the runtime atom is not valid."));
}

TEST_F(StreamTest, CancelWithCodeZeroGivesEveryClientMinusFiveAndClientsMayReopen) {
  StartTrace(istd::eHigh);
  Stream stream("sig", c_xy);
  auto a = NewClient(stream, "a");
  auto b = NewClient(stream, "b");
  stream.Dispatch(Stream::Buffer(c_xy, 1), {});
  stream.Cancel(isig::eSuccess);
  EXPECT_EQ(stream.QueueCount(), 0u);
  EXPECT_EQ(stream.State(), isig::eStreamIdle);  // a passive stream does not stop

  Client::Block block;
  for (Client* client : {a.get(), b.get()}) {
    EXPECT_EQ(client->Read(block, 0), isig::eSuccess);  // queued before the cancellation
    EXPECT_EQ(client->Read(block, 0), isig::eCancelled);
  }
  stream.Cancel(static_cast<isig::SuccessCode_e>(-7));  // nobody attached any more
  EXPECT_EQ(a->Read(block, 0), isig::eCancelled);

  // Reopening starts afresh.
  a->Close();
  a->Open();
  stream.Dispatch(Stream::Buffer(c_xy, 1), {});
  EXPECT_EQ(a->Read(block, 0), isig::eSuccess);
  EXPECT_EQ(b->Read(block, 0), isig::eCancelled);

  const std::vector<std::string> lines = TraceMessages();
  EXPECT_TRUE(Contains(lines, "sig: Client removed, queue size: 1"));
  EXPECT_TRUE(Contains(lines, "sig: Client removed, queue size: 0"));
  EXPECT_TRUE(Contains(lines, "sig: stop = 0, a_code = 0 (Success)"));
}

TEST_F(StreamTest, ShutDownIsFinalAndASecondOneReturnsAtOnce) {
  StartTrace(istd::eHigh);
  Stream stream("sig", c_xy);
  auto a = NewClient(stream, "a");
  stream.ShutDown();
  stream.ShutDown();
  EXPECT_EQ(stream.State(), isig::eStreamShutDown);
  Client::Block block;
  EXPECT_EQ(a->Read(block, 0), isig::eCancelled);
  a->Close();
  EXPECT_EQ(ThrownText([&] { a->Open(); }), "isig: stream is shut down.");
  EXPECT_FALSE(a->IsOpen());
  EXPECT_EQ(a->Read(block, 0), isig::eClosed);

  const std::vector<std::string> lines = TraceMessages();
  int shuttingDown = 0;
  for (const std::string& line : lines) shuttingDown += line == "sig: Shutting down.." ? 1 : 0;
  EXPECT_EQ(shuttingDown, 1);
  EXPECT_TRUE(Contains(lines, "sig: Stream state: 0 (Idle) --> 4 (ShutDown)"));
  EXPECT_TRUE(Contains(lines, "sig: stop = 0, a_code = -5 (Cancelled)"));
  EXPECT_TRUE(Contains(lines, "sig: Shutdown finished."));
  EXPECT_FALSE(Contains(lines, "sig: Cancelling open handles."));
}

TEST_F(StreamTest, PassiveStreamCannotBeRead) {
  Stream stream("sig", c_xy);
  Stream::Buffer block;
  EXPECT_EQ(ThrownText([&] { stream.ReadInput(block); }), "sig: Running in passive mode.");
  EXPECT_EQ(stream.Mode(), isig::eDispatchPassive);
}

// Counts how its clients open and close the input.
class CountingStream : public Stream {
 public:
  CountingStream() : Stream("count", c_xy) {}
  void OpenInput() override { ++m_opened; }
  void CloseInput() override { ++m_closed; }
  int m_opened = 0;
  int m_closed = 0;
};

TEST_F(StreamTest, ClientsOpenTheInputAndTheLastOneToCloseClosesIt) {
  auto stream = std::make_shared<CountingStream>();
  auto a = NewClient(*stream, "a");
  auto b = NewClient(*stream, "b");
  b->Open();  // open already: nothing
  EXPECT_EQ(stream->m_opened, 2);
  a->Close();
  EXPECT_EQ(stream->m_closed, 0);
  b.reset();  // the destructor closes
  EXPECT_EQ(stream->m_closed, 1);

  // A client keeps a shared-owned stream alive.
  std::weak_ptr<CountingStream> weak = stream;
  stream.reset();
  EXPECT_FALSE(weak.expired());
  a.reset();
  EXPECT_TRUE(weak.expired());
}

TEST_F(StreamTest, InputLeftOpenByACancellationIsClosedByTheNextClientToOpenOrClose) {
  auto stream = std::make_shared<CountingStream>();
  auto a = NewClient(*stream, "a");
  auto b = NewClient(*stream, "b");
  stream->Cancel(isig::eSuccess);
  EXPECT_EQ(stream->m_closed, 0);  // a passive stream keeps its input through a cancellation

  // The first cancelled client to close closes the input; the next does not.
  a->Close();
  EXPECT_EQ(stream->m_closed, 1);
  b->Close();
  EXPECT_EQ(stream->m_closed, 1);

  // Opening after that is as usual. After another cancellation, the first
  // client to open closes the input first and opens it anew.
  a->Open();
  EXPECT_EQ(stream->m_opened, 3);  // one call per attaching client
  EXPECT_EQ(stream->m_closed, 1);
  stream->Cancel(isig::eSuccess);
  auto c = NewClient(*stream, "c");
  EXPECT_EQ(stream->m_closed, 2);
  EXPECT_EQ(stream->m_opened, 4);
  a->Close();  // cancelled, while c is attached: the input stays open
  EXPECT_EQ(stream->m_closed, 2);
  c->Close();
  EXPECT_EQ(stream->m_closed, 3);

  // A shut-down stream's clients close its input the same way.
  b->Open();
  stream->ShutDown();
  b->Close();
  EXPECT_EQ(stream->m_closed, 4);
}

TEST_F(StreamTest, QueueOfSizeZeroHoldsSixtyFourBlocksAndCountsTheRest) {
  Stream stream("sig", c_xy);
  auto client = NewClient(stream, "c", 0);
  EXPECT_EQ(client->QueueSize(), 64u);
  for (int i = 0; i < 70; ++i) stream.Dispatch(Stream::Buffer(c_xy, 1), {});
  const isig::SignalStatItem stats = client->Statistics();
  EXPECT_EQ(stats.name, "c");
  EXPECT_EQ(stats.total, 70u);
  EXPECT_EQ(stats.rejected, 6u);
  EXPECT_EQ(stats.asize, 64u);
}

// A stream in a mode with a dispatching thread (which here ends at once):
// cancellation stops it, closing the input and joining the thread.
class ThreadStream : public Stream {
 public:
  ThreadStream(isig::DispatchMode_e mode, bool closeThrows)
      : Stream("pull", c_xy, mode), m_closeThrows(closeThrows) {
    m_thread = std::thread([] {});
  }
  ~ThreadStream() override { ShutDown(); }
  void CloseInput() override {
    ++m_closed;
    if (m_closeThrows) throw std::runtime_error("gone");
  }
  bool Joinable() const { return m_thread.joinable(); }
  int m_closed = 0;
  const bool m_closeThrows;
};

TEST_F(StreamTest, ThreadModeStopsOnEveryCancellationAndSwallowsCloseFailures) {
  StartTrace(istd::eHigh);
  ThreadStream stream(isig::eDispatchThread, true);
  Stream::Buffer block(c_xy, 3);
  EXPECT_EQ(stream.ReadInput(block), isig::eNoData);
  EXPECT_EQ(block.AtomCount(), 0u);

  stream.Cancel(static_cast<isig::SuccessCode_e>(-7));
  EXPECT_EQ(stream.State(), isig::eStreamStopped);
  EXPECT_EQ(stream.m_closed, 1);
  EXPECT_FALSE(stream.Joinable());

  const std::vector<std::string> lines = TraceMessages();
  EXPECT_TRUE(Contains(lines, "pull: stop = 1, a_code = -7"));
  EXPECT_TRUE(Contains(lines, "pull: WARNING: CloseInput threw: gone"));
  EXPECT_TRUE(Contains(lines, "pull: Input closed: will join the thread."));
  EXPECT_TRUE(Contains(lines, "pull: Stream state: 0 (Idle) --> 3 (Stopped)"));
}

TEST_F(StreamTest, ModeUntilShutDownStopsOnlyForShutDownAndStaysShutDown) {
  StartTrace(istd::eHigh);
  ThreadStream stream(isig::eDispatchThreadUntilShutDown, false);
  stream.Cancel(static_cast<isig::SuccessCode_e>(-7));
  EXPECT_EQ(stream.State(), isig::eStreamIdle);
  EXPECT_EQ(stream.m_closed, 0);
  EXPECT_TRUE(stream.Joinable());

  stream.ShutDown();
  EXPECT_EQ(stream.State(), isig::eStreamShutDown);
  EXPECT_EQ(stream.m_closed, 1);
  EXPECT_FALSE(stream.Joinable());
  EXPECT_TRUE(Contains(TraceMessages(), "pull: stop = 1, a_code = -5 (Cancelled)"));
}

TEST(SignalReceiverWithoutOrbTest, ReceiverAndRemoteStreamNeedAnActiveOrb) {
  EXPECT_EQ(ThrownText([] { isig::i_SignalReceiver_impl::Create(nullptr); }),
            "isig: can't activate signal receiver.");
  EXPECT_EQ(ThrownText([] {
              isig::RemoteStream<Traits> stream("r", i_NET::RemoteSignal::_nil(), c_xy, 4);
            }),
            "isig: can't activate signal receiver.");
}

}  // namespace
