// A program using the signal side, built against the installed tree only:
// the umbrella header (signal library and stream templates) and a local
// stream handing one block to a client (no ORB is started).
#include <iostream>
#include <memory>

#include "isig/isig.h"

int main() {
  using Traits = isig::SignalTraits<float>;
  using Client = isig::StreamClient<Traits>;
  auto stream = std::make_shared<isig::Stream<Traits>>("s", Traits(2, {"x", "y"}, 1));
  std::unique_ptr<Client> client(static_cast<Client*>(stream->NewSignalClient("c", 0)));
  client->Open();
  const float values[] = {1, 2, 3, 4};
  stream->Dispatch(values, 4, {{isig::eMetaSequence, 7}});
  Client::Block block;
  const isig::SuccessCode_e code = client->Read(block, 0);
  std::cout << "isig ok " << code << " " << block->buffer.AtomCount() << " " << client->QueueSize()
            << " " << istd::CppName(stream->AtomType()) << std::endl;
  return 0;
}
