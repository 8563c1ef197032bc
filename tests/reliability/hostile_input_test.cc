// Hostile and malformed input from a server (HostileServer, in a process of
// its own): an any of every wrong kind for every value slot, sequences much
// longer than asked for, strings that are not UTF-8, notification records
// of every kind of payload, and signal blocks of odd lengths, of no values,
// of the wrong element type and after a double Cancel. Each
// case must end in the client's stated error text or a dropped record, and
// the proxy and the streams must stay usable after it.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/roz.h"
#include "isig/isig.h"
#include "reliability/hostile_server.h"
#include "remote/remote_fixture.h"
#include "support/inbox.h"
#include "support/regd_fixture.h"

namespace {

using remotetest::RemoteTest;
using remotetest::ThrownText;
using roz::Node;
using testsupport::Inbox;
using testsupport::WaitUntil;

using Traits = isig::SignalTraits<double>;
using StreamClient = isig::StreamClient<Traits>;
using DodSource = isig::DataOnDemandRemoteSource<Traits>;
using DodClient = isig::DodRemoteClient<Traits>;

const std::string c_none = "(nothing thrown)";

class HostileTest : public RemoteTest {
 protected:
  // Runs `body` in a client child with a hostile server connected as the
  // platform root.
  void WithHostileServer(const std::function<void(const Node&)>& body,
                         istd::TraceLevel_e trace = istd::eOff) {
    InClient([&] {
      hostile::HostileServer server;
      if (trace != istd::eOff) StartTrace(trace);
      roz::Init();
      const Node root =
          roz::Connect("127.0.0.1", roz::ePlatform, static_cast<int>(server.Port()), false);
      ASSERT_TRUE(root.IsValid());
      body(root);
      // Whatever came before, the proxy still answers.
      Node handle = root;
      EXPECT_EQ(roz::Ping(handle), roz::eConnected);
      int value = -1;
      EXPECT_TRUE(root["plain"].GetValue(value, 0));
      EXPECT_EQ(value, 0);
      roz::Shutdown();
    });
  }
  static Node At(const Node& root, const std::string& path) {
    return Node(root.GetTreeNode(), roz::Tokenize(path));
  }
};

// One value slot of the handle: its scalar and array reads, and the kinds
// (hostile::c_answerKinds) that answer them correctly.
struct Slot {
  std::string name;
  std::function<std::string(const Node&)> scalar;
  std::function<std::string(const Node&)> array;
  std::string scalarKind;
  std::string bufferKind;
};

template <typename T>
Slot MakeSlot(const std::string& name, const std::string& scalarKind,
              const std::string& bufferKind) {
  return Slot{name,
              [](const Node& node) {
                T value{};
                return ThrownText([&] { node.Get(value, 0); });
              },
              [](const Node& node) {
                std::vector<T> values;
                return ThrownText([&] { node.Get(values, 0, 2); });
              },
              scalarKind, bufferKind};
}

bool IsSequence(const std::string& kind) {
  return kind.find("Buffer") != std::string::npos || kind == "StringVec" || kind == "stats";
}

TEST_F(HostileTest, EveryWrongKindOfAnswerForEverySlotHasItsText) {
  WithHostileServer([&](const Node& root) {
    const std::vector<Slot> slots = {
        MakeSlot<bool>("bool", "bool", "BooleanBuffer"),
        MakeSlot<int32_t>("int32_t", "long", "Int32Buffer"),
        MakeSlot<uint32_t>("uint32_t", "ulong", "UInt32Buffer"),
        MakeSlot<int64_t>("int64_t", "longlong", "Int64Buffer"),
        MakeSlot<uint64_t>("uint64_t", "ulonglong", "UInt64Buffer"),
        MakeSlot<float>("float", "float", "FloatBuffer"),
        MakeSlot<double>("double", "double", "DoubleBuffer"),
        MakeSlot<std::string>("string", "string", "StringBuffer"),
    };
    int wrong = 0;
    for (const Slot& slot : slots) {
      for (const std::string& kind : hostile::c_answerKinds) {
        const std::string path = "answer." + kind;
        const Node node = At(root, path);
        std::string expected;
        if (kind == slot.scalarKind) {
          expected = c_none;
        } else if (IsSequence(kind)) {
          expected = "ireg: can't assign an array to scalar value: " + path;
        } else {
          expected = "ireg: invalid type: " + path;
        }
        EXPECT_EQ(slot.scalar(node), expected) << slot.name << " read as scalar";
        if (kind == slot.bufferKind) {
          expected = c_none;
        } else if (kind == "empty") {
          expected = "ireg: value not available: " + path;
        } else {
          expected = "ireg: internal error (unable to convert value): " + path;
        }
        EXPECT_EQ(slot.array(node), expected) << slot.name << " read as array";
        wrong += (kind != slot.scalarKind) + (kind != slot.bufferKind);
      }
    }
    EXPECT_EQ(wrong, 384) << "8 types x 2 reads x 24 wrong kinds";

    // The right answers are taken as they are.
    std::vector<double> doubles;
    EXPECT_TRUE(At(root, "answer.DoubleBuffer").GetValue(doubles, 0, 2));
    EXPECT_EQ(doubles, (std::vector<double>{0.25, 1.25}));
    std::string text;
    EXPECT_TRUE(At(root, "answer.string").GetValue(text, 0));
    EXPECT_EQ(text, "text");
    // The reporting forms say false.
    int32_t value = 0;
    EXPECT_FALSE(At(root, "answer.struct").GetValue(value, 0));
    EXPECT_EQ(At(root, "answer.objref").ToString(), "N/A") << "no readable value";
  });
}

TEST_F(HostileTest, SequencesLongerThanAskedForStayInsideTheCallersBuffers) {
  WithHostileServer([&](const Node& root) {
    // A vector read holds what the server sent, however many were asked.
    std::vector<int32_t> ints;
    EXPECT_TRUE(At(root, "long.Long").GetValue(ints, 0, 2));
    EXPECT_EQ(ints.size(), hostile::c_longLength);
    std::vector<std::string> texts;
    EXPECT_TRUE(At(root, "long.String").GetValue(texts, 0, 1));
    EXPECT_EQ(texts.size(), hostile::c_longLength);
    int32_t one = 0;
    EXPECT_EQ(ThrownText([&] { At(root, "long.Long").Get(one, 0); }),
              "ireg: can't assign an array to scalar value: long.Long");

    // Raw buffers and text cells are never written past their size.
    struct {
      int values[4];
      unsigned char guard[16];
    } raw;
    std::memset(&raw, 0x5a, sizeof raw);
    At(root, "long.Long").GetArrayByType(raw.values, sizeof raw.values);
    EXPECT_EQ(raw.values[3], 3);
    for (unsigned char byte : raw.guard) ASSERT_EQ(byte, 0x5a);
    struct {
      double values[2];
      unsigned char guard[16];
    } wide;
    std::memset(&wide, 0x5a, sizeof wide);
    At(root, "long.Double").GetArrayByType(wide.values, sizeof wide.values);
    EXPECT_EQ(wide.values[1], 3.0);
    for (unsigned char byte : wide.guard) ASSERT_EQ(byte, 0x5a);
    struct {
      char cells[3 * 4];
      unsigned char guard[16];
    } cells;
    std::memset(&cells, 0x5a, sizeof cells);
    At(root, "long.ULong").GetStringArrayByType(cells.cells, sizeof cells.cells, 4);
    EXPECT_STREQ(cells.cells + 8, "3");
    for (unsigned char byte : cells.guard) ASSERT_EQ(byte, 0x5a);
    const std::string shown = At(root, "long.Bool").ToString(40);
    EXPECT_EQ(shown.size(), 40u);
    EXPECT_EQ(shown.substr(0, 11), "[true,true,");

    // A data-on-demand read answered with a thousand times the atoms asked
    // for (and half an atom more) delivers what was asked for.
    const auto source =
        std::dynamic_pointer_cast<DodSource>(roz::CreateRemoteSignal(At(root, "dod.big")));
    ASSERT_TRUE(source);
    DodClient reader(source, "reader");
    isig::Array<Traits> atoms;
    isig::SignalMeta meta;
    ASSERT_EQ(reader.Read(10, 5, atoms, meta), isig::eSuccess);
    EXPECT_EQ(atoms.AtomCount(), 5u);
    EXPECT_EQ(atoms.Atom(4)[1], 9.0);
    EXPECT_EQ(meta.at(isig::eMetaPosition), 10);
    // An answer of no values is an empty read. Cancelling twice with no
    // read pending touches no later read.
    const auto empty =
        std::dynamic_pointer_cast<DodSource>(roz::CreateRemoteSignal(At(root, "dod.empty")));
    ASSERT_TRUE(empty);
    DodClient emptyReader(empty, "empty");
    empty->Cancel(static_cast<isig::SuccessCode_e>(7));
    empty->Cancel(static_cast<isig::SuccessCode_e>(9));
    ASSERT_EQ(emptyReader.Read(0, 5, atoms, meta), isig::eSuccess);
    EXPECT_EQ(atoms.AtomCount(), 0u);
  });
}

TEST_F(HostileTest, StringsThatAreNotUtf8PassUnchanged) {
  WithHostileServer([&](const Node& root) {
    // The library does not interpret text: what the server sent arrives
    // byte for byte, in scalars, buffers and refusals.
    const std::string bad = hostile::c_badUtf8;
    std::string text;
    EXPECT_EQ(ThrownText([&] { At(root, "utf8.scalar").Get(text, 0); }), c_none);
    EXPECT_EQ(text, bad);
    std::vector<std::string> texts;
    EXPECT_EQ(ThrownText([&] { At(root, "utf8.buffer").Get(texts, 0, 0); }), c_none);
    EXPECT_EQ(texts, (std::vector<std::string>{"fine", bad}));
    EXPECT_EQ(ThrownText([&] { At(root, "utf8.refused").Get(text, 0); }), bad);
    EXPECT_EQ(ThrownText([&] { At(root, "utf8.scalar").Set(bad, 0); }), c_none);
  });
}

TEST_F(HostileTest, OddBlocksAndADoubleCancelLeaveTheStreamUsable) {
  WithHostileServer([&](const Node& root) {
    const Node signal = At(root, "sig.blocks");
    const isig::SignalSourceSharedPtr source = roz::CreateRemoteSignal(signal);
    ASSERT_TRUE(source);
    std::unique_ptr<StreamClient> client(
        dynamic_cast<StreamClient*>(source->NewSignalClient("reader", 64)));
    ASSERT_TRUE(client);
    for (int round = 0; round < 2; ++round) {
      client->Open();
      // The server pushes its hostile blocks before this write returns.
      ASSERT_TRUE(signal.SetValue(1, 0)) << "round " << round;
      StreamClient::Block block;
      // 5 values: two whole atoms, the rest dropped.
      ASSERT_EQ(client->Read(block, 5000), isig::eSuccess);
      EXPECT_EQ(block->meta.at(isig::eMetaSequence), 0);
      ASSERT_EQ(block->buffer.AtomCount(), 2u);
      EXPECT_EQ(block->buffer.Atom(1)[1], 4.0);
      // No values, and half an atom: blocks of no atoms.
      for (long long sequence : {1, 2}) {
        ASSERT_EQ(client->Read(block, 5000), isig::eSuccess);
        EXPECT_EQ(block->meta.at(isig::eMetaSequence), sequence);
        EXPECT_EQ(block->buffer.AtomCount(), 0u);
      }
      // The floats are not this stream's element type: dropped. The good
      // block after them arrives whole.
      ASSERT_EQ(client->Read(block, 5000), isig::eSuccess);
      EXPECT_EQ(block->meta.at(isig::eMetaSequence), 4);
      ASSERT_EQ(block->buffer.AtomCount(), 2u);
      EXPECT_EQ(block->buffer.Atom(0)[0], 10.0);
      EXPECT_EQ(block->buffer.Atom(1)[1], 13.0);
      // The first Cancel ends the client with its code; the second and the
      // block after them reach no one.
      EXPECT_EQ(client->Read(block, 5000), static_cast<isig::SuccessCode_e>(7));
      EXPECT_EQ(client->Read(block, 200), static_cast<isig::SuccessCode_e>(7));
      client->Close();
    }
  });
}

// The server sends a record of every kind of payload with a type code the
// client does not know, then good records. The records whose payload is a
// simple value or buffer reach the callback with the code unchanged; the
// others (no value, a StringVec, shorts, octets, chars, structs, an object
// reference) are dropped; the good records follow in order, and no Emit
// call of the server fails.
TEST_F(HostileTest, NotificationsOfEveryPayloadKindAreDeliveredOrDroppedAndTheGoodOnesFollow) {
  WithHostileServer([&](const Node& root) {
    const Node node = At(root, "notify.x");
    Inbox inbox;
    roz::NotificationClient listener(inbox.Take());
    ASSERT_TRUE(listener.Register(node));
    // The eight scalars and the eight i_NET value buffers come first in
    // c_answerKinds; they convert. The empty any after them is a
    // notification without a value, delivered with an empty payload.
    const size_t convertible = 16;
    const size_t delivered = convertible + 1;
    const size_t expected = delivered + hostile::c_goodNotifications;
    for (int round = 0; round < 2; ++round) {
      ASSERT_TRUE(node.SetValue(1, 0)) << "round " << round;
      ASSERT_TRUE(inbox.WaitFor(expected * (round + 1), 10.0)) << "round " << round;
      // Nothing more is on its way.
      EXPECT_FALSE(inbox.WaitFor(expected * (round + 1) + 1, 0.3));
      const size_t first = expected * round;
      for (size_t i = 0; i < convertible; ++i) {
        const roz::NotificationData record = inbox.At(first + i);
        EXPECT_EQ(record.type, hostile::c_oddNotificationType) << hostile::c_answerKinds[i];
        EXPECT_FALSE(record.data.Empty()) << hostile::c_answerKinds[i];
        EXPECT_TRUE(record.node == node);
      }
      ASSERT_EQ(hostile::c_answerKinds[convertible], "empty");
      EXPECT_TRUE(inbox.At(first + convertible).data.Empty());
      EXPECT_EQ(inbox.At(first + convertible).type, hostile::c_oddNotificationType);
      for (unsigned int i = 0; i < hostile::c_goodNotifications; ++i) {
        const roz::NotificationData record = inbox.At(first + delivered + i);
        EXPECT_EQ(record.type, roz::enums::eValueChanged);
        EXPECT_EQ(record.data.Get<int32_t>(), hostile::c_goodValue + static_cast<int>(i));
        EXPECT_EQ(record.pos, i);
      }
    }
    int failed = -1;
    ASSERT_TRUE(At(root, "notify.failed").GetValue(failed, 0));
    EXPECT_EQ(failed, 0);
    EXPECT_TRUE(listener.Unregister(node));
  });
}

}  // namespace

namespace {

// omniORB asserts on some values it has decoded (a fixed-point type code of
// more than 31 digits in an answer) with its own exception type, which is
// no std::exception: a read ends in the client's "not accessible" text.
TEST(FetchFailureTest, OmniOrbsAssertionOnADecodedAnswerEndsAsNotAccessible) {
  const roz::Path path{"answer", "fixed"};
  EXPECT_EQ(ThrownText([&] {
              try {
                throw omniORB::fatalException("typecode.cc", 1, "digits out of range");
              } catch (...) {
                roz::detail::ThrowFetchFailure("FetchValue", path);
              }
            }),
            "ireg: node not accessible: answer.fixed");
}

}  // namespace
