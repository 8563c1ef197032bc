// regd's registry as clients see it: navigation, attributes, typed reads and
// writes of every value type, and the exceptions of refused accesses.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "regd/regd_client.h"

namespace {

using regdtest::Client;
using regdtest::Names;
using regdtest::Raised;
using regdtest::Read;
using regdtest::Write;

class RegdRegistryTest : public testsupport::RegdTest {
 protected:
  void SetUp() override {
    RegdTest::SetUp();
    StartRegd();
    app = Application();
    client = std::make_unique<Client>(app);
  }
  i_NET::RemoteNode_ptr Root() { return client->root.in(); }

  std::vector<std::string> Children(const std::string& path) {
    i_NET::NodeNames_var names = Root()->GetNodes(Names(path));
    std::vector<std::string> out;
    for (CORBA::ULong i = 0; i < names->length(); ++i) out.emplace_back(names[i]);
    return out;
  }

  i_NET::Application_var app;
  std::unique_ptr<Client> client;
};

TEST_F(RegdRegistryTest, WalksTheDemoTreeWithHiddenNodesLeftOutOfListings) {
  CORBA::String_var rootName = Root()->GetName(Names(""));
  EXPECT_STREQ(rootName.in(), "demo");
  const std::vector<std::string> top = {"identity",    "settings", "calibration",
                                        "measurement", "reset",    "signals"};
  EXPECT_EQ(Children(""), top) << "service and regd are hidden";
  EXPECT_EQ(Root()->GetNodeCount(Names("")), top.size());
  CORBA::String_var second = Root()->GetNameByIndex(Names(""), 1);
  EXPECT_STREQ(second.in(), "settings");
  EXPECT_EQ(Raised([&] { CORBA::String_var n = Root()->GetNameByIndex(Names(""), 6); }),
            "NotFound: no child with index 6 in: ");
  EXPECT_FALSE(Root()->IsLeaf(Names("settings")));
  EXPECT_TRUE(Root()->IsLeaf(Names("settings.gain")));

  // Hidden nodes are reached by path.
  EXPECT_EQ(Read(Root(), "service.factory_key", CORBA::_tc_string).Get<std::string>(), "7F3A-22C1");
  EXPECT_EQ(Root()->GetFlags(Names("service")), roz::enums::eRead | roz::enums::eHidden);
  EXPECT_TRUE(Root()->IsLeaf(Names("service.debug_level")));

  // A walk over every listed node: each one answers its attributes.
  std::vector<std::string> visited;
  std::function<void(const std::string&)> walk = [&](const std::string& path) {
    visited.push_back(path);
    Root()->GetValueType(Names(path));
    Root()->GetFlags(Names(path));
    for (const std::string& child : Children(path)) walk(path.empty() ? child : path + "." + child);
  };
  walk("");
  EXPECT_EQ(visited.size(), 46u);
  EXPECT_NE(std::find(visited.begin(), visited.end(), "signals.scope.components_names"),
            visited.end());

  EXPECT_EQ(Root()->GetValueType(Names("settings.mode")), roz::enums::eEnumeration);
  EXPECT_EQ(Root()->GetValueType(Names("signals.scope")), roz::enums::eUndefined);
  EXPECT_EQ(Root()->GetSize(Names("calibration.coefficients")), 4u);
  EXPECT_EQ(Root()->GetSize(Names("settings.gain")), 1u);
  EXPECT_EQ(Root()->GetSize(Names("settings")), 0u);
  EXPECT_EQ(Root()->GetFlags(Names("calibration.coefficients")),
            roz::enums::eRead | roz::enums::eWrite | roz::enums::eArray | roz::enums::ePersistent);
  EXPECT_EQ(Root()->GetFlags(Names("reset")), roz::enums::eWrite | roz::enums::eExecutable);

  i_NET::StringVec_var domain;
  EXPECT_TRUE(Root()->GetDomainValues(Names("settings.mode"), domain.out()));
  ASSERT_EQ(domain->length(), 4u);
  EXPECT_STREQ(domain[3].in(), "standby");
  EXPECT_FALSE(Root()->GetDomainValues(Names("settings.gain"), domain.out()));
  EXPECT_EQ(domain->length(), 0u);
  EXPECT_FALSE(Root()->GetDomainValues(Names("no.such.node"), domain.out()));
  CORBA::String_var expression;
  EXPECT_TRUE(Root()->GetValidatorExpression(Names("settings.gain"), expression.out()));
  EXPECT_STREQ(expression.in(), "0.01 <= value && value <= 1000");
  EXPECT_FALSE(Root()->GetValidatorExpression(Names("settings.offset"), expression.out()));

  // Unknown paths.
  const std::string missing = "NotFound: node not found: settings.nothing";
  EXPECT_EQ(Raised([&] { CORBA::String_var n = Root()->GetName(Names("settings.nothing")); }),
            missing);
  EXPECT_EQ(Raised([&] { Root()->GetFlags(Names("settings.nothing")); }), missing);
  EXPECT_EQ(Raised([&] { Root()->GetValueType(Names("settings.nothing")); }), missing);
  EXPECT_EQ(Raised([&] { Root()->GetSize(Names("settings.nothing")); }), missing);
  EXPECT_EQ(Raised([&] { Root()->IsLeaf(Names("settings.nothing")); }), missing);
  EXPECT_EQ(Raised([&] { Root()->GetNodeCount(Names("settings.nothing")); }), missing);
  EXPECT_EQ(Raised([&] { Read(Root(), "settings.nothing", CORBA::_tc_double); }), missing);
  EXPECT_EQ(Raised([&] { Write(Root(), "settings.nothing", std::vector<double>{1}); }), missing);
  EXPECT_EQ(Raised([&] {
              i_NET::RemoteSignal_var s = Root()->GetRemoteSignal(Names("settings.nothing"));
            }),
            missing);
}

TEST_F(RegdRegistryTest, ReadsAndWritesEveryScalarType) {
  // Reads answer plain scalars; writes take a buffer of one element.
  EXPECT_EQ(Read(Root(), "settings.enabled", CORBA::_tc_boolean).Get<bool>(), true);
  Write(Root(), "settings.enabled", std::vector<bool>{false});
  EXPECT_EQ(Read(Root(), "settings.enabled", CORBA::_tc_boolean).Get<bool>(), false);

  EXPECT_EQ(Read(Root(), "settings.gain", CORBA::_tc_double).Get<double>(), 1.0);
  Write(Root(), "settings.gain", std::vector<double>{2.75});
  EXPECT_EQ(Read(Root(), "settings.gain", CORBA::_tc_double).Get<double>(), 2.75);

  Write(Root(), "settings.threshold", std::vector<float>{0.5f});
  EXPECT_EQ(Read(Root(), "settings.threshold", CORBA::_tc_float).Get<float>(), 0.5f);

  EXPECT_EQ(Read(Root(), "settings.offset", CORBA::_tc_long).Get<int32_t>(), -12);
  Write(Root(), "settings.offset", std::vector<int32_t>{-2147483647 - 1});
  EXPECT_EQ(Read(Root(), "settings.offset", CORBA::_tc_long).Get<int32_t>(), -2147483647 - 1);

  Write(Root(), "settings.sample_rate", std::vector<uint32_t>{4294967295u});
  EXPECT_EQ(Read(Root(), "settings.sample_rate", CORBA::_tc_ulong).Get<uint32_t>(), 4294967295u);

  EXPECT_EQ(Read(Root(), "settings.timeout_ns", CORBA::_tc_longlong).Get<int64_t>(), 5000000000LL);
  Write(Root(), "settings.timeout_ns", std::vector<int64_t>{-9000000000000000000LL});
  EXPECT_EQ(Read(Root(), "settings.timeout_ns", CORBA::_tc_longlong).Get<int64_t>(),
            -9000000000000000000LL);

  Write(Root(), "settings.capacity", std::vector<uint64_t>{18446744073709551615ull});
  EXPECT_EQ(Read(Root(), "settings.capacity", CORBA::_tc_ulonglong).Get<uint64_t>(),
            18446744073709551615ull);

  Write(Root(), "settings.label", std::vector<std::string>{"line 7"});
  EXPECT_EQ(Read(Root(), "settings.label", CORBA::_tc_string).Get<std::string>(), "line 7");

  EXPECT_EQ(Read(Root(), "settings.mode", CORBA::_tc_string).Get<std::string>(), "normal");
  Write(Root(), "settings.mode", std::vector<std::string>{"precise"});
  EXPECT_EQ(Read(Root(), "settings.mode", CORBA::_tc_string).Get<std::string>(), "precise");

  // A second client sees the first one's writes.
  Client other(app);
  EXPECT_EQ(Read(other.root, "settings.gain", CORBA::_tc_double).Get<double>(), 2.75);
}

TEST_F(RegdRegistryTest, ReadsAndWritesArraysAtPositionAndCount) {
  using Doubles = std::vector<double>;
  const std::string path = "calibration.coefficients";
  EXPECT_EQ(Read(Root(), path, CORBA::_tc_double, 0, 0).Get<Doubles>(),
            (Doubles{1.0, 0.5, 0.25, 0.125}))
      << "count 0: everything from the position";
  EXPECT_EQ(Read(Root(), path, CORBA::_tc_double, 1, 2).Get<Doubles>(), (Doubles{0.5, 0.25}));
  EXPECT_EQ(Read(Root(), path, CORBA::_tc_double, 2, 10).Get<Doubles>(), (Doubles{0.25, 0.125}))
      << "a count past the end gives what there is";
  EXPECT_EQ(Read(Root(), path, CORBA::_tc_double, 3, 0).Get<Doubles>(), (Doubles{0.125}));
  EXPECT_EQ(Read(Root(), path, CORBA::_tc_double, 4, 0).Get<Doubles>(), Doubles{});
  EXPECT_EQ(Raised([&] { Read(Root(), path, CORBA::_tc_double, 5, 1); }),
            "ValueException: position 5 out of range (size 4): " + path);

  Write(Root(), path, Doubles{9.0}, 1);
  Write(Root(), path, Doubles{7.0, 8.0}, 4);  // grows the array
  EXPECT_EQ(Read(Root(), path, CORBA::_tc_double).Get<Doubles>(),
            (Doubles{1.0, 9.0, 0.25, 0.125, 7.0, 8.0}));
  EXPECT_EQ(Root()->GetSize(Names(path)), 6u);
  EXPECT_EQ(Raised([&] { Write(Root(), path, Doubles{1.0}, 7); }),
            "ValueException: position 7 out of range (size 6): " + path);

  // Every other element type, whole arrays.
  Write(Root(), "calibration.channel_enabled", std::vector<bool>{false, true});
  EXPECT_EQ(
      Read(Root(), "calibration.channel_enabled", CORBA::_tc_boolean).Get<std::vector<bool>>(),
      (std::vector<bool>{false, true, false, true}));
  Write(Root(), "calibration.offsets", std::vector<int32_t>{5, -5}, 2);
  EXPECT_EQ(Read(Root(), "calibration.offsets", CORBA::_tc_long).Get<std::vector<int32_t>>(),
            (std::vector<int32_t>{-3, 0, 5, -5}));
  Write(Root(), "calibration.ranges", std::vector<uint32_t>{1});
  EXPECT_EQ(Read(Root(), "calibration.ranges", CORBA::_tc_ulong, 0, 2).Get<std::vector<uint32_t>>(),
            (std::vector<uint32_t>{1, 10}));
  Write(Root(), "calibration.timestamps", std::vector<int64_t>{-1, -2, -3});
  EXPECT_EQ(Read(Root(), "calibration.timestamps", CORBA::_tc_longlong).Get<std::vector<int64_t>>(),
            (std::vector<int64_t>{-1, -2, -3}));
  Write(Root(), "calibration.counters", std::vector<uint64_t>{42}, 3);
  EXPECT_EQ(
      Read(Root(), "calibration.counters", CORBA::_tc_ulonglong, 3, 1).Get<std::vector<uint64_t>>(),
      (std::vector<uint64_t>{42}));
  Write(Root(), "calibration.weights", std::vector<float>{});
  EXPECT_EQ(Read(Root(), "calibration.weights", CORBA::_tc_float).Get<std::vector<float>>(),
            (std::vector<float>{0.5f, 1.5f, 2.5f}))
      << "writing no elements changes nothing";
  Write(Root(), "calibration.channel_names", std::vector<std::string>{"left", "right"});
  EXPECT_EQ(Read(Root(), "calibration.channel_names", CORBA::_tc_string, 1, 2)
                .Get<std::vector<std::string>>(),
            (std::vector<std::string>{"right", "ch3"}));
}

TEST_F(RegdRegistryTest, RefusesWrongTypesPositionsAndPermissions) {
  // InvalidType: the hint or the written sequence does not match.
  EXPECT_EQ(Raised([&] { Read(Root(), "settings.offset", CORBA::_tc_double); }),
            "InvalidType: value type is Long (tk_long), requested tk_double: settings.offset");
  EXPECT_EQ(
      Raised([&] { Read(Root(), "calibration.coefficients", CORBA::_tc_float); }).substr(0, 12),
      "InvalidType:");
  EXPECT_EQ(Raised([&] { Write(Root(), "settings.offset", std::vector<double>{1.0}); }),
            "InvalidType: expected Int32Buffer: settings.offset");
  EXPECT_EQ(Raised([&] {
              Root()->SetValue(Names("settings.label"),
                               inet::LocalSeqToCorbaAny<std::string, i_NET::StringVec>({"x"}), 0);
            }),
            "InvalidType: expected StringBuffer: settings.label")
      << "a StringVec is not a StringBuffer";
  EXPECT_EQ(Raised([&] {
              CORBA::Any scalar;
              scalar <<= static_cast<CORBA::Long>(3);
              Root()->SetValue(Names("settings.offset"), scalar, 0);
            }),
            "InvalidType: expected Int32Buffer: settings.offset")
      << "writes always send a buffer";

  // ValueException: refused by the node, with the reason.
  EXPECT_EQ(Raised([&] { Write(Root(), "identity.model", std::vector<std::string>{"x"}); }),
            "ValueException: node is not writable: identity.model");
  EXPECT_EQ(Raised([&] { Read(Root(), "reset", CORBA::_tc_longlong); }),
            "ValueException: node is not readable: reset");
  EXPECT_EQ(Raised([&] { Read(Root(), "settings", CORBA::_tc_long); }),
            "ValueException: node has no value: settings");
  EXPECT_EQ(Raised([&] { Read(Root(), "settings.gain", CORBA::_tc_double, 1, 1); }),
            "ValueException: position 1 out of range (scalar): settings.gain");
  EXPECT_EQ(Raised([&] {
              Write(Root(), "settings.gain", std::vector<double>{1.0, 2.0});
            }),
            "ValueException: a scalar takes exactly one element, not 2: settings.gain");
  EXPECT_EQ(Raised([&] { Write(Root(), "settings.mode", std::vector<std::string>{"turbo"}); }),
            "ValueException: value \"turbo\" is not in the domain: settings.mode");
  EXPECT_EQ(Raised([&] { Write(Root(), "reset", std::vector<int64_t>{1}); }),
            "ValueException: not a command code (238 at position 0): reset");
  // Nothing of it changed a value.
  EXPECT_EQ(Read(Root(), "settings.mode", CORBA::_tc_string).Get<std::string>(), "normal");
  EXPECT_EQ(Read(Root(), "settings.offset", CORBA::_tc_long).Get<int32_t>(), -12);
}

TEST_F(RegdRegistryTest, DiagnosticNodesCountClientsAndReleases) {
  using regdtest::Counter;
  EXPECT_EQ(Counter(Root(), "clients"), 1u);
  {
    Client second(app);
    EXPECT_EQ(Counter(Root(), "clients"), 2u);
    // The same sink again gets the same client.
    i_NET::Notification_var ref = second.sink.Ref();
    i_NET::RemoteNode_var again = app->GetRemoteNode(ref);
    EXPECT_TRUE(again->_is_equivalent(second.root));
    EXPECT_EQ(Counter(Root(), "clients"), 2u);
    EXPECT_EQ(Counter(Root(), "get_remote_node_calls"), 3u);
    EXPECT_TRUE(second.root->Subscribe(Names("settings.gain")));
    EXPECT_TRUE(second.root->Subscribe(Names("settings.gain")));
    EXPECT_TRUE(second.root->Subscribe(Names("settings.offset")));
    EXPECT_EQ(Counter(Root(), "subscriptions"), 2u);
    second.Release();
    EXPECT_EQ(Counter(Root(), "clients"), 1u);
    EXPECT_EQ(Counter(Root(), "subscriptions"), 0u);
    EXPECT_EQ(Counter(Root(), "release_calls"), 1u);
    // A released client's node is gone.
    EXPECT_EQ(Raised([&] { second.root->GetFlags(Names("")); }).substr(0, 24),
              "CORBA::OBJECT_NOT_EXIST#");
  }
  // An unknown sink is counted but changes nothing; a nil sink gets nothing.
  testsupport::Active<testsupport::NotificationSink> stranger;
  i_NET::Notification_var ref = stranger.Ref();
  app->ReleaseRemoteNode(ref);
  EXPECT_EQ(Counter(Root(), "release_calls"), 2u);
  EXPECT_EQ(Counter(Root(), "clients"), 1u);
  i_NET::RemoteNode_var none = app->GetRemoteNode(i_NET::Notification::_nil());
  EXPECT_TRUE(CORBA::is_nil(none));
  CORBA::String_var version = app->GetInterfaceVersion();
  EXPECT_STREQ(version.in(), "2.6");
}

}  // namespace
