// The i_NET module as compiled: repository ids, the shapes of its types,
// and (at compile time) the C++ signatures that its operations map to, so a
// change of the wire contract fails here.
#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

#include "network/inet.h"

namespace {

template <typename Signature, typename Class>
using MemberFunction = Signature Class::*;

// The servant-side signature of operation `op` of interface `impl`.
#define EXPECT_OPERATION(impl, op, ...) \
  static_assert(                        \
      std::is_same_v<decltype(&i_NET::impl::op), MemberFunction<__VA_ARGS__, i_NET::impl>>, #op)

using Names = const i_NET::NodeNames&;
using CORBA::Boolean;
using CORBA::Long;
using CORBA::LongLong;
using CORBA::ULong;
using CORBA::ULongLong;

EXPECT_OPERATION(_impl_Pingable, PingMe, Boolean(i_NET::Pingable_ptr, const char*));
EXPECT_OPERATION(_impl_Pingable, Ping, void());

EXPECT_OPERATION(_impl_Notification, Emit, void(const i_NET::NotificationData&));

EXPECT_OPERATION(_impl_SignalReceiver, DispatchInt8,
                 void(const i_NET::Int8Buffer&, const i_NET::SignalMeta&));
EXPECT_OPERATION(_impl_SignalReceiver, DispatchUInt8,
                 void(const i_NET::UInt8Buffer&, const i_NET::SignalMeta&));
EXPECT_OPERATION(_impl_SignalReceiver, DispatchInt16,
                 void(const i_NET::Int16Buffer&, const i_NET::SignalMeta&));
EXPECT_OPERATION(_impl_SignalReceiver, DispatchUInt16,
                 void(const i_NET::UInt16Buffer&, const i_NET::SignalMeta&));
EXPECT_OPERATION(_impl_SignalReceiver, DispatchInt32,
                 void(const i_NET::Int32Buffer&, const i_NET::SignalMeta&));
EXPECT_OPERATION(_impl_SignalReceiver, DispatchUInt32,
                 void(const i_NET::UInt32Buffer&, const i_NET::SignalMeta&));
EXPECT_OPERATION(_impl_SignalReceiver, DispatchInt64,
                 void(const i_NET::Int64Buffer&, const i_NET::SignalMeta&));
EXPECT_OPERATION(_impl_SignalReceiver, DispatchUInt64,
                 void(const i_NET::UInt64Buffer&, const i_NET::SignalMeta&));
EXPECT_OPERATION(_impl_SignalReceiver, DispatchFloat,
                 void(const i_NET::FloatBuffer&, const i_NET::SignalMeta&));
EXPECT_OPERATION(_impl_SignalReceiver, DispatchDouble,
                 void(const i_NET::DoubleBuffer&, const i_NET::SignalMeta&));
EXPECT_OPERATION(_impl_SignalReceiver, Cancel, void(Long));

#define EXPECT_DOD_READ(op, buffer)                                                        \
  EXPECT_OPERATION(_impl_RemoteSignal, op,                                                 \
                   ULong(i_NET::SignalReceiver_ptr, ULongLong, ULong, i_NET::buffer##_out, \
                         i_NET::SignalMeta_out))
EXPECT_DOD_READ(DodReadI8, Int8Buffer);
EXPECT_DOD_READ(DodReadUI8, UInt8Buffer);
EXPECT_DOD_READ(DodReadI16, Int16Buffer);
EXPECT_DOD_READ(DodReadUI16, UInt16Buffer);
EXPECT_DOD_READ(DodReadI32, Int32Buffer);
EXPECT_DOD_READ(DodReadUI32, UInt32Buffer);
EXPECT_DOD_READ(DodReadI64, Int64Buffer);
EXPECT_DOD_READ(DodReadUI64, UInt64Buffer);
EXPECT_DOD_READ(DodReadFloat, FloatBuffer);
EXPECT_DOD_READ(DodReadDouble, DoubleBuffer);
EXPECT_OPERATION(_impl_RemoteSignal, RegisterReceiver,
                 ULong(i_NET::SignalReceiver_ptr, ULong, ULong, LongLong, ULong));
EXPECT_OPERATION(_impl_RemoteSignal, UnregisterReceiver, void(i_NET::SignalReceiver_ptr));
EXPECT_OPERATION(_impl_RemoteSignal, GetStatistics, i_NET::SignalStats*(i_NET::SignalReceiver_ptr));

EXPECT_OPERATION(_impl_RemoteNode, GetName, char*(Names));
EXPECT_OPERATION(_impl_RemoteNode, GetNameByIndex, char*(Names, ULong));
EXPECT_OPERATION(_impl_RemoteNode, GetNodes, i_NET::NodeNames*(Names));
EXPECT_OPERATION(_impl_RemoteNode, GetNodeCount, ULong(Names));
EXPECT_OPERATION(_impl_RemoteNode, IsLeaf, Boolean(Names));
EXPECT_OPERATION(_impl_RemoteNode, GetSize, ULong(Names));
EXPECT_OPERATION(_impl_RemoteNode, GetValueType, ULong(Names));
EXPECT_OPERATION(_impl_RemoteNode, GetValue, CORBA::Any*(Names, ULong, ULong, CORBA::TypeCode_ptr));
EXPECT_OPERATION(_impl_RemoteNode, SetValue, void(Names, const CORBA::Any&, ULong));
EXPECT_OPERATION(_impl_RemoteNode, GetDomainValues, Boolean(Names, i_NET::StringVec_out));
EXPECT_OPERATION(_impl_RemoteNode, GetValidatorExpression, Boolean(Names, CORBA::String_out));
EXPECT_OPERATION(_impl_RemoteNode, GetFlags, ULongLong(Names));
EXPECT_OPERATION(_impl_RemoteNode, Subscribe, Boolean(Names));
EXPECT_OPERATION(_impl_RemoteNode, Unsubscribe, Boolean(Names));
EXPECT_OPERATION(_impl_RemoteNode, StopNotifications, void());
EXPECT_OPERATION(_impl_RemoteNode, GetRemoteSignal, i_NET::RemoteSignal_ptr(Names));

EXPECT_OPERATION(_impl_Application, GetInterfaceVersion, char*());
EXPECT_OPERATION(_impl_Application, GetRemoteNode, i_NET::RemoteNode_ptr(i_NET::Notification_ptr));
EXPECT_OPERATION(_impl_Application, ReleaseRemoteNode, void(i_NET::Notification_ptr));

static_assert(std::is_same_v<i_NET::Flags, CORBA::ULongLong>);

const std::string c_prefix = "IDL:varnek.net/i_NET/";

TEST(IdlTest, EveryTypeAndInterfaceHasTheVarnekRepositoryId) {
  const std::vector<std::pair<CORBA::TypeCode_ptr, std::string>> types = {
      {i_NET::_tc_Pingable, "Pingable"},
      {i_NET::_tc_Notification, "Notification"},
      {i_NET::_tc_SignalReceiver, "SignalReceiver"},
      {i_NET::_tc_RemoteSignal, "RemoteSignal"},
      {i_NET::_tc_RemoteNode, "RemoteNode"},
      {i_NET::_tc_Application, "Application"},
      {i_NET::_tc_NotFound, "NotFound"},
      {i_NET::_tc_InvalidType, "InvalidType"},
      {i_NET::_tc_ValueException, "ValueException"},
      {i_NET::_tc_Flags, "Flags"},
      {i_NET::_tc_NodeName, "NodeName"},
      {i_NET::_tc_NodeNames, "NodeNames"},
      {i_NET::_tc_NodePath, "NodePath"},
      {i_NET::_tc_StringVec, "StringVec"},
      {i_NET::_tc_Int8Buffer, "Int8Buffer"},
      {i_NET::_tc_UInt8Buffer, "UInt8Buffer"},
      {i_NET::_tc_Int16Buffer, "Int16Buffer"},
      {i_NET::_tc_UInt16Buffer, "UInt16Buffer"},
      {i_NET::_tc_StringBuffer, "StringBuffer"},
      {i_NET::_tc_Int32Buffer, "Int32Buffer"},
      {i_NET::_tc_UInt32Buffer, "UInt32Buffer"},
      {i_NET::_tc_Int64Buffer, "Int64Buffer"},
      {i_NET::_tc_UInt64Buffer, "UInt64Buffer"},
      {i_NET::_tc_FloatBuffer, "FloatBuffer"},
      {i_NET::_tc_DoubleBuffer, "DoubleBuffer"},
      {i_NET::_tc_BooleanBuffer, "BooleanBuffer"},
      {i_NET::_tc_SignalStatItem, "SignalStatItem"},
      {i_NET::_tc_SignalStats, "SignalStats"},
      {i_NET::_tc_SignalMetaPair, "SignalMetaPair"},
      {i_NET::_tc_SignalMeta, "SignalMeta"},
      {i_NET::_tc_NotificationData, "NotificationData"},
  };
  for (const auto& [type, name] : types) {
    EXPECT_EQ(std::string(type->id()), c_prefix + name + ":1.0");
    EXPECT_EQ(std::string(type->name()), name);
  }
  EXPECT_STREQ(i_NET::RemoteNode::_PD_repoId, "IDL:varnek.net/i_NET/RemoteNode:1.0");
  EXPECT_STREQ(i_NET::Application::_PD_repoId, "IDL:varnek.net/i_NET/Application:1.0");
  EXPECT_STREQ(i_NET::Pingable::_PD_repoId, "IDL:varnek.net/i_NET/Pingable:1.0");
}

// The kind of the element type of an aliased sequence (or of the alias's
// content when it is no sequence).
CORBA::TCKind ElementKind(CORBA::TypeCode_ptr alias) {
  CORBA::TypeCode_var content = alias->content_type();
  if (content->kind() != CORBA::tk_sequence) return content->kind();
  CORBA::TypeCode_var element = content->content_type();
  return element->kind();
}

TEST(IdlTest, TypedefsAliasTheirStatedTypes) {
  EXPECT_EQ(ElementKind(i_NET::_tc_Flags), CORBA::tk_ulonglong);
  EXPECT_EQ(ElementKind(i_NET::_tc_NodeName), CORBA::tk_string);
  EXPECT_EQ(ElementKind(i_NET::_tc_NodeNames), CORBA::tk_alias) << "sequence<NodeName>";
  EXPECT_EQ(ElementKind(i_NET::_tc_NodePath), CORBA::tk_alias) << "NodeNames";
  EXPECT_EQ(ElementKind(i_NET::_tc_StringVec), CORBA::tk_string);
  EXPECT_EQ(ElementKind(i_NET::_tc_Int8Buffer), CORBA::tk_char);
  EXPECT_EQ(ElementKind(i_NET::_tc_UInt8Buffer), CORBA::tk_octet);
  EXPECT_EQ(ElementKind(i_NET::_tc_Int16Buffer), CORBA::tk_short);
  EXPECT_EQ(ElementKind(i_NET::_tc_UInt16Buffer), CORBA::tk_ushort);
  EXPECT_EQ(ElementKind(i_NET::_tc_StringBuffer), CORBA::tk_string);
  EXPECT_EQ(ElementKind(i_NET::_tc_Int32Buffer), CORBA::tk_long);
  EXPECT_EQ(ElementKind(i_NET::_tc_UInt32Buffer), CORBA::tk_ulong);
  EXPECT_EQ(ElementKind(i_NET::_tc_Int64Buffer), CORBA::tk_longlong);
  EXPECT_EQ(ElementKind(i_NET::_tc_UInt64Buffer), CORBA::tk_ulonglong);
  EXPECT_EQ(ElementKind(i_NET::_tc_FloatBuffer), CORBA::tk_float);
  EXPECT_EQ(ElementKind(i_NET::_tc_DoubleBuffer), CORBA::tk_double);
  EXPECT_EQ(ElementKind(i_NET::_tc_BooleanBuffer), CORBA::tk_boolean);
  EXPECT_EQ(ElementKind(i_NET::_tc_SignalStats), CORBA::tk_struct);
  EXPECT_EQ(ElementKind(i_NET::_tc_SignalMeta), CORBA::tk_struct);
  CORBA::TypeCode_var path = i_NET::_tc_NodePath->content_type();
  EXPECT_STREQ(path->id(), "IDL:varnek.net/i_NET/NodeNames:1.0");
}

// "name:kind" of every member, in order.
std::vector<std::string> Members(CORBA::TypeCode_ptr type) {
  std::vector<std::string> members;
  for (CORBA::ULong i = 0; i < type->member_count(); ++i) {
    CORBA::TypeCode_var member = type->member_type(i);
    members.push_back(std::string(type->member_name(i)) + ":" +
                      inet::CorbaKindToString(member->kind()));
  }
  return members;
}

TEST(IdlTest, ExceptionsAndStructuresHaveTheirMembersInOrder) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Members(i_NET::_tc_NotFound), V{"what:tk_string"});
  EXPECT_EQ(Members(i_NET::_tc_InvalidType), V{"what:tk_string"});
  EXPECT_EQ(Members(i_NET::_tc_ValueException), V{"what:tk_string"});
  EXPECT_EQ(Members(i_NET::_tc_SignalStatItem),
            (V{"name:tk_string", "total:tk_ulonglong", "rejected:tk_ulonglong", "asize:tk_ulong"}));
  EXPECT_EQ(Members(i_NET::_tc_SignalMetaPair), (V{"id:tk_ulong", "value:tk_longlong"}));
  EXPECT_EQ(Members(i_NET::_tc_NotificationData),
            (V{"path:tk_alias", "type:tk_long", "data:tk_any", "pos:tk_ulong"}));
  CORBA::TypeCode_var path = i_NET::_tc_NotificationData->member_type(0);
  EXPECT_STREQ(path->id(), "IDL:varnek.net/i_NET/NodePath:1.0");
}

}  // namespace
