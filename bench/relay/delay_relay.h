// relay::DelayRelay, a TCP relay that models a network link with a fixed
// latency: it listens on a loopback address, forwards every accepted
// connection to one target address, and holds every chunk it reads in
// either direction until its arrival time plus the delay has passed. It adds
// latency, not a bandwidth limit: reading goes on while earlier chunks wait,
// chunks keep their order, and all chunks that are due leave in one write.
// The kernel of the benchmark machine has no traffic shaping of its own.
//
// Used by the batch benchmark (regd publishes the relay's address in its
// object references, so every request of a client crosses it) and by the
// varnek_relay program.
//
// Ownership and threads: all sockets and timers belong to one I/O thread,
// either the relay's own (Start) or the caller's (Run). Port, the counters
// and Stop may be called from any thread. The destructor stops the relay
// and joins its thread; connections still open are closed.
#ifndef VARNEK_BENCH_RELAY_DELAY_RELAY_H
#define VARNEK_BENCH_RELAY_DELAY_RELAY_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace relay {

class DelayRelay {
 public:
  // Binds and listens on `listenAddress`:`listenPort` at once (port 0: the
  // kernel chooses; see Port), so that the address can be handed out before
  // the target exists. Each direction of each connection is delayed by
  // `delay` (zero: forwarded as read). Throws std::runtime_error when the
  // address is not numeric or cannot be bound.
  DelayRelay(const std::string& listenAddress, unsigned short listenPort,
             std::chrono::microseconds delay);
  ~DelayRelay();
  DelayRelay(const DelayRelay&) = delete;
  DelayRelay& operator=(const DelayRelay&) = delete;

  // The port the relay listens on.
  unsigned short Port() const;

  // Starts forwarding to `targetAddress`:`targetPort` (numeric address) on
  // a thread of the relay's own and returns. A connection whose target
  // cannot be reached is closed. Throws std::runtime_error for a bad
  // address or when the relay was started before.
  void Start(const std::string& targetAddress, unsigned short targetPort);
  // The same on the calling thread: returns after Stop.
  void Run(const std::string& targetAddress, unsigned short targetPort);
  // Stops accepting, closes every connection and ends Run or the thread of
  // Start (joined here unless called on that thread). Idempotent.
  void Stop();

  // Connections accepted so far; bytes forwarded from the clients to the
  // target and back (written out in full).
  uint64_t Connections() const;
  uint64_t BytesToTarget() const;
  uint64_t BytesToClients() const;
  // CPU time of the I/O thread so far in seconds (0 before it runs), so
  // that a benchmark with the relay in its own process can tell its share.
  double CpuSeconds() const;

 private:
  class Impl;
  std::unique_ptr<Impl> m_impl;
};

// "127.0.0.1:5679" into address and port; false when it has no ":" or the
// port is not a number in 1..65535 (0 as well when `allowZero`).
bool ParseAddress(const std::string& text, std::string& address, unsigned short& port,
                  bool allowZero);

}  // namespace relay

#endif  // VARNEK_BENCH_RELAY_DELAY_RELAY_H
