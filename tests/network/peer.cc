// network_test_peer: the other process of the two-process network tests.
// It reports on standard output as "key=value" lines and, when serving,
// runs until its standard input closes. No thread calls ORBRun: the ORB's
// own threads serve the incoming calls while main waits on stdin.
//
//   network_test_peer serve <port>        Init on <port> (0: any), publish a
//       ping servant also under the key "ping-peer"; prints ior=<reference
//       of the process's ping object> and port=<published port>
//   network_test_peer ping <reference>    Init on port 0, Ping the object;
//       prints ping=ok or ping=<exception text>
//   network_test_peer pingme <reference> <cookie>
//       Init on port 0, call PingMe on the object with the own ping object;
//       prints pingme=1 or pingme=0 (or pingme=<exception text>)
#include <unistd.h>

#include <iostream>
#include <string>

#include "network/inet.h"
#include "network/orb_test_util.h"

namespace {

int Serve(int argc, char** argv, unsigned int port) {
  inet::OrbManager::Init(argc, argv, port, inet::OrbManager::c_defaultMaxMsgSize);
  inet::OrbManager* om = inet::OM();
  auto* published = new inet::i_Pingable_impl;
  om->ActivatePersistent(published, "ping-peer");
  i_NET::Pingable_var self = om->GetPingable();
  orbtest::Put("port", orbtest::PublishedPort(self));
  orbtest::Put("ior", om->ObjectToString(self));
  char c;
  while (::read(0, &c, 1) > 0) {
  }
  om->DeactivatePersistent(published);
  om->ORBShutdown(true);
  om->ORBDestroy();
  return 0;
}

i_NET::Pingable_ptr Resolve(const std::string& reference) {
  CORBA::Object_var obj = inet::OM()->StringToObject(reference);
  return i_NET::Pingable::_narrow(obj);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  try {
    if (command == "serve" && argc > 2) return Serve(argc, argv, std::stoul(argv[2]));
    if (command == "ping" && argc > 2) {
      inet::OrbManager::Init(argc, argv, 0, inet::OrbManager::c_defaultMaxMsgSize);
      i_NET::Pingable_var target = Resolve(argv[2]);
      target->Ping();
      orbtest::Put("ping", "ok");
      return 0;
    }
    if (command == "pingme" && argc > 3) {
      inet::OrbManager::Init(argc, argv, 0, inet::OrbManager::c_defaultMaxMsgSize);
      i_NET::Pingable_var target = Resolve(argv[2]);
      i_NET::Pingable_var self = inet::OM()->GetPingable();
      orbtest::Put("pingme", target->PingMe(self, argv[3]) ? "1" : "0");
      return 0;
    }
  } catch (const CORBA::SystemException& e) {
    orbtest::Put(command, inet::CORBASysExceptionToString(e));
    return 0;
  } catch (const CORBA::Exception& e) {
    orbtest::Put(command, inet::CORBAExceptionToString(e));
    return 0;
  }
  std::cerr << "usage: network_test_peer serve <port> | ping <ref> | pingme <ref> <cookie>\n";
  return 2;
}
