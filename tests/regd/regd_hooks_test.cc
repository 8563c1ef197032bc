// The misbehaviour hooks of regd's tree file: each one makes a node answer
// the way a faulty or unusual server would, so that clients can test their
// failure paths end to end.
#include <gtest/gtest.h>

#include <chrono>

#include "regd/regd_client.h"

namespace {

using regdtest::Client;
using regdtest::Names;
using regdtest::Raised;
using regdtest::Write;

const char* const c_tree = R"({
  "name": "faulty",
  "children": [
    {"name": "seq", "type": "Long", "value": 7, "flags": ["read", "write"],
     "hooks": {"answer": "sequence"}},
    {"name": "empty", "type": "Double", "value": [1.0, 2.0], "flags": ["read", "array"],
     "hooks": {"answer": "empty"}},
    {"name": "strvec", "type": "String", "value": ["a", "b"], "flags": ["read", "array"],
     "hooks": {"answer": "string_vec"}},
    {"name": "other", "type": "Long", "value": 5, "flags": ["read"],
     "hooks": {"answer": "other_scalar"}},
    {"name": "busy", "type": "Long", "value": 1, "flags": ["read", "write"],
     "hooks": {"value_exception": "device busy"}},
    {"name": "typed", "type": "Long", "value": 1, "flags": ["read", "write"],
     "hooks": {"invalid_type": true}},
    {"name": "slow", "type": "Long", "value": 1, "flags": ["read", "write"],
     "hooks": {"delay_ms": 300}},
    {"name": "nosub", "type": "Long", "value": 1, "flags": ["read", "write"],
     "hooks": {"refuse_subscribe": true}},
    {"name": "broken", "type": "Long", "value": 1, "flags": ["read", "write"],
     "hooks": {"system_exception": "COMM_FAILURE"}},
    {"name": "vanished", "type": "Long", "value": 1, "flags": ["read", "write"],
     "hooks": {"not_found": true}},
    {"name": "fixed", "type": "Long", "value": 1, "flags": ["read", "write", "constant"]}
  ]})";

class RegdHooksTest : public testsupport::RegdTest {
 protected:
  void SetUp() override {
    RegdTest::SetUp();
    Regd().Options().tree = Regd().WriteTree("faulty.json", c_tree);
    StartRegd();
    app = Application();
    client = std::make_unique<Client>(app);
  }
  // The raw answer of GetValue.
  CORBA::Any* Get(const std::string& path, CORBA::TypeCode_ptr hint) {
    return client->root->GetValue(Names(path), 0, 0, hint);
  }
  i_NET::Application_var app;
  std::unique_ptr<Client> client;
};

TEST_F(RegdHooksTest, AnswerHooksSendTheWrongShapeOfValue) {
  CORBA::Any_var seq = Get("seq", CORBA::_tc_long);
  EXPECT_TRUE(inet::HoldsAlias(seq.in(), i_NET::_tc_Int32Buffer))
      << "a scalar read answered by a sequence";

  CORBA::Any_var empty = Get("empty", CORBA::_tc_double);
  CORBA::TypeCode_var emptyType = empty->type();
  EXPECT_EQ(emptyType->kind(), CORBA::tk_null);

  CORBA::Any_var strvec = Get("strvec", CORBA::_tc_string);
  EXPECT_TRUE(inet::HoldsAlias(strvec.in(), i_NET::_tc_StringVec));
  EXPECT_FALSE(inet::HoldsAlias(strvec.in(), i_NET::_tc_StringBuffer));
  const i_NET::StringVec* texts = nullptr;
  ASSERT_TRUE(strvec.in() >>= texts);
  ASSERT_EQ(texts->length(), 2u);
  EXPECT_STREQ((*texts)[1].in(), "b");

  CORBA::Any_var other = Get("other", CORBA::_tc_long);
  const char* text = nullptr;
  ASSERT_TRUE(other.in() >>= text) << "a Long read answered by a string";
  EXPECT_STREQ(text, "5");

  // The hooked node still takes writes normally.
  Write(client->root, "seq", std::vector<int32_t>{9});
  CORBA::Any_var after = Get("seq", CORBA::_tc_long);
  const i_NET::Int32Buffer* values = nullptr;
  ASSERT_TRUE(after.in() >>= values);
  EXPECT_EQ((*values)[0], 9);
}

TEST_F(RegdHooksTest, ExceptionHooksRaiseOnReadAndWrite) {
  EXPECT_EQ(Raised([&] { CORBA::Any_var v = Get("busy", CORBA::_tc_long); }),
            "ValueException: device busy");
  EXPECT_EQ(Raised([&] { Write(client->root, "busy", std::vector<int32_t>{2}); }),
            "ValueException: device busy");
  EXPECT_EQ(Raised([&] { CORBA::Any_var v = Get("typed", CORBA::_tc_long); }),
            "InvalidType: invalid type (hook): typed");
  EXPECT_EQ(Raised([&] { Write(client->root, "typed", std::vector<int32_t>{2}); }),
            "InvalidType: invalid type (hook): typed");
  EXPECT_EQ(Raised([&] { CORBA::Any_var v = Get("broken", CORBA::_tc_long); }).substr(0, 20),
            "CORBA::COMM_FAILURE#");
  EXPECT_EQ(Raised([&] { client->root->Subscribe(Names("broken")); }).substr(0, 20),
            "CORBA::COMM_FAILURE#");
  EXPECT_EQ(Raised([&] { Write(client->root, "fixed", std::vector<int32_t>{2}); }),
            "ValueException: node is constant: fixed")
      << "not a hook: a constant node refuses writes even with the write flag";
  // Attributes of those nodes answer normally.
  EXPECT_EQ(client->root->GetValueType(Names("broken")), roz::enums::eLong);
}

TEST_F(RegdHooksTest, NotFoundHookHidesTheNodeFromEveryCall) {
  i_NET::NodeNames_var children = client->root->GetNodes(Names(""));
  EXPECT_STREQ(children[children->length() - 2].in(), "vanished") << "still listed";
  EXPECT_EQ(Raised([&] { client->root->GetValueType(Names("vanished")); }),
            "NotFound: node not found: vanished");
  EXPECT_EQ(Raised([&] { CORBA::Any_var v = Get("vanished", CORBA::_tc_long); }),
            "NotFound: node not found: vanished");
  EXPECT_FALSE(client->root->Subscribe(Names("vanished")));
}

TEST_F(RegdHooksTest, DelayAndSubscriptionHooks) {
  const auto start = std::chrono::steady_clock::now();
  CORBA::Any_var v = Get("slow", CORBA::_tc_long);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_FALSE(client->root->Subscribe(Names("nosub")));
  EXPECT_TRUE(client->root->Subscribe(Names("slow")));
  EXPECT_EQ(regdtest::Counter(client->root, "subscriptions"), 1u);
}

}  // namespace
