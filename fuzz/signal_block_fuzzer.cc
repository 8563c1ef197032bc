// Fuzz target of the client's receipt of signal data: the first byte
// chooses one operation of the signal receiver (the ten Dispatch<Type>, or
// Cancel), the second the atoms a data-on-demand read asks for; the rest
// are the operation's arguments as a server would send them
// (fuzz/cdr_input.h): the block and its meta-data, or the completion code.
// They reach a remote stream of doubles (two components per atom) with two
// open clients, through the stream's own receiver servant (called over its
// collocated reference: no network), and a block of doubles is also the
// answer of a data-on-demand read of a third client. The server side is a
// stand-in RemoteSignal of this process that records the stream's
// receiver and answers the read with the input. Checks: a block of doubles
// reaches both clients once, as the same block, with its whole atoms (a
// last partial atom is dropped); a block of another element type reaches
// no client, nor does one that claims more values than a message can
// carry; a Cancel ends both clients' reads with a completion code,
// after which they open again; the data-on-demand read answers the whole
// atoms it asked for, at most, or a completion code.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "cdr_input.h"
#include "fuzz_check.h"
#include "isig/isig.h"
#include "network/conversion.h"
#include "network/orb_manager.h"

namespace {

using Traits = isig::SignalTraits<double>;
using Stream = isig::RemoteStream<Traits>;
using StreamClient = isig::StreamClient<Traits>;
using DodSource = isig::DataOnDemandRemoteSource<Traits>;
using DodClient = isig::DodRemoteClient<Traits>;

const unsigned int c_components = 2;

// The server side: keeps the receiver the stream registers, answers every
// data-on-demand read of doubles with the staged block (other element
// types are refused with InvalidType, as a server of doubles does).
class StandInSignal : public POA_i_NET::RemoteSignal {
 public:
  i_NET::SignalReceiver_ptr Receiver() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_receiver.in();
  }
  void Stage(const i_NET::DoubleBuffer& data, const i_NET::SignalMeta& meta) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_data = data;
    m_meta = meta;
  }

  CORBA::ULong DodReadDouble(i_NET::SignalReceiver_ptr, CORBA::ULongLong, CORBA::ULong,
                             i_NET::DoubleBuffer_out data, i_NET::SignalMeta_out meta) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    data = new i_NET::DoubleBuffer(m_data);
    meta = new i_NET::SignalMeta(m_meta);
    return 0;
  }
#define FUZZ_REFUSED(Operation, Buffer)                                                         \
  CORBA::ULong Operation(i_NET::SignalReceiver_ptr, CORBA::ULongLong, CORBA::ULong,             \
                         i_NET::Buffer##_out, i_NET::SignalMeta_out) override {                 \
    throw i_NET::InvalidType("a signal of doubles");                                           \
  }
  FUZZ_REFUSED(DodReadI8, Int8Buffer)
  FUZZ_REFUSED(DodReadUI8, UInt8Buffer)
  FUZZ_REFUSED(DodReadI16, Int16Buffer)
  FUZZ_REFUSED(DodReadUI16, UInt16Buffer)
  FUZZ_REFUSED(DodReadI32, Int32Buffer)
  FUZZ_REFUSED(DodReadUI32, UInt32Buffer)
  FUZZ_REFUSED(DodReadI64, Int64Buffer)
  FUZZ_REFUSED(DodReadUI64, UInt64Buffer)
  FUZZ_REFUSED(DodReadFloat, FloatBuffer)
#undef FUZZ_REFUSED

  CORBA::ULong RegisterReceiver(i_NET::SignalReceiver_ptr receiver, CORBA::ULong, CORBA::ULong,
                                CORBA::LongLong, CORBA::ULong) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_receiver = i_NET::SignalReceiver::_duplicate(receiver);
    return 0;
  }
  void UnregisterReceiver(i_NET::SignalReceiver_ptr) override {}
  i_NET::SignalStats* GetStatistics(i_NET::SignalReceiver_ptr) override {
    return new i_NET::SignalStats;
  }

 private:
  std::mutex m_mutex;
  i_NET::SignalReceiver_var m_receiver;
  i_NET::DoubleBuffer m_data;
  i_NET::SignalMeta m_meta;
};

struct Setup {
  Setup() {
    static char name[] = "fuzz_signal_block";
    static char* argv[] = {name, nullptr};
    inet::OrbManager::Init(1, argv, 0, inet::OrbManager::c_defaultMaxMsgSize);
    server = new StandInSignal;
    inet::OM()->Activate(server);
    i_NET::RemoteSignal_var signal = server->_this();
    const Traits traits(c_components, {"x", "y"}, 64);
    stream = std::make_shared<Stream>("fuzz", signal.in(), traits, 16);
    for (auto& client : clients) {
      client.reset(dynamic_cast<StreamClient*>(stream->NewSignalClient("reader", 8)));
      FUZZ_CHECK(client != nullptr, "stream client");
      client->Open();
    }
    FUZZ_CHECK(!CORBA::is_nil(server->Receiver()), "receiver not registered");
    source = std::make_shared<DodSource>("dod", signal.in(), traits);
    dod = std::make_unique<DodClient>(source, "dod");
  }

  StandInSignal* server;  // everything here lives as long as the process
  std::shared_ptr<Stream> stream;
  std::unique_ptr<StreamClient> clients[2];
  std::shared_ptr<DodSource> source;
  std::unique_ptr<DodClient> dod;
};

// Sends the block of Buffer type the input holds to the receiver with
// `dispatch`; the block's value count, or -1 when the input holds none.
template <typename Buffer, typename Dispatch>
long Send(fuzzcdr::Input& input, Dispatch&& dispatch, i_NET::SignalMeta& meta, Buffer& data) {
  if (!input.Read(data) || !input.Read(meta)) return -1;
  dispatch(data, meta);
  return static_cast<long>(data.length());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup* setup = new Setup;
  if (size < 2) return 0;
  const int op = data[0] % 11;
  const unsigned int asked = data[1] % 16;
  fuzzcdr::Input input(data + 2, size - 2);
  Setup& s = *setup;
  i_NET::SignalReceiver_ptr receiver = s.server->Receiver();
  i_NET::SignalMeta meta;

  if (op == 10) {
    CORBA::Long code = 0;
    if (!input.Read(code)) return 0;
    receiver->Cancel(code);
    for (auto& client : s.clients) {
      StreamClient::Block block;
      const isig::SuccessCode_e read = client->Read(block, 0);
      FUZZ_CHECK(read != isig::eSuccess && read != isig::eTimeout,
                 "a cancelled client answers " + std::to_string(read));
      client->Close();
    }
    for (auto& client : s.clients) client->Open();
    return 0;
  }

  long values = -1;
#define FUZZ_SEND(Code, Operation, Buffer)                                                 \
  case Code: {                                                                             \
    i_NET::Buffer block;                                                                   \
    values = Send(                                                                         \
        input, [&](const i_NET::Buffer& b, const i_NET::SignalMeta& m) {                   \
          receiver->Operation(b, m);                                                       \
        },                                                                                 \
        meta, block);                                                                      \
    break;                                                                                 \
  }
  i_NET::DoubleBuffer doubles;
  switch (op) {
    FUZZ_SEND(0, DispatchInt8, Int8Buffer)
    FUZZ_SEND(1, DispatchUInt8, UInt8Buffer)
    FUZZ_SEND(2, DispatchInt16, Int16Buffer)
    FUZZ_SEND(3, DispatchUInt16, UInt16Buffer)
    FUZZ_SEND(4, DispatchInt32, Int32Buffer)
    FUZZ_SEND(5, DispatchUInt32, UInt32Buffer)
    FUZZ_SEND(6, DispatchInt64, Int64Buffer)
    FUZZ_SEND(7, DispatchUInt64, UInt64Buffer)
    FUZZ_SEND(8, DispatchFloat, FloatBuffer)
    default:
      values = Send(
          input,
          [&](const i_NET::DoubleBuffer& b, const i_NET::SignalMeta& m) {
            receiver->DispatchDouble(b, m);
          },
          meta, doubles);
      break;
  }
#undef FUZZ_SEND
  if (values < 0) return 0;

  // Every block the clients hold now came with this input: dispatching is
  // synchronous. A block that claims more values than a message carries
  // (omniORB's length check wraps around) is dropped.
  const bool delivered = op == 9 && inet::PlausibleLength(doubles);
  StreamClient::Block first;
  for (int i = 0; i < 2; ++i) {
    StreamClient::Block block;
    const isig::SuccessCode_e read = s.clients[i]->Read(block, 0);
    if (!delivered) {
      FUZZ_CHECK(read == isig::eTimeout, "a block of another element type, or an implausible one, "
                                         "was delivered");
      continue;
    }
    FUZZ_CHECK(read == isig::eSuccess, "a block of doubles was not delivered");
    FUZZ_CHECK(block->buffer.AtomCount() == static_cast<size_t>(values) / c_components,
               "atoms of the block");
    FUZZ_CHECK(i == 0 || block == first, "the clients hold different blocks");
    first = block;
    FUZZ_CHECK(s.clients[i]->Read(block, 0) == isig::eTimeout, "a block delivered twice");
  }
  if (!delivered) return 0;

  s.server->Stage(doubles, meta);
  DodClient::Buffer block;
  isig::SignalMeta readMeta;
  const isig::SuccessCode_e read = s.dod->Read(0, asked, block, readMeta);
  FUZZ_CHECK(read == isig::eSuccess, "data-on-demand read answers " + std::to_string(read));
  FUZZ_CHECK(block.AtomCount() == std::min<size_t>(asked, values / c_components),
             "atoms of the data-on-demand read");
  return 0;
}
