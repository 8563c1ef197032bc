// The data-on-demand remote source and its clients against an in-process
// fake server: reads at chosen positions for every element type, a pending
// read ended by Cancel, the server's refusals and failures, the source's
// description and the lifetimes of source and clients.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/test_util.h"
#include "isig/fake_remote_signal.h"

namespace {

using isigtest::FakeRemoteSignal;
using isigtest::Value;
using testutil::ThrownText;

template <typename T>
using Source = isig::DataOnDemandRemoteSource<isig::SignalTraits<T>>;
template <typename T>
using DodClient = isig::DodRemoteClient<isig::SignalTraits<T>>;

const isig::SignalTraits<double> c_xy(2, {"x", "y"}, 1);

class DataOnDemandTest : public isigtest::OrbTest {};

template <typename T>
class DataOnDemandTypedTest : public isigtest::OrbTest {};
TYPED_TEST_SUITE(DataOnDemandTypedTest, isigtest::ElementTypes);

TYPED_TEST(DataOnDemandTypedTest, ClientReadsTheServersDataAtChosenPositions) {
  using T = TypeParam;
  i_NET::RemoteSignal_ptr ref;
  this->MakeSignal(2, ref);
  auto source = std::make_shared<Source<T>>("dod", ref, isig::SignalTraits<T>(2, {"x", "y"}, 1));
  DodClient<T> client(source, "reader");
  for (unsigned long long position : {0ull, 1000ull, 5ull, 1ull << 40}) {
    isig::Array<isig::SignalTraits<T>> block;
    isig::SignalMeta meta;
    ASSERT_EQ(client.Read(position, 3, block, meta), isig::eSuccess) << position;
    ASSERT_EQ(block.AtomCount(), 3u);
    for (unsigned int a = 0; a < 3; ++a) {
      for (unsigned int c = 0; c < 2; ++c) {
        EXPECT_EQ(block.Atom(a)[c], Value<T>(position + a, c)) << position << "/" << a << "/" << c;
      }
    }
    EXPECT_EQ(meta, (isig::SignalMeta{{isig::eMetaPosition, static_cast<long long>(position)}}));
  }
}

TEST_F(DataOnDemandTest, CancelEndsAPendingReadWithTheCodeAndTheSourceStaysUsable) {
  i_NET::RemoteSignal_ptr ref;
  FakeRemoteSignal* fake = MakeSignal(2, ref);
  auto source = std::make_shared<Source<double>>("dod", ref, c_xy);
  source->Cancel(isig::eSuccess);  // no client: nothing happens
  DodClient<double> a(source, "a");
  DodClient<double> b(source, "b");
  EXPECT_EQ(source->ClientCount(), 2u);

  fake->HoldReads();
  isig::SuccessCode_e resultA = isig::eSuccess;
  isig::SuccessCode_e resultB = isig::eSuccess;
  isig::Array<isig::SignalTraits<double>> blockA;
  isig::SignalMeta metaA;
  std::thread readerA([&] { resultA = a.Read(10, 4, blockA, metaA); });
  std::thread readerB([&] {
    isig::Array<isig::SignalTraits<double>> block;
    isig::SignalMeta meta;
    resultB = b.Read(20, 4, block, meta);
  });
  fake->WaitForReads(2);
  source->Cancel(static_cast<isig::SuccessCode_e>(-7));
  readerA.join();
  readerB.join();
  EXPECT_EQ(resultA, -7);
  EXPECT_EQ(resultB, -7);
  EXPECT_EQ(blockA.AtomCount(), 0u);  // untouched
  EXPECT_TRUE(metaA.empty());

  // The abandoned calls end when the server answers; the next read waits
  // for that and then reads normally.
  fake->ReleaseReads();
  ASSERT_EQ(a.Read(7, 1, blockA, metaA), isig::eSuccess);
  EXPECT_EQ(blockA.Values(), (std::vector<double>{Value<double>(7, 0), Value<double>(7, 1)}));

  // Code 0 ends a read with eCancelled.
  fake->HoldReads();
  std::thread readerC([&] { resultA = a.Read(1, 1, blockA, metaA); });
  fake->WaitForReads(4);
  source->Cancel(isig::eSuccess);
  readerC.join();
  EXPECT_EQ(resultA, isig::eCancelled);
  fake->ReleaseReads();
}

TEST_F(DataOnDemandTest, RefusalsAndFailuresOfTheServerAreReported) {
  StartTrace(istd::eLow);
  i_NET::RemoteSignal_ptr ref;
  FakeRemoteSignal* fake = MakeSignal(2, ref);
  auto source = std::make_shared<Source<double>>("dod", ref, c_xy);
  DodClient<double> client(source, "reader");
  isig::Array<isig::SignalTraits<double>> block;
  isig::SignalMeta meta;

  fake->SetReadResult(3);
  EXPECT_EQ(client.Read(0, 2, block, meta), isig::eNoData);
  fake->SetReadResult(0);
  fake->SetRaiseInvalidType(true);
  EXPECT_EQ(client.Read(0, 2, block, meta), isig::eFailure);
  EXPECT_EQ(block.AtomCount(), 0u);
  DeactivateFake(fake);
  EXPECT_EQ(client.Read(0, 2, block, meta), isig::eFailure);

  auto nil = std::make_shared<Source<double>>("nil", i_NET::RemoteSignal::_nil(), c_xy);
  DodClient<double> orphan(nil, "orphan");
  EXPECT_EQ(orphan.Read(0, 2, block, meta), isig::eFailure);

  bool invalidType = false;
  bool notExist = false;
  for (const std::string& line : TraceMessages()) {
    invalidType = invalidType || line == "reader: read failed: CORBA::InvalidType: not my type";
    notExist = notExist || line.rfind("reader: read failed: CORBA::OBJECT_NOT_EXIST#", 0) == 0;
  }
  EXPECT_TRUE(invalidType);
  EXPECT_TRUE(notExist);
}

// An answer claiming more values than one message can carry (omniORB's
// overrun check wraps around for such lengths, so it arrives with nothing
// behind it) is refused, not read; the next sound answer is served.
TEST_F(DataOnDemandTest, AnAnswerLongerThanAMessageCanCarryIsRefused) {
  i_NET::RemoteSignal_ptr ref;
  FakeRemoteSignal* fake = MakeSignal(2, ref);
  auto source = std::make_shared<Source<signed char>>(
      "dod", ref, isig::SignalTraits<signed char>(2, {"x", "y"}, 1));
  DodClient<signed char> client(source, "reader");
  isig::Array<isig::SignalTraits<signed char>> block;
  isig::SignalMeta meta;
  fake->SetOverlongAnswer(true);
  EXPECT_EQ(client.Read(0, 2, block, meta), isig::eFailure);
  EXPECT_EQ(block.AtomCount(), 0u);
  fake->SetOverlongAnswer(false);
  EXPECT_EQ(client.Read(0, 2, block, meta), isig::eSuccess);
  EXPECT_EQ(block.AtomCount(), 2u);
}

TEST_F(DataOnDemandTest, DescriptionComesFromTheTraitsWithoutSizeOfItsOwn) {
  StartTrace(istd::eLow);
  i_NET::RemoteSignal_ptr ref;
  MakeSignal(2, ref);
  Source<short> source("dod", ref, isig::SignalTraits<short>(3, {"a", "b", "c"}, 8));
  EXPECT_EQ(source.AccessType(), isig::eAccessDataOnDemand);
  EXPECT_EQ(source.GetSize(), 0u);
  EXPECT_EQ(source.GroupSize(), 8u);
  EXPECT_EQ(source.Length(), 3u);
  EXPECT_EQ(source.AtomSize(), 3 * sizeof(short));
  EXPECT_EQ(source.GetComponentNames(), (isig::ComponentNames{"a", "b", "c"}));
  EXPECT_EQ(source.AtomType(), typeid(isig::RuntimeAtom));
  EXPECT_EQ(source.BaseType(), typeid(short));
  EXPECT_EQ(source.SourceType(), "");
  EXPECT_EQ(source.NewSignalClient("x", 4), nullptr);
  bool traced = false;
  for (const std::string& line : TraceMessages()) {
    traced = traced || line == "DataOnDemandRemoteSource: type = isig::RuntimeAtom";
  }
  EXPECT_TRUE(traced);

  auto invalid =
      std::make_shared<Source<short>>("bad", ref, isig::SignalTraits<short>(0, {"a"}, 8));
  EXPECT_EQ(invalid->Length(), 0u);
  EXPECT_EQ(invalid->GetSize(), 0u);
  for (auto f : {+[](Source<short>& s) { s.AtomSize(); }, +[](Source<short>& s) { s.GroupSize(); },
                 +[](Source<short>& s) { s.GetComponentNames(); }}) {
    EXPECT_EQ(ThrownText([&] { f(*invalid); }), "isig: Runtime atom is not valid.");
  }
  DodClient<short> client(invalid, "c");
  isig::Array<isig::SignalTraits<short>> block;
  isig::SignalMeta meta;
  EXPECT_EQ(client.Read(0, 1, block, meta), isig::eFailure);
}

TEST_F(DataOnDemandTest, ClientsOutliveTheirSourceAndDetachThemselves) {
  i_NET::RemoteSignal_ptr ref;
  MakeSignal(2, ref);
  auto source = std::make_shared<Source<double>>("dod", ref, c_xy);
  auto kept = std::make_unique<DodClient<double>>(source, "kept");
  {
    DodClient<double> passing(source, "passing");
    EXPECT_EQ(source->ClientCount(), 2u);
  }
  EXPECT_EQ(source->ClientCount(), 1u);
  EXPECT_EQ(ThrownText([] { DodClient<double>(nullptr, "none"); }),
            "isig: data-on-demand client without source.");

  source.reset();  // destroyed with a client attached; the client lives on
  isig::Array<isig::SignalTraits<double>> block;
  isig::SignalMeta meta;
  EXPECT_EQ(kept->Read(0, 1, block, meta), isig::eClosed);
  kept->Cancel(isig::eCancelled);  // nothing pending: nothing happens
  kept.reset();
}

TEST_F(DataOnDemandTest, ClientsMayDisappearWhileTheSourceCancels) {
  i_NET::RemoteSignal_ptr ref;
  MakeSignal(2, ref);
  auto source = std::make_shared<Source<double>>("dod", ref, c_xy);
  std::atomic<bool> stop{false};
  std::vector<std::thread> cancellers;
  for (int i = 0; i < 2; ++i) {
    cancellers.emplace_back([&] {
      while (!stop) source->Cancel(isig::eCancelled);
    });
  }
  for (int i = 0; i < 20000; ++i) {
    // On the heap, so that a use after destruction is a use after free.
    auto client = std::make_unique<DodClient<double>>(source, "short-lived");
  }
  stop = true;
  for (std::thread& t : cancellers) t.join();
  EXPECT_EQ(source->ClientCount(), 0u);
}

}  // namespace
