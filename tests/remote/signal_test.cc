// Remote signals against a real server: roz::CreateRemoteSignal for both
// access kinds and all ten element types, the nodes that give no source,
// push streams read by several clients (shared blocks, meta-data, order,
// registration and unregistration at the server, statistics, cancellation
// by the server, shutdown, destruction while the server pushes) and
// data-on-demand reads (positions, the end of the signal, cancellation of a
// pending read).
#include <gtest/gtest.h>

#include <omniORB4/CORBA.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

#include "client/roz.h"
#include "isig/isig.h"
#include "remote/remote_fixture.h"
#include "support/regd_fixture.h"

namespace {

using remotetest::RegdProcess;
using remotetest::RemoteTest;

template <typename T>
using Traits = isig::SignalTraits<T>;
template <typename T>
using Stream = isig::RemoteStream<Traits<T>>;
template <typename T>
using Client = isig::StreamClient<Traits<T>>;
template <typename T>
using DodSource = isig::DataOnDemandRemoteSource<Traits<T>>;
template <typename T>
using DodClient = isig::DodRemoteClient<Traits<T>>;

const char* const c_elements[] = {"double", "float",  "uint64", "int64", "uint32",
                                  "int32",  "uint16", "int16",  "uint8", "int8"};

// Every atom of every signal of the test tree: component c of atom i is
// i % 100 + c (small enough for every element type).
const char* const c_ramp = R"("generator": {"kind": "ramp", "step": 1, "period": 100})";

std::string SignalNode(const std::string& name, const std::string& signal,
                       const std::string& children = "") {
  std::string node = R"({"name": ")" + name + R"(", "flags": ["read", "signal"], "signal": {)" +
                     signal + ", " + c_ramp + "}";
  if (!children.empty()) node += R"(, "children": [)" + children + "]";
  return node + "}";
}

// An explicit attribute child of type `type` holding `value`.
std::string Attribute(const std::string& name, const std::string& type, const std::string& value) {
  return R"({"name": ")" + name + R"(", "type": ")" + type + R"(", "value": )" + value +
         R"(, "flags": ["read", "attribute"]})";
}

// The test registry: "types" has a push signal ("push_" + element, group
// size 4, names as an array) and a data-on-demand signal ("dod_" +
// element, declared group size 8, 1000 atoms, names as one string) of each
// element type, all with the components a and b; "odd" holds signal nodes
// that are no usable signal for a client, and one whose names hold a
// comma; "streams" the push signals of the stream tests; "slow" a
// data-on-demand signal that answers after a second.
std::string SignalTree() {
  const std::string push = R"("access": "push", "components": ["a", "b"], "group_size": 4)";
  std::string types;
  for (const char* element : c_elements) {
    const std::string e = element;
    if (!types.empty()) types += ", ";
    types += SignalNode("push_" + e, push + R"(, "element": ")" + e + R"(", "block_rate_hz": 50)");
    types += ", " + SignalNode("dod_" + e, R"("access": "dod", "element": ")" + e +
                                               R"(", "components": ["a", "b"], "group_size": 8,)"
                                               R"( "length": 1000, "names_as": "string")");
  }
  const std::string odd =
      SignalNode("type_zero", push, Attribute("components_type", "LongLong", "0")) + ", " +
      SignalNode("type_eleven", push, Attribute("components_type", "LongLong", "11")) + ", " +
      SignalNode("type_wide", push, Attribute("components_type", "LongLong", "4294967297")) + ", " +
      SignalNode("access_three", push, Attribute("access_type", "LongLong", "3")) + ", " +
      SignalNode("no_components", push, Attribute("components_number", "ULong", "0")) + ", " +
      SignalNode("no_type", push + R"(, "omit_attributes": ["components_type"])") + ", " +
      SignalNode("no_names", push + R"(, "omit_attributes": ["components_names"])") + ", " +
      SignalNode("gone", push) + R"(, {"name": "unknown", )" +
      R"("flags": ["read"], "hooks": {"not_found": true}})" + ", " +
      SignalNode("comma_names", R"("access": "push", "components": ["p,q", "r"])") +
      R"(, {"name": "plain", "type": "Double", "value": 1.5, "flags": ["read"]})";
  const std::string streams =
      SignalNode("scope", push + R"(, "element": "double", "block_rate_hz": 50)") + ", " +
      SignalNode("ending", push + R"(, "element": "int32", "block_rate_hz": 50,)"
                                  R"( "hooks": {"cancel_after_blocks": 3, "cancel_code": 0})") +
      ", " +
      SignalNode("ending_seven", push +
                                     R"(, "element": "int32", "block_rate_hz": 50,)"
                                     R"( "hooks": {"cancel_after_blocks": 2, "cancel_code": 7})") +
      ", " +
      SignalNode("flood", R"("access": "push", "element": "double", "components": ["a", "b"],)"
                          R"( "group_size": 256, "block_rate_hz": 0)");
  const std::string slow =
      SignalNode("history", R"("access": "dod", "element": "double", "components": ["a", "b"],)"
                            R"( "length": 1000, "hooks": {"dispatch_delay_ms": 1000})");
  return R"({"name": "lab", "flags": ["read"], "children": [)"
         R"({"name": "types", "flags": ["read"], "children": [)" +
         types + R"(]}, {"name": "odd", "flags": ["read"], "children": [)" + odd +
         R"(]}, {"name": "streams", "flags": ["read"], "children": [)" + streams +
         R"(]}, {"name": "slow", "flags": ["read"], "children": [)" + slow + "]}]}";
}

// A new open client of `source`, a stream of element type T.
template <typename T>
std::unique_ptr<Client<T>> OpenClient(isig::SignalSource& source, const std::string& name,
                                      unsigned int queueSize = 64) {
  std::unique_ptr<Client<T>> client(
      dynamic_cast<Client<T>*>(source.NewSignalClient(name, queueSize)));
  if (client) client->Open();
  return client;
}

// `atoms` are the atoms first, first + 1, ... of the test tree's ramp.
template <typename T>
void ExpectRamp(const isig::Array<Traits<T>>& atoms, unsigned long long first, unsigned int count) {
  ASSERT_EQ(atoms.AtomCount(), count);
  ASSERT_EQ(atoms.Length(), 2u);
  for (unsigned int a = 0; a < count; ++a) {
    for (unsigned int c = 0; c < 2; ++c) {
      EXPECT_EQ(static_cast<long long>(atoms.Atom(a)[c]),
                static_cast<long long>((first + a) % 100 + c))
          << "atom " << first + a << ", component " << c;
    }
  }
}

// The push signal of element type T: a stream of T described by the
// attributes; its first client gets the server's blocks from the first on.
template <typename T>
void CheckStream(const roz::Node& types, const std::string& element) {
  SCOPED_TRACE("push_" + element);
  const isig::SignalSourceSharedPtr source = roz::CreateRemoteSignal(types["push_" + element]);
  ASSERT_TRUE(source);
  EXPECT_EQ(source->Name(), "push_" + element);
  EXPECT_EQ(source->AccessType(), isig::eAccessStream);
  EXPECT_TRUE(source->BaseType() == typeid(T)) << source->BaseType().name();
  EXPECT_TRUE(source->AtomType() == typeid(isig::RuntimeAtom));
  EXPECT_EQ(source->Length(), 2u);
  EXPECT_EQ(source->GroupSize(), 4u);
  EXPECT_EQ(source->AtomSize(), 2 * sizeof(T));
  EXPECT_EQ(source->GetComponentNames(), (isig::ComponentNames{"a", "b"}));
  const auto stream = std::dynamic_pointer_cast<Stream<T>>(source);
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->QueueSize(), roz::c_remoteSignalQueueSize);

  const auto client = OpenClient<T>(*source, "reader");
  ASSERT_TRUE(client);
  for (long long b = 0; b < 2; ++b) {
    typename Client<T>::Block block;
    ASSERT_EQ(client->Read(block, 10000), isig::eSuccess);
    EXPECT_EQ(block->meta.at(isig::eMetaSequence), b);
    EXPECT_EQ(block->meta.at(isig::eMetaPosition), 4 * b);
    ExpectRamp<T>(block->buffer, 4 * b, 4);
  }
}

// The data-on-demand signal of element type T: a source of T with group
// size 1 whose clients read the server's atoms where they ask.
template <typename T>
void CheckDataOnDemand(const roz::Node& types, const std::string& element) {
  SCOPED_TRACE("dod_" + element);
  const isig::SignalSourceSharedPtr source = roz::CreateRemoteSignal(types["dod_" + element]);
  ASSERT_TRUE(source);
  EXPECT_EQ(source->AccessType(), isig::eAccessDataOnDemand);
  EXPECT_TRUE(source->BaseType() == typeid(T)) << source->BaseType().name();
  EXPECT_EQ(source->Length(), 2u);
  EXPECT_EQ(source->GroupSize(), 1u) << "declared 8, read atom by atom";
  EXPECT_EQ(source->GetComponentNames(), (isig::ComponentNames{"a", "b"}));
  EXPECT_EQ(source->NewSignalClient("reader", 0), nullptr);
  const auto dod = std::dynamic_pointer_cast<DodSource<T>>(source);
  ASSERT_TRUE(dod);
  EXPECT_EQ(dod->GetSize(), 0u);

  DodClient<T> reader(dod, "reader");
  for (const unsigned long long position : {250ull, 7ull}) {
    isig::Array<Traits<T>> atoms;
    isig::SignalMeta meta;
    ASSERT_EQ(reader.Read(position, 3, atoms, meta), isig::eSuccess);
    ExpectRamp<T>(atoms, position, 3);
    EXPECT_EQ(meta.at(isig::eMetaPosition), static_cast<long long>(position));
  }
}

class RemoteSignalTest : public RemoteTest {
 protected:
  // How often regd's trace shows a function entered whose signature holds
  // `function`.
  static int Calls(const RegdProcess& regd, const std::string& function) {
    int count = 0;
    for (const std::string& line : testutil::SplitLines(regd.ReadTrace())) {
      const size_t entry = line.find("==> ");
      if (entry != std::string::npos && line.find(function, entry) != std::string::npos) ++count;
    }
    return count;
  }
};

TEST_F(RemoteSignalTest, CreatesAStreamOrADataOnDemandSourceForEveryElementType) {
  InClient([&] {
    RegdProcess regd;
    const roz::Node lab = StartAndConnect(regd, SignalTree());
    ASSERT_TRUE(lab.IsValid());
    const roz::Node types = lab["types"];
    CheckStream<double>(types, "double");
    CheckStream<float>(types, "float");
    CheckStream<unsigned long long>(types, "uint64");
    CheckStream<long long>(types, "int64");
    CheckStream<unsigned int>(types, "uint32");
    CheckStream<int>(types, "int32");
    CheckStream<unsigned short>(types, "uint16");
    CheckStream<short>(types, "int16");
    CheckStream<unsigned char>(types, "uint8");
    CheckStream<signed char>(types, "int8");
    CheckDataOnDemand<double>(types, "double");
    CheckDataOnDemand<float>(types, "float");
    CheckDataOnDemand<unsigned long long>(types, "uint64");
    CheckDataOnDemand<long long>(types, "int64");
    CheckDataOnDemand<unsigned int>(types, "uint32");
    CheckDataOnDemand<int>(types, "int32");
    CheckDataOnDemand<unsigned short>(types, "uint16");
    CheckDataOnDemand<short>(types, "int16");
    CheckDataOnDemand<unsigned char>(types, "uint8");
    CheckDataOnDemand<signed char>(types, "int8");
    // Every stream unregistered when its last client closed.
    EXPECT_EQ(Counter(lab, "receivers"), 0u);
  });
}

TEST_F(RemoteSignalTest, ComponentNamesComeAsOneCommaSeparatedStringOrAsAnArray) {
  InClient([&] {
    RegdProcess regd;
    const roz::Node lab = StartAndConnect(regd, SignalTree());
    ASSERT_TRUE(lab.IsValid());
    // One string "a,b": cut at the comma.
    const roz::Node text = lab.GetNode(roz::Tokenize("types.dod_float"));
    std::string joined;
    EXPECT_FALSE(text[roz::c_compNames].IsArray());
    EXPECT_TRUE(text[roz::c_compNames].GetValue(joined, 0));
    EXPECT_EQ(joined, "a,b");
    const isig::SignalSourceSharedPtr fromText = roz::CreateRemoteSignal(text);
    ASSERT_TRUE(fromText);
    EXPECT_EQ(fromText->GetComponentNames(), (isig::ComponentNames{"a", "b"}));

    // An array: used unchanged, commas and all.
    const roz::Node array = lab.GetNode(roz::Tokenize("odd.comma_names"));
    EXPECT_TRUE(array[roz::c_compNames].IsArray());
    const isig::SignalSourceSharedPtr fromArray = roz::CreateRemoteSignal(array);
    ASSERT_TRUE(fromArray);
    EXPECT_EQ(fromArray->GetComponentNames(), (isig::ComponentNames{"p,q", "r"}));
    EXPECT_EQ(fromArray->Length(), 2u);
  });
}

TEST_F(RemoteSignalTest, DemoTreeSignalsReadAsTheReadmeShows) {
  InClient([&] {
    RegdProcess regd;
    const roz::Node platform = StartAndConnect(regd);
    ASSERT_TRUE(platform.IsValid());
    const isig::SignalSourceSharedPtr source =
        roz::CreateRemoteSignal(platform.GetNode(roz::Tokenize("signals.scope")));
    ASSERT_TRUE(source);
    EXPECT_TRUE(source->BaseType() == typeid(double));
    EXPECT_EQ(source->GetComponentNames(), (isig::ComponentNames{"x", "y"}));
    const auto client = OpenClient<double>(*source, "me");
    Client<double>::Block block;
    ASSERT_EQ(client->Read(block, 10000), isig::eSuccess);
    EXPECT_EQ(block->buffer.AtomCount(), 64u);

    const auto history = std::dynamic_pointer_cast<DodSource<float>>(
        roz::CreateRemoteSignal(platform.GetNode(roz::Tokenize("signals.history"))));
    ASSERT_TRUE(history);
    EXPECT_EQ(history->GetComponentNames(), (isig::ComponentNames{"temperature"}));
    DodClient<float> reader(history, "me");
    isig::Array<Traits<float>> atoms;
    isig::SignalMeta meta;
    ASSERT_EQ(reader.Read(500, 100, atoms, meta), isig::eSuccess);
    EXPECT_EQ(atoms.AtomCount(), 100u);
    EXPECT_NEAR(atoms.Atom(0)[0], 21.5, 0.5) << "noise around 21.5";
  });
}

TEST_F(RemoteSignalTest, NodesThatAreNoUsableRemoteSignalGiveAnEmptyPointer) {
  InClient([&] {
    RegdProcess regd;
    const roz::Node lab = StartAndConnect(regd, SignalTree());
    ASSERT_TRUE(lab.IsValid());
    const roz::Node odd = lab["odd"];
    // Complete attributes, but a code or a count that selects nothing.
    for (const char* name :
         {"type_zero", "type_eleven", "type_wide", "access_three", "no_components"}) {
      EXPECT_FALSE(roz::CreateRemoteSignal(odd[name])) << name;
    }
    EXPECT_FALSE(roz::CreateRemoteSignal(odd["plain"])) << "the server has no signal there";
    EXPECT_FALSE(roz::CreateRemoteSignal(lab)) << "the registry root";

    // A missing attribute: no source, though the others were all read.
    i_NET::_objref_RemoteSignal* signal = i_NET::RemoteSignal::_nil();
    auto access = static_cast<isig::AccessType_e>(0);
    auto type = static_cast<isig::AtomType_e>(0);
    uint32_t components = 0;
    uint32_t groupSize = 0;
    isig::ComponentNames names;
    EXPECT_FALSE(roz::GetRemoteSignalData(odd["no_type"], signal, access, components, groupSize,
                                          names, type));
    EXPECT_FALSE(CORBA::is_nil(signal));
    CORBA::release(signal);
    EXPECT_EQ(access, isig::eAccessStream);
    EXPECT_EQ(groupSize, 4u);
    EXPECT_EQ(components, 2u);
    EXPECT_EQ(names, (isig::ComponentNames{"a", "b"}));
    EXPECT_EQ(static_cast<uint32_t>(type), 4294967295u) << "selects no element type";
    EXPECT_FALSE(roz::CreateRemoteSignal(odd["no_type"]));

    signal = i_NET::RemoteSignal::_nil();
    names.clear();
    EXPECT_FALSE(roz::GetRemoteSignalData(odd["no_names"], signal, access, components, groupSize,
                                          names, type));
    CORBA::release(signal);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(type, isig::eAtomDouble) << "read after the missing one";
    EXPECT_FALSE(roz::CreateRemoteSignal(odd["no_names"]));

    // A node of a local tree, and a handle whose tree node is gone.
    roz::TreeNodePtr local = roz::factory::Create<roz::LocalNodeStructure, roz::TreeNode>("local");
    const roz::Node localNode(local, roz::c_noRelPath);
    EXPECT_FALSE(roz::CreateRemoteSignal(localNode));
    local.reset();
    EXPECT_FALSE(roz::CreateRemoteSignal(localNode));

    // The server refuses to know the node, or is gone.
    EXPECT_FALSE(
        roz::CreateRemoteSignal(roz::Node(lab.GetTreeNode(), roz::Path{"odd", "unknown"})));
    const roz::Node gone = odd["gone"];
    ASSERT_TRUE(roz::CreateRemoteSignal(gone)) << "usable while the server runs";
    regd.Kill();
    EXPECT_FALSE(roz::CreateRemoteSignal(gone));
  });
}

TEST_F(RemoteSignalTest, ThreeClientsShareEveryPushedBlockInOrderAndClosingUnregisters) {
  InClient([&] {
    RegdProcess regd;
    regd.Options().traceLevel = "High";
    const roz::Node lab = StartAndConnect(regd, SignalTree());
    ASSERT_TRUE(lab.IsValid());
    const isig::SignalSourceSharedPtr source =
        roz::CreateRemoteSignal(lab.GetNode(roz::Tokenize("streams.scope")));
    const auto stream = std::dynamic_pointer_cast<Stream<double>>(source);
    ASSERT_TRUE(stream);
    EXPECT_TRUE(stream->GetStatistics().empty()) << "not registered yet";

    std::vector<std::unique_ptr<Client<double>>> clients;
    for (const char* name : {"a", "b", "c"}) clients.push_back(OpenClient<double>(*source, name));
    stream->OpenInput();  // registered already
    EXPECT_TRUE(stream->IsRegistered());
    EXPECT_EQ(Counter(lab, "receivers"), 1u);
    EXPECT_EQ(Calls(regd, "regd::i_RemoteSignal_impl::RegisterReceiver("), 1);

    // The last client opened sets the pace; the others may have got a block
    // or two more before it opened.
    const unsigned int c_blocks = 8;
    std::vector<Client<double>::Block> last(c_blocks);
    for (Client<double>::Block& block : last) {
      ASSERT_EQ(clients[2]->Read(block, 10000), isig::eSuccess);
    }
    const long long first = last[0]->meta.at(isig::eMetaSequence);
    for (unsigned int i = 0; i < c_blocks; ++i) {
      const isig::SignalMeta& meta = last[i]->meta;
      EXPECT_EQ(meta.at(isig::eMetaSequence), first + i) << "in order, none lost";
      EXPECT_EQ(meta.at(isig::eMetaPosition), 4 * (first + i));
      EXPECT_GT(meta.at(isig::eMetaTimestamp), 1600000000000000000LL);
      if (i > 0) {
        EXPECT_GE(meta.at(isig::eMetaTimestamp), last[i - 1]->meta.at(isig::eMetaTimestamp));
      }
      ExpectRamp<double>(last[i]->buffer, 4 * (first + i), 4);
    }
    for (size_t c = 0; c < 2; ++c) {
      Client<double>::Block block;
      do {
        ASSERT_EQ(clients[c]->Read(block, 10000), isig::eSuccess);
      } while (block->meta.at(isig::eMetaSequence) < first);
      for (unsigned int i = 0; i < c_blocks; ++i) {
        if (i > 0) {
          ASSERT_EQ(clients[c]->Read(block, 10000), isig::eSuccess);
        }
        EXPECT_EQ(block.get(), last[i].get()) << "client " << c << ", block " << i;
      }
    }

    // regd counts a block once its Dispatch call has returned.
    isig::SignalStats stats;
    EXPECT_TRUE(testsupport::WaitUntil([&] {
      stats = stream->GetStatistics();
      return stats.size() == 1 && stats[0].total >= c_blocks;
    }));
    ASSERT_EQ(stats.size(), 1u);
    EXPECT_EQ(stats[0].name, "scope");
    EXPECT_EQ(stats[0].rejected, 0u);
    EXPECT_EQ(stats[0].asize, 16u);

    // The last client to close unregisters; the server stops pushing.
    clients[0]->Close();
    clients[1].reset();
    EXPECT_EQ(Counter(lab, "receivers"), 1u);
    clients[2]->Close();
    EXPECT_FALSE(stream->IsRegistered());
    EXPECT_EQ(Counter(lab, "receivers"), 0u);
    EXPECT_TRUE(stream->GetStatistics().empty());
    const unsigned long long pushed = Counter(lab, "blocks_pushed");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // ten block periods
    EXPECT_EQ(Counter(lab, "blocks_pushed"), pushed);
  });
}

TEST_F(RemoteSignalTest, CancellationByTheServerReachesEveryClientAndTheStreamCanRegisterAgain) {
  InClient([&] {
    RegdProcess regd;
    const roz::Node lab = StartAndConnect(regd, SignalTree());
    ASSERT_TRUE(lab.IsValid());
    const roz::Node streams = lab["streams"];
    const isig::SignalSourceSharedPtr source = roz::CreateRemoteSignal(streams["ending"]);
    ASSERT_TRUE(source);
    std::vector<std::unique_ptr<Client<int>>> clients;
    for (const char* name : {"a", "b", "c"}) clients.push_back(OpenClient<int>(*source, name));

    // Cancel(0) after three blocks: every client reads what it got, then -5.
    for (const auto& client : clients) {
      Client<int>::Block block;
      isig::SuccessCode_e code;
      long long next = -1;
      while ((code = client->Read(block, 10000)) == isig::eSuccess) {
        const long long sequence = block->meta.at(isig::eMetaSequence);
        if (next >= 0) {
          EXPECT_EQ(sequence, next) << client->Name();
        }
        next = sequence + 1;
      }
      EXPECT_EQ(code, isig::eCancelled) << client->Name();
      EXPECT_EQ(next, 3) << client->Name() << ": the last block before the cancellation";
    }
    const auto stream = std::dynamic_pointer_cast<Stream<int>>(source);
    EXPECT_EQ(stream->QueueCount(), 0u);

    // Closing the cancelled clients ends the registration at the server;
    // opening again registers anew and the server starts from the first
    // block.
    for (const auto& client : clients) client->Close();
    EXPECT_EQ(Counter(lab, "receivers"), 0u);
    clients[0]->Open();
    EXPECT_EQ(Counter(lab, "receivers"), 1u);
    Client<int>::Block block;
    ASSERT_EQ(clients[0]->Read(block, 10000), isig::eSuccess);
    EXPECT_EQ(block->meta.at(isig::eMetaSequence), 0);

    // Another code reaches the clients as it is.
    const isig::SignalSourceSharedPtr seven = roz::CreateRemoteSignal(streams["ending_seven"]);
    ASSERT_TRUE(seven);
    const auto client = OpenClient<int>(*seven, "d");
    isig::SuccessCode_e code;
    while ((code = client->Read(block, 10000)) == isig::eSuccess) {
    }
    EXPECT_EQ(code, 7);
  });
}

TEST_F(RemoteSignalTest, ShutDownTwiceEndsEveryClientAndNothingStaysRegistered) {
  InClient([&] {
    RegdProcess regd;
    const roz::Node lab = StartAndConnect(regd, SignalTree());
    ASSERT_TRUE(lab.IsValid());
    const roz::Node scope = lab.GetNode(roz::Tokenize("streams.scope"));
    isig::SignalSourceSharedPtr source = roz::CreateRemoteSignal(scope);
    ASSERT_TRUE(source);
    auto a = OpenClient<double>(*source, "a");
    auto b = OpenClient<double>(*source, "b");
    source->ShutDown();
    source->ShutDown();
    const auto stream = std::dynamic_pointer_cast<Stream<double>>(source);
    EXPECT_EQ(stream->State(), isig::eStreamShutDown);
    for (Client<double>* client : {a.get(), b.get()}) {
      Client<double>::Block block;
      isig::SuccessCode_e code;
      while ((code = client->Read(block, 10000)) == isig::eSuccess) {
      }
      EXPECT_EQ(code, isig::eCancelled) << client->Name();
    }
    // The clients that go close the input: the receiver is unregistered.
    a.reset();
    EXPECT_EQ(Counter(lab, "receivers"), 0u);
    b->Close();
    EXPECT_EQ(testutil::ThrownText([&] { b->Open(); }), "isig: stream is shut down.");

    // A stream destroyed while registered unregisters.
    source = roz::CreateRemoteSignal(scope);
    ASSERT_TRUE(source);
    std::dynamic_pointer_cast<Stream<double>>(source)->OpenInput();
    EXPECT_EQ(Counter(lab, "receivers"), 1u);
    source.reset();
    EXPECT_EQ(Counter(lab, "receivers"), 0u);
  });
}

TEST_F(RemoteSignalTest, DestructionWhileBlocksStillArriveIsClean) {
  InClient([&] {
    RegdProcess regd;
    const roz::Node lab = StartAndConnect(regd, SignalTree());
    ASSERT_TRUE(lab.IsValid());
    const roz::Node flood = lab.GetNode(roz::Tokenize("streams.flood"));
    for (int round = 0; round < 3; ++round) {
      // Readers on their own threads own the last references to the
      // stream; the last one to finish destroys it while regd pushes as
      // fast as it can.
      isig::SignalSourceSharedPtr source = roz::CreateRemoteSignal(flood);
      ASSERT_TRUE(source);
      std::vector<std::thread> readers;
      std::atomic<int> read{0};
      for (int r = 0; r < 3; ++r) {
        std::shared_ptr<Client<double>> client = OpenClient<double>(*source, "r", 4);
        readers.emplace_back([client, r, &read]() mutable {
          Client<double>::Block block;
          for (int i = 0; i < 5 * (r + 1); ++i) {
            if (client->Read(block, 10000) == isig::eSuccess) ++read;
          }
          client.reset();
        });
      }
      source.reset();
      for (std::thread& reader : readers) reader.join();
      EXPECT_EQ(read.load(), 30);
      EXPECT_EQ(Counter(lab, "receivers"), 0u);

      // Destroyed with no client, still registered.
      source = roz::CreateRemoteSignal(flood);
      const unsigned long long pushed = Counter(lab, "blocks_pushed");
      std::dynamic_pointer_cast<Stream<double>>(source)->OpenInput();
      ASSERT_TRUE(testsupport::WaitUntil([&] { return Counter(lab, "blocks_pushed") > pushed; }));
      source.reset();
      EXPECT_EQ(Counter(lab, "receivers"), 0u);
    }
  });
}

TEST_F(RemoteSignalTest, DataOnDemandClientsReadWhereTheyAskUpToTheEndOfTheSignal) {
  InClient([&] {
    RegdProcess regd;
    const roz::Node lab = StartAndConnect(regd, SignalTree());
    ASSERT_TRUE(lab.IsValid());
    const auto source = std::dynamic_pointer_cast<DodSource<double>>(
        roz::CreateRemoteSignal(lab.GetNode(roz::Tokenize("types.dod_double"))));
    ASSERT_TRUE(source);
    DodClient<double> one(source, "one");
    DodClient<double> two(source, "two");
    EXPECT_EQ(source->ClientCount(), 2u);

    isig::Array<Traits<double>> atoms;
    isig::SignalMeta meta;
    ASSERT_EQ(one.Read(990, 5, atoms, meta), isig::eSuccess);
    ExpectRamp<double>(atoms, 990, 5);
    const long long firstRead = meta.at(isig::eMetaSequence);
    ASSERT_EQ(two.Read(998, 5, atoms, meta), isig::eSuccess);
    ExpectRamp<double>(atoms, 998, 2);  // the signal has 1000 atoms
    EXPECT_EQ(meta.at(isig::eMetaPosition), 998);
    EXPECT_EQ(meta.at(isig::eMetaSequence), firstRead + 1) << "the server counts its reads";

    // Beyond the end: nothing, and what the client held stays.
    EXPECT_EQ(one.Read(1000, 1, atoms, meta), isig::eNoData);
    EXPECT_EQ(atoms.AtomCount(), 2u);
  });
}

TEST_F(RemoteSignalTest, CancelEndsAPendingDataOnDemandReadWithTheCode) {
  InClient([&] {
    RegdProcess regd;
    const roz::Node lab = StartAndConnect(regd, SignalTree());
    ASSERT_TRUE(lab.IsValid());
    const auto source = std::dynamic_pointer_cast<DodSource<double>>(
        roz::CreateRemoteSignal(lab.GetNode(roz::Tokenize("slow.history"))));
    ASSERT_TRUE(source);
    DodClient<double> reader(source, "reader");
    isig::Array<Traits<double>> atoms;
    isig::SignalMeta meta;

    // The server answers after a second; the source's Cancel ends the wait
    // with its code (0 as -5). Cancels are repeated until the read has
    // started: one that comes before does not touch a later read.
    for (const isig::SuccessCode_e code : {static_cast<isig::SuccessCode_e>(7), isig::eSuccess}) {
      std::atomic<bool> done{false};
      isig::SuccessCode_e result = isig::eSuccess;
      std::thread read([&] {
        result = reader.Read(10, 2, atoms, meta);
        done = true;
      });
      while (!done) {
        source->Cancel(code);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      read.join();
      EXPECT_EQ(result, code == isig::eSuccess ? isig::eCancelled : code);
      EXPECT_EQ(atoms.AtomCount(), 0u) << "a cancelled read delivers nothing";
    }

    // Without a cancellation the slow answer arrives.
    ASSERT_EQ(reader.Read(10, 2, atoms, meta), isig::eSuccess);
    ExpectRamp<double>(atoms, 10, 2);
  });
}

}  // namespace
