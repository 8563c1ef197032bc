// Connects to the platform registry on 127.0.0.1 (port: first argument, 0 or
// none for the default 5678), reads the device's serial number and prints
// the whole tree. Build against an installed tree:
//   c++ -std=c++17 read_value.cc $(pkg-config --cflags --libs varnekmci)
#include <client/roz.h>

#include <cstdlib>
#include <iostream>

int main(int argc, char** argv) {
  roz::Init(argc, argv);
  const roz::Node platform =
      roz::Connect("127.0.0.1", roz::ePlatform, argc > 1 ? std::atoi(argv[1]) : 0, false);
  std::string serial;
  if (!platform.IsValid() ||
      !platform.GetNode(roz::Tokenize("identity.serial")).GetValue(serial, 0))
    return 1;
  std::cout << "serial " << serial << "\n" << platform.DumpSubTree(-1, 0, 40);
  roz::Shutdown();
  return 0;
}
