// varnek_relay: forwards TCP connections from a loopback address to a target
// address with a fixed delay in each direction (relay::DelayRelay), to put a
// modelled network link between a registry client and its server:
//
//   varnek_relay --listen 127.0.0.1:15679 --to 127.0.0.1:5679 --delay-us 250
//   regd --tree T --port 5679 -ORBendPointPublish giop:tcp:127.0.0.1:15679
//
// regd then names the relay in its object references, so that every request
// of its clients crosses it. A listen port of 0 lets the system choose. The
// port is printed ("varnek_relay listening on port N") once the relay
// accepts. SIGINT and SIGTERM end it (taken with sigwait on the main thread;
// the relay runs on a thread of its own).
//
// Exit status: 0 after a signal, 1 when the relay cannot start, 2 for bad
// options.
#include <signal.h>

#include <CLI/CLI.hpp>

#include <chrono>
#include <iostream>
#include <stdexcept>
#include <string>

#include "delay_relay.h"

int main(int argc, char** argv) {
  std::string listen;
  std::string to;
  long long delayUs = 0;
  CLI::App app("varnek_relay: a TCP relay that delays each direction by a fixed time",
               "varnek_relay");
  app.add_option("--listen", listen, "address:port to listen on (port 0: any free one)")
      ->required();
  app.add_option("--to", to, "address:port to forward each connection to")->required();
  app.add_option("--delay-us", delayUs, "delay of each direction in microseconds (default 0)");
  CLI11_PARSE(app, argc, argv);

  std::string listenAddress, toAddress;
  unsigned short listenPort = 0, toPort = 0;
  if (!relay::ParseAddress(listen, listenAddress, listenPort, true) ||
      !relay::ParseAddress(to, toAddress, toPort, false) || delayUs < 0) {
    std::cerr << "varnek_relay: expected --listen A:P --to A:P (numeric addresses) and "
                 "--delay-us >= 0\n";
    return 2;
  }

  // Blocked before any thread exists, so that only sigwait below takes them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  try {
    relay::DelayRelay relay(listenAddress, listenPort, std::chrono::microseconds(delayUs));
    relay.Start(toAddress, toPort);
    std::cout << "varnek_relay listening on port " << relay.Port() << std::endl;
    int signal = 0;
    sigwait(&signals, &signal);
    relay.Stop();
    std::cout << "varnek_relay: " << relay.Connections() << " connection(s), "
              << relay.BytesToTarget() << " bytes to the target, " << relay.BytesToClients()
              << " bytes back" << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "varnek_relay: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
