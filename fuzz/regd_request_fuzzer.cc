// Fuzz target of regd's servants: the first byte chooses one operation of
// RemoteNode, RemoteSignal or Application, the rest are its arguments as a
// client would send them (fuzz/cdr_input.h). The operation is called on
// regd's own server over the demo tree, in this process (the references
// are collocated: no network), through the references a client holds: its
// RemoteNode, the RemoteSignal of the path the input names, the
// Application. Object reference arguments are nil or one of this
// process's own sinks and receivers, chosen by an octet. Checks: every
// failure is one of the operation's declared exceptions (a system
// exception, which is also how an undeclared or a C++ exception of a
// servant arrives, fails the target), and each input's work is bounded
// (libFuzzer's -timeout of ./dev.sh fuzz; a receiver registered by an
// input is unregistered before the next).
#include <cstdint>
#include <functional>
#include <string>

#include "cdr_input.h"
#include "fuzz_check.h"
#include "network/conversion.h"
#include "network/i_application.h"
#include "network/orb_manager.h"
#include "server.h"
#include "tree.h"

namespace {

// The declared exceptions of an operation.
enum Raises : unsigned {
  eNone = 0,
  eNotFound = 1,
  eInvalidType = 2,
  eValueException = 4,
};

class Sink : public POA_i_NET::Notification {
 public:
  void Emit(const i_NET::NotificationData&) override {}
};

class Receiver : public POA_i_NET::SignalReceiver {
 public:
#define FUZZ_DISPATCH(Name, Buffer) \
  void Name(const i_NET::Buffer&, const i_NET::SignalMeta&) override {}
  FUZZ_DISPATCH(DispatchInt8, Int8Buffer)
  FUZZ_DISPATCH(DispatchUInt8, UInt8Buffer)
  FUZZ_DISPATCH(DispatchInt16, Int16Buffer)
  FUZZ_DISPATCH(DispatchUInt16, UInt16Buffer)
  FUZZ_DISPATCH(DispatchInt32, Int32Buffer)
  FUZZ_DISPATCH(DispatchUInt32, UInt32Buffer)
  FUZZ_DISPATCH(DispatchInt64, Int64Buffer)
  FUZZ_DISPATCH(DispatchUInt64, UInt64Buffer)
  FUZZ_DISPATCH(DispatchFloat, FloatBuffer)
  FUZZ_DISPATCH(DispatchDouble, DoubleBuffer)
#undef FUZZ_DISPATCH
  void Cancel(CORBA::Long) override {}
};

// regd with the demo tree, started once; a client's references to it.
struct Setup {
  Setup() {
    static char name[] = "fuzz_regd_request";
    static char* argv[] = {name, nullptr};
    inet::OrbManager::Init(1, argv, 0, inet::OrbManager::c_defaultMaxMsgSize);
    regd::ServerOptions options;
    options.m_callTimeoutMs = 1000;
    server = new regd::Server(regd::LoadTree(VARNEK_DEMO_TREE), options);
    server->Start();
    application = server->Application();
    for (int i = 0; i < 2; ++i) {
      sinkServants[i] = new Sink;
      inet::OM()->Activate(sinkServants[i]);
      sinks[i] = sinkServants[i]->_this();
    }
    receiverServant = new Receiver;
    inet::OM()->Activate(receiverServant);
    receiver = receiverServant->_this();
    Connect();
  }
  // The client's registry root (again, after an input released it).
  void Connect() {
    CORBA::release(node);
    node = application->GetRemoteNode(sinks[0]);
    FUZZ_CHECK(!CORBA::is_nil(node), "no registry root");
  }
  // nil, or one of the sinks.
  i_NET::Notification_ptr SinkOf(CORBA::Octet choice) const {
    return choice % 3 == 0 ? i_NET::Notification::_nil() : sinks[choice % 3 - 1];
  }
  i_NET::SignalReceiver_ptr ReceiverOf(CORBA::Octet choice) const {
    return choice % 2 == 0 ? i_NET::SignalReceiver::_nil() : receiver;
  }

  regd::Server* server;  // lives as long as the process, as do the references
  i_NET::Application_ptr application;
  i_NET::RemoteNode_ptr node = i_NET::RemoteNode::_nil();
  i_NET::Notification_ptr sinks[2];
  i_NET::SignalReceiver_ptr receiver;
  Sink* sinkServants[2];
  Receiver* receiverServant;
};

// Runs `call`; a failure must be one of `raises`.
void Call(unsigned raises, const std::function<void()>& call) {
  try {
    call();
  } catch (const i_NET::NotFound& e) {
    FUZZ_CHECK(raises & eNotFound, std::string("NotFound: ") + e.what.in());
  } catch (const i_NET::InvalidType& e) {
    FUZZ_CHECK(raises & eInvalidType, std::string("InvalidType: ") + e.what.in());
  } catch (const i_NET::ValueException& e) {
    FUZZ_CHECK(raises & eValueException, std::string("ValueException: ") + e.what.in());
  } catch (const CORBA::SystemException& e) {
    FUZZ_CHECK(false, inet::CORBASysExceptionToString(e));
  }
}

const unsigned c_value = eNotFound | eInvalidType | eValueException;

// The RemoteNode operations that take only a path.
void PathOperation(Setup& s, int op, const i_NET::NodeNames& path) {
  i_NET::RemoteNode_ptr n = s.node;
  switch (op) {
    case 0: Call(eNotFound, [&] { CORBA::String_var r = n->GetName(path); }); break;
    case 2: Call(eNotFound, [&] { i_NET::NodeNames_var r = n->GetNodes(path); }); break;
    case 3: Call(eNotFound, [&] { n->GetNodeCount(path); }); break;
    case 4: Call(eNotFound, [&] { n->IsLeaf(path); }); break;
    case 5: Call(eNotFound, [&] { n->GetSize(path); }); break;
    case 6: Call(eNotFound, [&] { n->GetValueType(path); }); break;
    case 9:
      Call(eNone, [&] {
        i_NET::StringVec_var values;
        n->GetDomainValues(path, values.out());
      });
      break;
    case 10:
      Call(eNone, [&] {
        CORBA::String_var expression;
        n->GetValidatorExpression(path, expression.out());
      });
      break;
    case 11: Call(eNotFound, [&] { n->GetFlags(path); }); break;
    case 12: Call(eNone, [&] { n->Subscribe(path); }); break;
    case 13: Call(eNone, [&] { n->Unsubscribe(path); }); break;
    case 15:
      Call(eNotFound, [&] { i_NET::RemoteSignal_var r = n->GetRemoteSignal(path); });
      break;
    default: break;
  }
}

// One data-on-demand read of the operation `op` (16 ... 25).
void DodRead(i_NET::RemoteSignal_ptr signal, int op, i_NET::SignalReceiver_ptr receiver,
             CORBA::ULongLong start, CORBA::ULong count) {
  Call(eInvalidType, [&] {
    i_NET::SignalMeta_var meta;
#define FUZZ_DOD(Code, Operation, Buffer)                                 \
  case Code: {                                                            \
    i_NET::Buffer##_var data;                                             \
    signal->Operation(receiver, start, count, data.out(), meta.out());    \
    break;                                                                \
  }
    switch (op) {
      FUZZ_DOD(16, DodReadI8, Int8Buffer)
      FUZZ_DOD(17, DodReadUI8, UInt8Buffer)
      FUZZ_DOD(18, DodReadI16, Int16Buffer)
      FUZZ_DOD(19, DodReadUI16, UInt16Buffer)
      FUZZ_DOD(20, DodReadI32, Int32Buffer)
      FUZZ_DOD(21, DodReadUI32, UInt32Buffer)
      FUZZ_DOD(22, DodReadI64, Int64Buffer)
      FUZZ_DOD(23, DodReadUI64, UInt64Buffer)
      FUZZ_DOD(24, DodReadFloat, FloatBuffer)
      default: FUZZ_DOD(25, DodReadDouble, DoubleBuffer)
    }
#undef FUZZ_DOD
  });
}

// The RemoteSignal operations (16 ... 28) on the signal at `path`.
void SignalOperation(Setup& s, int op, const i_NET::NodeNames& path, fuzzcdr::Input& input) {
  i_NET::RemoteSignal_var signal;
  try {
    signal = s.node->GetRemoteSignal(path);
  } catch (const i_NET::NotFound&) {
    return;
  }
  CORBA::Octet choice = 0;
  if (CORBA::is_nil(signal.in()) || !input.Read(choice)) return;
  i_NET::SignalReceiver_ptr receiver = s.ReceiverOf(choice);
  if (op <= 25) {
    CORBA::ULongLong start = 0;
    CORBA::ULong count = 0;
    if (input.Read(start) && input.Read(count)) DodRead(signal.in(), op, receiver, start, count);
  } else if (op == 26) {
    CORBA::ULong mode = 0, groupSize = 0, queueSize = 0;
    CORBA::LongLong offset = 0;
    if (!input.Read(mode) || !input.Read(groupSize) || !input.Read(offset) ||
        !input.Read(queueSize)) {
      return;
    }
    Call(eNone, [&] { signal->RegisterReceiver(receiver, mode, groupSize, offset, queueSize); });
    Call(eNotFound, [&] { i_NET::SignalStats_var stats = signal->GetStatistics(receiver); });
    Call(eNone, [&] { signal->UnregisterReceiver(receiver); });
  } else if (op == 27) {
    Call(eNone, [&] { signal->UnregisterReceiver(receiver); });
  } else {
    Call(eNotFound, [&] { i_NET::SignalStats_var stats = signal->GetStatistics(receiver); });
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup* setup = new Setup;  // lives as long as the process
  if (size < 1) return 0;
  const int op = data[0] % 32;
  fuzzcdr::Input input(data + 1, size - 1);
  Setup& s = *setup;

  if (op >= 29) {  // Application
    CORBA::Octet choice = 0;
    if (op == 29) {
      Call(eNone, [&] { CORBA::String_var v = s.application->GetInterfaceVersion(); });
    } else if (input.Read(choice)) {
      i_NET::Notification_ptr sink = s.SinkOf(choice);
      if (op == 30) {
        Call(eNone, [&] { i_NET::RemoteNode_var r = s.application->GetRemoteNode(sink); });
      } else {
        Call(eNone, [&] { s.application->ReleaseRemoteNode(sink); });
        if (sink == s.sinks[0]) s.Connect();
      }
    }
    return 0;
  }

  i_NET::NodeNames path;
  if (!input.Read(path)) return 0;
  if (op >= 16) {
    SignalOperation(s, op, path, input);
  } else if (op == 1) {
    CORBA::ULong index = 0;
    if (input.Read(index)) {
      Call(eNotFound, [&] { CORBA::String_var r = s.node->GetNameByIndex(path, index); });
    }
  } else if (op == 7) {
    CORBA::ULong position = 0, count = 0;
    CORBA::TypeCode_var hint;
    if (input.Read(position) && input.Read(count) && input.Read(hint)) {
      Call(c_value, [&] { CORBA::Any_var r = s.node->GetValue(path, position, count, hint.in()); });
    }
  } else if (op == 8) {
    CORBA::Any value;
    CORBA::ULong position = 0;
    if (input.Read(value) && input.Read(position)) {
      Call(c_value, [&] { s.node->SetValue(path, value, position); });
    }
  } else if (op == 14) {
    Call(eNone, [&] { s.node->StopNotifications(); });
  } else {
    PathOperation(s, op, path);
  }
  return 0;
}
