// RemoteTest, the fixture of the client library's tests against a real
// registry server. roz::Init and roz::Shutdown act on process-wide state
// (the ORB, the cache tree), so every test body runs in a forked child
// (InClient) that starts from a fresh library state and starts its own regd;
// the parent only reports what failed there. The suite therefore gives the
// same results whether ctest runs each test in its own process or the whole
// binary runs at once.
//
// Inside the child the usual gtest assertions work: their messages go to
// the child's standard output, which the parent shows when the child
// reports a failure. The trace goes to the fixture's scratch directory
// (StartTrace), made by the parent and removed with it.
//
// Like every test that starts a server, these run inside the loopback-only
// network namespace of ./dev.sh test.
#ifndef VARNEK_TESTS_REMOTE_REMOTE_FIXTURE_H
#define VARNEK_TESTS_REMOTE_REMOTE_FIXTURE_H

#include <gtest/gtest.h>

#include <exception>
#include <functional>
#include <iostream>
#include <string>

#include "client/roz.h"
#include "common/test_util.h"
#include "istd/trace_fixture.h"
#include "support/regd_process.h"

namespace remotetest {

using testsupport::RegdProcess;
using testutil::ThrownText;

class RemoteTest : public TraceFixture {
 protected:
  // Runs `body` in a forked child; fails the test when an assertion failed
  // there, an exception escaped or the child died.
  static void InClient(const std::function<void()>& body) {
    const testutil::ChildResult result = testutil::RunInChild([&] {
      try {
        body();
      } catch (const std::exception& e) {
        std::cout << "exception in the client: " << e.what() << std::endl;
        throw;
      }
      if (::testing::Test::HasFailure()) throw std::runtime_error("failed");
    });
    EXPECT_EQ(result.exitCode, 0) << result.output;
  }

  // Starts `regd` (with `tree` when not empty, else the demo tree), runs
  // roz::Init and connects its registry as the platform root.
  static roz::Node StartAndConnect(RegdProcess& regd, const std::string& tree = "") {
    if (!tree.empty()) regd.Options().tree = regd.WriteTree("tree.json", tree);
    regd.Start();
    roz::Init();
    return roz::Connect("127.0.0.1", roz::ePlatform, static_cast<int>(regd.Port()), false);
  }

  // The value of one of regd's diagnostic counters (regd.<name>), read
  // through `platform`.
  static uint64_t Counter(const roz::Node& platform, const std::string& name) {
    uint64_t value = 0;
    platform.GetNode(roz::Path{"regd", name}).Get(value, 0);
    return value;
  }

  // True when the trace written so far holds `text`.
  bool Traced(const std::string& text) const { return TraceText().find(text) != std::string::npos; }
};

}  // namespace remotetest

#endif  // VARNEK_TESTS_REMOTE_REMOTE_FIXTURE_H
