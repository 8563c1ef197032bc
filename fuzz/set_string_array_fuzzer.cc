// Fuzz target of roz::Node::SetStringArray<T> on a handle of a local node
// that holds an array value (the value node of the client tests). Input:
// type byte, cell length byte, element count byte, then the cells. Checks:
// a conversion failure throws istd::Exception with a "Bad cast from" /
// "Bad hex cast from" / boolean text and leaves the value untouched; a
// success stores one element per cell, and writing back the texts that
// GetStringArray gives for it changes nothing (texts are stable) when the
// cells are long enough for every number.
#include <cstdint>
#include <cstring>
#include <algorithm>
#include <string>
#include <type_traits>
#include <vector>

#include "client/value_node.h"
#include "fuzz_check.h"

namespace {

const roz::Flags c_rwArray = roz::enums::eRead | roz::enums::eWrite | roz::enums::eArray;

template <typename T>
void Run(size_t cellLen, size_t count, const uint8_t* cells, size_t size) {
  const testutil::ValueNodePtr node = testutil::MakeValueNode("fuzz");
  const std::vector<T> before(count, T{});
  node->Define<T>({"v"}, c_rwArray, before);
  roz::Node handle(node, {"v"});

  // The caller's buffer holds count cells; missing bytes are NULs.
  std::vector<char> buffer(count * cellLen, '\0');
  // (An empty vector's data() may be null, which memcpy must not get.)
  if (!buffer.empty()) std::memcpy(buffer.data(), cells, std::min(size, buffer.size()));
  try {
    handle.SetStringArray<T>(buffer.data(), cellLen);
  } catch (const istd::Exception& e) {
    const std::string message = e.what();
    FUZZ_CHECK(StartsWith(message, "Bad cast from ") || StartsWith(message, "Bad hex cast from ") ||
                   message == "Invalid cast from string to boolean.",
               message);
    FUZZ_CHECK(node->Values<T>({"v"}) == before, message);
    return;
  }
  FUZZ_CHECK(node->Values<T>({"v"}).size() == count, "element count");

  // Numbers print in at most 20 characters; shorter cells may cut a text
  // into one that no longer converts, which is what such cells mean.
  if (!std::is_same_v<T, std::string> && cellLen <= 21) return;
  std::vector<char> texts(count * cellLen, 'x');
  handle.GetStringArray<T>(texts.data(), texts.size(), cellLen);
  handle.SetStringArray<T>(texts.data(), cellLen);
  std::vector<char> again(count * cellLen, 'x');
  handle.GetStringArray<T>(again.data(), again.size(), cellLen);
  FUZZ_CHECK(again == texts, std::string(texts.begin(), texts.end()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const size_t cellLen = 1 + data[1] % 32;
  const size_t count = data[2] % 17;
  const uint8_t* cells = data + 3;
  const size_t rest = size - 3;
  switch (data[0] % 8) {
    case 0: Run<bool>(cellLen, count, cells, rest); break;
    case 1: Run<int32_t>(cellLen, count, cells, rest); break;
    case 2: Run<uint32_t>(cellLen, count, cells, rest); break;
    case 3: Run<int64_t>(cellLen, count, cells, rest); break;
    case 4: Run<uint64_t>(cellLen, count, cells, rest); break;
    case 5: Run<double>(cellLen, count, cells, rest); break;
    case 6: Run<float>(cellLen, count, cells, rest); break;
    default: Run<std::string>(cellLen, count, cells, rest); break;
  }
  return 0;
}
