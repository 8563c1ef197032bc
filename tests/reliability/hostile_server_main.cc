// hostile_server: the program behind HostileServer. It serves the hostile
// registry (see hostile_server.h) on a free loopback port, writes that port
// (an unsigned int, 0 when it could not start) to the file descriptor given
// as its only argument, and serves until it is killed. The servants run on
// the ORB's threads; the receiver and the sink references they keep are
// guarded by one mutex each.
//
// It is a program of its own rather than a forked copy of the test: omniORB
// makes the wake-up pipes of its socket collections while the library is
// loaded, so a process forked without exec shares them with its parent, and
// the two processes' monitor threads then take each other's wake-up bytes
// (one of them blocks in read with its collection locked).
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "client/roz_util.h"
#include "common/test_util.h"
#include "network/i_application.h"
#include "network/orb_manager.h"
#include "reliability/hostile_server.h"

namespace hostile {


namespace {

std::string Part(const i_NET::NodeNames& path, CORBA::ULong i) {
  return i < path.length() ? std::string(path[i].in()) : std::string();
}

template <typename Buffer, typename T>
void InsertBuffer(CORBA::Any& any, std::initializer_list<T> values) {
  Buffer buffer;
  buffer.length(static_cast<CORBA::ULong>(values.size()));
  CORBA::ULong i = 0;
  for (const T& value : values) buffer[i++] = value;
  any <<= buffer;
}

// Puts the value of `kind` (one of c_answerKinds) into `a`.
void FillAnswer(CORBA::Any& a, const std::string& kind) {
  if (kind == "bool") {
    a <<= CORBA::Any::from_boolean(true);
  } else if (kind == "long") {
    a <<= static_cast<CORBA::Long>(-7);
  } else if (kind == "ulong") {
    a <<= static_cast<CORBA::ULong>(7);
  } else if (kind == "longlong") {
    a <<= static_cast<CORBA::LongLong>(-7000000000LL);
  } else if (kind == "ulonglong") {
    a <<= static_cast<CORBA::ULongLong>(7000000000ULL);
  } else if (kind == "float") {
    a <<= static_cast<CORBA::Float>(0.5f);
  } else if (kind == "double") {
    a <<= static_cast<CORBA::Double>(0.25);
  } else if (kind == "string") {
    a <<= "text";
  } else if (kind == "BooleanBuffer") {
    InsertBuffer<i_NET::BooleanBuffer, CORBA::Boolean>(a, {true, false});
  } else if (kind == "Int32Buffer") {
    InsertBuffer<i_NET::Int32Buffer, CORBA::Long>(a, {-1, 2});
  } else if (kind == "UInt32Buffer") {
    InsertBuffer<i_NET::UInt32Buffer, CORBA::ULong>(a, {1, 2});
  } else if (kind == "Int64Buffer") {
    InsertBuffer<i_NET::Int64Buffer, CORBA::LongLong>(a, {-1, 2});
  } else if (kind == "UInt64Buffer") {
    InsertBuffer<i_NET::UInt64Buffer, CORBA::ULongLong>(a, {1, 2});
  } else if (kind == "FloatBuffer") {
    InsertBuffer<i_NET::FloatBuffer, CORBA::Float>(a, {0.5f, 1.5f});
  } else if (kind == "DoubleBuffer") {
    InsertBuffer<i_NET::DoubleBuffer, CORBA::Double>(a, {0.25, 1.25});
  } else if (kind == "StringBuffer") {
    i_NET::StringBuffer buffer;
    buffer.length(2);
    buffer[0] = "x";
    buffer[1] = "y";
    a <<= buffer;
  } else if (kind == "StringVec") {
    i_NET::StringVec vec;
    vec.length(2);
    vec[0] = "x";
    vec[1] = "y";
    a <<= vec;
  } else if (kind == "Int16Buffer") {
    InsertBuffer<i_NET::Int16Buffer, CORBA::Short>(a, {1, 2});
  } else if (kind == "short") {
    a <<= static_cast<CORBA::Short>(7);
  } else if (kind == "octet") {
    a <<= CORBA::Any::from_octet(7);
  } else if (kind == "char") {
    a <<= CORBA::Any::from_char('7');
  } else if (kind == "struct") {
    i_NET::SignalStatItem item;
    item.name = "item";
    item.total = 1;
    item.rejected = 2;
    item.asize = 3;
    a <<= item;
  } else if (kind == "stats") {
    i_NET::SignalStats stats;
    stats.length(1);
    stats[0].name = "item";
    a <<= stats;
  } else if (kind == "objref") {
    a <<= i_NET::RemoteNode::_nil();
  }
  // "empty" and anything unknown: an any with no value.
}

// A new any holding the value of `kind`.
CORBA::Any* Answer(const std::string& kind) {
  auto any = std::make_unique<CORBA::Any>();
  FillAnswer(*any, kind);
  return any.release();
}

// The value type of "long.<type>".
roz::enums::NodeValType_e TypeOf(const std::string& name) {
  static const std::map<std::string, roz::enums::NodeValType_e> types = {
      {"Bool", roz::enums::eBool},           {"Long", roz::enums::eLong},
      {"ULong", roz::enums::eULong},         {"LongLong", roz::enums::eLongLong},
      {"ULongLong", roz::enums::eULongLong}, {"Double", roz::enums::eDouble},
      {"Float", roz::enums::eFloat},         {"String", roz::enums::eString}};
  const auto it = types.find(name);
  return it == types.end() ? roz::enums::eLong : it->second;
}

template <typename Buffer, typename T>
CORBA::Any* Long(T value) {
  Buffer buffer;
  buffer.length(c_longLength);
  for (CORBA::ULong i = 0; i < c_longLength; ++i) buffer[i] = value;
  auto any = std::make_unique<CORBA::Any>();
  *any <<= buffer;
  return any.release();
}

CORBA::Any* LongAnswer(roz::enums::NodeValType_e type) {
  switch (type) {
    case roz::enums::eBool:
      return Long<i_NET::BooleanBuffer, CORBA::Boolean>(true);
    case roz::enums::eULong:
      return Long<i_NET::UInt32Buffer, CORBA::ULong>(3);
    case roz::enums::eLongLong:
      return Long<i_NET::Int64Buffer, CORBA::LongLong>(3);
    case roz::enums::eULongLong:
      return Long<i_NET::UInt64Buffer, CORBA::ULongLong>(3);
    case roz::enums::eDouble:
      return Long<i_NET::DoubleBuffer, CORBA::Double>(3.0);
    case roz::enums::eFloat:
      return Long<i_NET::FloatBuffer, CORBA::Float>(3.0f);
    case roz::enums::eString: {
      i_NET::StringBuffer buffer;
      buffer.length(c_longLength);
      for (CORBA::ULong i = 0; i < c_longLength; ++i) buffer[i] = "3";
      auto any = std::make_unique<CORBA::Any>();
      *any <<= buffer;
      return any.release();
    }
    default:
      return Long<i_NET::Int32Buffer, CORBA::Long>(3);
  }
}

// A signal of "sig.<name>" (push) or "dod.<name>" (data on demand).
class HostileSignal : public POA_i_NET::RemoteSignal {
 public:
  explicit HostileSignal(std::string name) : m_name(std::move(name)) {}

#define HOSTILE_DOD(Op, Buffer)                                                    \
  CORBA::ULong Op(i_NET::SignalReceiver_ptr, CORBA::ULongLong, CORBA::ULong,       \
                  i_NET::Buffer##_out data, i_NET::SignalMeta_out meta) override { \
    data = new i_NET::Buffer;                                                      \
    meta = new i_NET::SignalMeta;                                                  \
    throw i_NET::InvalidType("hostile: doubles only");                             \
  }
  HOSTILE_DOD(DodReadI8, Int8Buffer)
  HOSTILE_DOD(DodReadUI8, UInt8Buffer)
  HOSTILE_DOD(DodReadI16, Int16Buffer)
  HOSTILE_DOD(DodReadUI16, UInt16Buffer)
  HOSTILE_DOD(DodReadI32, Int32Buffer)
  HOSTILE_DOD(DodReadUI32, UInt32Buffer)
  HOSTILE_DOD(DodReadI64, Int64Buffer)
  HOSTILE_DOD(DodReadUI64, UInt64Buffer)
  HOSTILE_DOD(DodReadFloat, FloatBuffer)
#undef HOSTILE_DOD

  // c_dodFactor times the asked atoms of 2 values, plus one value; nothing
  // for "empty".
  CORBA::ULong DodReadDouble(i_NET::SignalReceiver_ptr, CORBA::ULongLong start, CORBA::ULong count,
                             i_NET::DoubleBuffer_out data, i_NET::SignalMeta_out meta) override {
    data = new i_NET::DoubleBuffer;
    const CORBA::ULong values = m_name == "empty" ? 0 : count * 2 * c_dodFactor + 1;
    data->length(values);
    for (CORBA::ULong i = 0; i < values; ++i) data[i] = static_cast<double>(i);
    meta = new i_NET::SignalMeta;
    meta->length(1);
    meta[0].id = 3;
    meta[0].value = static_cast<CORBA::LongLong>(start);
    return 0;
  }

  CORBA::ULong RegisterReceiver(i_NET::SignalReceiver_ptr receiver, CORBA::ULong, CORBA::ULong,
                                CORBA::LongLong, CORBA::ULong) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_receiver = i_NET::SignalReceiver::_duplicate(receiver);
    return 0;
  }
  void UnregisterReceiver(i_NET::SignalReceiver_ptr) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_receiver = i_NET::SignalReceiver::_nil();
  }
  i_NET::SignalStats* GetStatistics(i_NET::SignalReceiver_ptr) override {
    return new i_NET::SignalStats;
  }

  // The hostile blocks, in order (their meta-data block counter 0, 1, ...):
  // 5 values (two atoms and a half), none, 1 value (half an atom), 4 floats
  // (the wrong element type), 4 good values 10..13, then Cancel(7),
  // Cancel(9) and 2 values after the cancellation.
  void Push() {
    i_NET::SignalReceiver_var receiver;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      receiver = i_NET::SignalReceiver::_duplicate(m_receiver.in());
    }
    if (CORBA::is_nil(receiver.in())) throw i_NET::ValueException("hostile: no receiver");
    CORBA::LongLong sequence = 0;
    auto meta = [&sequence] {
      i_NET::SignalMeta m;
      m.length(1);
      m[0].id = 2;
      m[0].value = sequence++;
      return m;
    };
    auto doubles = [](std::initializer_list<double> values) {
      i_NET::DoubleBuffer buffer;
      buffer.length(static_cast<CORBA::ULong>(values.size()));
      CORBA::ULong i = 0;
      for (double v : values) buffer[i++] = v;
      return buffer;
    };
    receiver->DispatchDouble(doubles({1, 2, 3, 4, 5}), meta());
    receiver->DispatchDouble(doubles({}), meta());
    receiver->DispatchDouble(doubles({6}), meta());
    i_NET::FloatBuffer floats;
    floats.length(4);
    for (CORBA::ULong i = 0; i < 4; ++i) floats[i] = 1.0f;
    receiver->DispatchFloat(floats, meta());
    receiver->DispatchDouble(doubles({10, 11, 12, 13}), meta());
    receiver->Cancel(7);
    receiver->Cancel(9);
    receiver->DispatchDouble(doubles({20, 21}), meta());
  }

 private:
  const std::string m_name;
  std::mutex m_mutex;
  i_NET::SignalReceiver_var m_receiver;
};

class HostileNode : public POA_i_NET::RemoteNode {
 public:
  explicit HostileNode(i_NET::Notification_ptr sink)
      : m_sink(i_NET::Notification::_duplicate(sink)) {}

  char* GetName(const i_NET::NodeNames& path) override {
    return CORBA::string_dup(path.length() == 0 ? "" : path[path.length() - 1].in());
  }
  char* GetNameByIndex(const i_NET::NodeNames&, CORBA::ULong index) override {
    throw i_NET::NotFound(("hostile: no child " + std::to_string(index)).c_str());
  }
  i_NET::NodeNames* GetNodes(const i_NET::NodeNames&) override { return new i_NET::NodeNames; }
  CORBA::ULong GetNodeCount(const i_NET::NodeNames&) override { return 0; }
  CORBA::Boolean IsLeaf(const i_NET::NodeNames& path) override { return path.length() != 0; }
  CORBA::ULong GetSize(const i_NET::NodeNames&) override { return 4; }

  CORBA::ULong GetValueType(const i_NET::NodeNames& path) override {
    const std::string first = Part(path, 0);
    if (path.length() == 0) return roz::enums::eUndefined;
    if (first == "long") return TypeOf(Part(path, 1));
    if (first == "utf8") return roz::enums::eString;
    if ((first == "sig" || first == "dod") && path.length() == 3) {
      const std::string attribute = Part(path, 2);
      if (attribute == "group_size" || attribute == "components_number") return roz::enums::eULong;
      if (attribute == "components_names") return roz::enums::eString;
      return roz::enums::eLongLong;
    }
    if (first == "sig" || first == "dod") return roz::enums::eUndefined;
    return roz::enums::eLong;
  }

  i_NET::Flags GetFlags(const i_NET::NodeNames& path) override {
    const std::string first = Part(path, 0);
    i_NET::Flags flags = roz::enums::eRead | roz::enums::eWrite;
    if (first == "long") flags |= roz::enums::eArray;
    if ((first == "sig" || first == "dod") && path.length() == 2)
      flags = roz::enums::eRead | roz::enums::eSignal;
    if ((first == "sig" || first == "dod") && path.length() == 3) {
      flags = roz::enums::eRead | roz::enums::eAttribute;
      if (Part(path, 2) == "components_names") flags |= roz::enums::eArray;
    }
    return flags;
  }

  CORBA::Any* GetValue(const i_NET::NodeNames& path, CORBA::ULong, CORBA::ULong,
                       CORBA::TypeCode_ptr) override {
    const std::string first = Part(path, 0);
    if (first == "answer") return Answer(Part(path, 1));
    if (first == "long") return LongAnswer(TypeOf(Part(path, 1)));
    if (first == "utf8") {
      auto any = std::make_unique<CORBA::Any>();
      if (Part(path, 1) == "refused") throw i_NET::ValueException(c_badUtf8);
      if (Part(path, 1) == "buffer") {
        i_NET::StringBuffer buffer;
        buffer.length(2);
        buffer[0] = "fine";
        buffer[1] = c_badUtf8;
        *any <<= buffer;
      } else {
        *any <<= c_badUtf8;
      }
      return any.release();
    }
    if ((first == "sig" || first == "dod") && path.length() == 3) {
      const std::string attribute = Part(path, 2);
      auto any = std::make_unique<CORBA::Any>();
      if (attribute == "access_type") {
        *any <<= static_cast<CORBA::LongLong>(first == "sig" ? 1 : 2);
      } else if (attribute == "group_size") {
        *any <<= static_cast<CORBA::ULong>(1);
      } else if (attribute == "components_number") {
        *any <<= static_cast<CORBA::ULong>(2);
      } else if (attribute == "components_names") {
        i_NET::StringBuffer names;
        names.length(2);
        names[0] = "a";
        names[1] = "b";
        *any <<= names;
      } else if (attribute == "components_type") {
        *any <<= static_cast<CORBA::LongLong>(1);
      } else {
        throw i_NET::NotFound(("hostile: no attribute " + attribute).c_str());
      }
      return any.release();
    }
    auto any = std::make_unique<CORBA::Any>();
    if (first == "notify" && Part(path, 1) == "failed") {
      *any <<= static_cast<CORBA::Long>(m_failedEmits.load());
    } else {
      *any <<= static_cast<CORBA::Long>(0);
    }
    return any.release();
  }

  void SetValue(const i_NET::NodeNames& path, const CORBA::Any&, CORBA::ULong) override {
    const std::string first = Part(path, 0);
    if (first == "notify") {
      EmitHostile(path);
    } else if (first == "sig") {
      Signal(Part(path, 1))->Push();
    } else if (first == "utf8" && Part(path, 1) == "refused") {
      throw i_NET::ValueException(c_badUtf8);
    }
  }

  CORBA::Boolean GetDomainValues(const i_NET::NodeNames&, i_NET::StringVec_out values) override {
    values = new i_NET::StringVec;
    return false;
  }
  CORBA::Boolean GetValidatorExpression(const i_NET::NodeNames&,
                                        CORBA::String_out expression) override {
    expression = CORBA::string_dup("");
    return false;
  }
  CORBA::Boolean Subscribe(const i_NET::NodeNames&) override { return true; }
  CORBA::Boolean Unsubscribe(const i_NET::NodeNames&) override { return true; }
  void StopNotifications() override {}

  i_NET::RemoteSignal_ptr GetRemoteSignal(const i_NET::NodeNames& path) override {
    const std::string first = Part(path, 0);
    if ((first != "sig" && first != "dod") || path.length() != 2)
      return i_NET::RemoteSignal::_nil();
    return Signal(first == "dod" ? "dod:" + Part(path, 1) : Part(path, 1))->_this();
  }

 private:
  // Sends the client's sink, for `path`, a record of every kind of
  // c_answerKinds with the type code c_oddNotificationType, then
  // c_goodNotifications good records; counts the Emit calls that raised.
  void EmitHostile(const i_NET::NodeNames& path) {
    i_NET::NotificationData data;
    data.path = path;
    data.pos = 0;
    auto emit = [&] {
      try {
        m_sink->Emit(data);
      } catch (const CORBA::Exception&) {
        ++m_failedEmits;
      }
    };
    data.type = c_oddNotificationType;
    for (const std::string& kind : c_answerKinds) {
      // Filled in place: omniORB loses the marshalling of a nil object
      // reference when an any holding one is copied.
      data.data = CORBA::Any();
      FillAnswer(data.data, kind);
      emit();
    }
    data.type = roz::enums::eValueChanged;
    for (CORBA::Long i = 0; i < static_cast<CORBA::Long>(c_goodNotifications); ++i) {
      data.data <<= static_cast<CORBA::Long>(c_goodValue + i);
      data.pos = static_cast<CORBA::ULong>(i);
      emit();
    }
  }

  // The signal servant of `key` (made on first use; lives with the process).
  HostileSignal* Signal(const std::string& key) {
    std::lock_guard<std::mutex> lock(m_mutex);
    HostileSignal*& signal = m_signals[key];
    if (signal == nullptr) {
      const std::string name = key.rfind("dod:", 0) == 0 ? key.substr(4) : key;
      signal = new HostileSignal(name);
      inet::OM()->Activate(signal);
    }
    return signal;
  }

  i_NET::Notification_var m_sink;
  std::atomic<int> m_failedEmits{0};
  std::mutex m_mutex;
  std::map<std::string, HostileSignal*> m_signals;
};

class HostileApplication : public POA_i_NET::Application {
 public:
  char* GetInterfaceVersion() override { return CORBA::string_dup("2.6"); }
  i_NET::RemoteNode_ptr GetRemoteNode(i_NET::Notification_ptr sink) override {
    if (CORBA::is_nil(sink)) return i_NET::RemoteNode::_nil();
    auto* node = new HostileNode(sink);
    inet::OM()->Activate(node);
    return node->_this();
  }
  void ReleaseRemoteNode(i_NET::Notification_ptr) override {}
};

// The server process: serves until it is killed.
[[noreturn]] void Serve(int reportFd) {
  unsigned int port = 0;
  try {
    port = testutil::FreePort();
    inet::OrbManager::Init(0, nullptr, port, inet::OrbManager::c_defaultMaxMsgSize);
    inet::OM()->ActivatePersistent(new HostileApplication, inet::c_defaultNetId);
  } catch (...) {
    port = 0;
  }
  (void)!::write(reportFd, &port, sizeof port);
  ::close(reportFd);
  if (port == 0) ::_exit(1);
  for (;;) ::pause();
}

}  // namespace

}  // namespace hostile

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  hostile::Serve(std::atoi(argv[1]));
}
