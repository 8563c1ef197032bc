// A program using the network layer, built against the installed tree only:
// the umbrella header, a generated i_NET header and the conversions (no ORB
// is started).
#include <iostream>
#include <sstream>

#include "network/i_remote_node.h"
#include "network/inet.h"

int main() {
  const CORBA::Any any = inet::AnyToCorbaAny(istd::Any(std::vector<int>{1, 2, 3}));
  std::ostringstream os;
  os << "inet ok " << inet::CorbaAnyToAny(any) << " " << i_NET::NotFound("x") << " "
     << i_NET::RemoteNode::_PD_repoId << " " << inet::c_defaultNetId;
  std::cout << os.str() << std::endl;
  return 0;
}
