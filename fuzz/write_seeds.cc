// Writes the seed corpora of the wire fuzz targets: the values the test
// suite sends (the demo tree's values, the hostile server's answer kinds,
// the notification records and signal blocks of the tests), each encoded
// as fuzz/cdr_input.h reads it, into <corpus>/<target>/seed-<name>.
// Run by hand after a change of the input formats:
//   build-fuzz/fuzz/fuzz_write_seeds fuzz/corpus
// (inside ./dev.sh shell: it initialises an ORB).
//
// Thread-safety: a single-threaded program.
#include <cstdint>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "cdr_input.h"
#include "network/conversion.h"
#include "network/i_notification.h"
#include "network/i_remote_signal.h"

namespace {

struct Seed {
  std::string target;
  std::string name;
  std::vector<uint8_t> bytes;
};

// The answers and payloads the tests send: the demo tree's values of the
// eight types, scalar and array, and the hostile server's other kinds.
std::vector<std::pair<std::string, CORBA::Any>> Values() {
  std::vector<std::pair<std::string, CORBA::Any>> values;
  auto add = [&](const std::string& name, const istd::Any& value) {
    values.emplace_back(name, inet::AnyToCorbaAny(value));
  };
  add("bool", true);
  add("long", int32_t{-12});
  add("ulong", uint32_t{48000});
  add("longlong", int64_t{5000000000});
  add("ulonglong", uint64_t{17179869184});
  add("float", 0.25f);
  add("double", 1.0);
  add("string", std::string("bench 3"));
  add("BooleanBuffer", std::vector<bool>{true, true, false, true});
  add("Int32Buffer", std::vector<int32_t>{-3, 0, 7, 2});
  add("UInt32Buffer", std::vector<uint32_t>{10, 10, 100, 1000});
  add("Int64Buffer", std::vector<int64_t>{1700000000000, 1700000360000});
  add("UInt64Buffer", std::vector<uint64_t>{0, 0, 0, 0});
  add("FloatBuffer", std::vector<float>{0.5f, 1.5f, 2.5f});
  add("DoubleBuffer", std::vector<double>{1.0, 0.5, 0.25, 0.125});
  add("StringBuffer", std::vector<std::string>{"ch1", "ch2", "ch3", "ch4"});
  values.emplace_back("empty", CORBA::Any());
  values.emplace_back("StringVec", inet::LocalSeqToCorbaAny<std::string, i_NET::StringVec>(
                                       {"normal", "fast", "precise", "standby"}));
  CORBA::Any shorts;
  auto* buffer = new i_NET::Int16Buffer;
  buffer->length(2);
  (*buffer)[0] = 1;
  (*buffer)[1] = -1;
  shorts <<= buffer;
  values.emplace_back("Int16Buffer", shorts);
  CORBA::Any one;
  one <<= static_cast<CORBA::Short>(7);
  values.emplace_back("short", one);
  return values;
}

std::vector<Seed> All() {
  std::vector<Seed> seeds;
  for (const auto& value : Values()) {
    seeds.push_back({"get_value_reply", value.first, fuzzcdr::Encode(value.second)});
  }
  // Notifications: the subscribed paths and one other, each payload.
  const std::vector<std::pair<std::string, std::vector<std::string>>> paths = {
      {"deep", {"a", "b"}}, {"self", {}}, {"other", {"a"}}};
  CORBA::Long type = 0;
  for (const auto& path : paths) {
    for (const auto& value : Values()) {
      i_NET::NotificationData data;
      data.path.length(static_cast<CORBA::ULong>(path.second.size()));
      for (CORBA::ULong i = 0; i < data.path.length(); ++i) data.path[i] = path.second[i].c_str();
      data.type = type++ % 4;
      data.data = value.second;
      data.pos = static_cast<CORBA::ULong>(type % 3);
      seeds.push_back({"notification", path.first + "-" + value.first, fuzzcdr::Encode(data)});
    }
  }
  // regd's operations (the first byte chooses one) on the demo tree's
  // nodes, with the arguments the tests send.
  auto request = [&](const std::string& name, CORBA::Octet op, const std::vector<uint8_t>& args) {
    std::vector<uint8_t> bytes{op};
    bytes.insert(bytes.end(), args.begin(), args.end());
    seeds.push_back({"regd_request", name, bytes});
  };
  auto path = [](const std::vector<std::string>& names) {
    i_NET::NodeNames result;
    result.length(static_cast<CORBA::ULong>(names.size()));
    for (CORBA::ULong i = 0; i < result.length(); ++i) result[i] = names[i].c_str();
    return result;
  };
  const i_NET::NodeNames gain = path({"settings", "gain"});
  const i_NET::NodeNames offsets = path({"calibration", "offsets"});
  const i_NET::NodeNames names = path({"calibration", "channel_names"});
  const i_NET::NodeNames mode = path({"settings", "mode"});
  const i_NET::NodeNames scope = path({"signals", "scope"});
  const i_NET::NodeNames history = path({"signals", "history"});
  const i_NET::NodeNames emit = path({"regd", "stress", "emit"});
  const CORBA::ULong zero = 0;
  const CORBA::ULong two = 2;
  request("GetName", 0, fuzzcdr::Encode(gain));
  request("GetNameByIndex", 1, fuzzcdr::Encode(path({"settings"}), two));
  request("GetNodes", 2, fuzzcdr::Encode(path({})));
  request("GetSize", 5, fuzzcdr::Encode(offsets));
  request("GetValue-gain", 7, fuzzcdr::Encode(gain, zero, zero, CORBA::_tc_double));
  request("GetValue-offsets", 7, fuzzcdr::Encode(offsets, CORBA::ULong(1), two, CORBA::_tc_long));
  request("GetValue-names", 7, fuzzcdr::Encode(names, zero, zero, CORBA::_tc_string));
  request("SetValue-gain", 8,
          fuzzcdr::Encode(gain, inet::AnyToCorbaAny(std::vector<double>{2.0}), zero));
  request("SetValue-offsets", 8,
          fuzzcdr::Encode(offsets, inet::AnyToCorbaAny(std::vector<int32_t>{1, 2, 3, 4, 5}), two));
  request("SetValue-mode", 8,
          fuzzcdr::Encode(mode, inet::AnyToCorbaAny(std::vector<std::string>{"fast"}), zero));
  request("SetValue-emit", 8,
          fuzzcdr::Encode(emit, inet::AnyToCorbaAny(std::vector<uint64_t>{3}), zero));
  request("SetValue-reset", 8,
          fuzzcdr::Encode(path({"reset"}), inet::AnyToCorbaAny(std::vector<int64_t>{238}), zero));
  request("GetDomainValues", 9, fuzzcdr::Encode(mode));
  request("GetValidatorExpression", 10, fuzzcdr::Encode(gain));
  request("Subscribe", 12, fuzzcdr::Encode(gain));
  request("GetRemoteSignal", 15, fuzzcdr::Encode(scope));
  request("DodReadFloat", 24,
          fuzzcdr::Encode(history, CORBA::Octet(0), CORBA::ULongLong(5), CORBA::ULong(10)));
  request("DodReadDouble", 25,
          fuzzcdr::Encode(scope, CORBA::Octet(0), CORBA::ULongLong(0), CORBA::ULong(4)));
  request("RegisterReceiver", 26,
          fuzzcdr::Encode(scope, CORBA::Octet(1), zero, CORBA::ULong(64), CORBA::LongLong(0),
                          CORBA::ULong(4)));
  request("GetStatistics", 28, fuzzcdr::Encode(scope, CORBA::Octet(1)));
  request("GetInterfaceVersion", 29, {});
  request("GetRemoteNode", 30, fuzzcdr::Encode(CORBA::Octet(2)));
  request("ReleaseRemoteNode", 31, fuzzcdr::Encode(CORBA::Octet(2)));

  // Signal blocks (first byte the operation, second the atoms of the
  // data-on-demand read): the hostile server's blocks of doubles, a block
  // of floats, and the Cancel with code 7.
  i_NET::SignalMeta meta;
  meta.length(3);
  for (CORBA::ULong i = 0; i < 3; ++i) {
    meta[i].id = i + 1;
    meta[i].value = 1700000000 + i;
  }
  auto block = [&](const std::string& name, CORBA::Octet op, CORBA::Octet asked,
                   const std::vector<uint8_t>& args) {
    std::vector<uint8_t> bytes{op, asked};
    bytes.insert(bytes.end(), args.begin(), args.end());
    seeds.push_back({"signal_block", name, bytes});
  };
  for (const std::vector<double>& values :
       {std::vector<double>{0, 1, 2, 3, 4}, std::vector<double>{}, std::vector<double>{9},
        std::vector<double>{10, 11, 12, 13}}) {
    i_NET::DoubleBuffer doubles;
    inet::detail::FillSequence(doubles, values, values.size());
    block("DispatchDouble-" + std::to_string(values.size()), 9, 2, fuzzcdr::Encode(doubles, meta));
  }
  i_NET::FloatBuffer floats;
  inet::detail::FillSequence(floats, std::vector<float>{1, 2, 3, 4}, 4);
  block("DispatchFloat", 8, 2, fuzzcdr::Encode(floats, meta));
  block("Cancel", 10, 0, fuzzcdr::Encode(CORBA::Long(7)));
  return seeds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: fuzz_write_seeds CORPUS_DIR" << std::endl;
    return 2;
  }
  fuzzcdr::Orb();  // copying anys that hold strings needs its code sets
  const std::string root = argv[1];
  size_t written = 0;
  for (const Seed& seed : All()) {
    const std::string file = root + "/" + seed.target + "/seed-" + seed.name;
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(seed.bytes.data()),
              static_cast<std::streamsize>(seed.bytes.size()));
    if (!out) {
      std::cerr << "cannot write " << file << std::endl;
      return 1;
    }
    ++written;
  }
  std::cout << written << " seeds written" << std::endl;
  return 0;
}
