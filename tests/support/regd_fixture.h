// testsupport::RegdTest, the GoogleTest fixture of tests that need a regd
// server: it initialises this process's ORB (inet::OrbManager::Init on a
// free port; the ORB then lives until the process ends) and owns one
// RegdProcess, which StartRegd starts and checks with an answered
// GetInterfaceVersion. The server dies with the fixture, also when the
// test fails.
//
//   class MyTest : public testsupport::RegdTest {};
//   TEST_F(MyTest, Something) {
//     Regd().Options().tree = Regd().WriteTree("t.json", R"({"name": "r"})");
//     StartRegd();
//     i_NET::Application_var app = Application();
//     ...
//   }
//
// Every test starts its own server; tests never share one. The fixture's
// functions belong to the test's thread.
#ifndef VARNEK_TESTS_SUPPORT_REGD_FIXTURE_H
#define VARNEK_TESTS_SUPPORT_REGD_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "network/conversion.h"
#include "network/i_application.h"
#include "network/orb_manager.h"
#include "support/regd_process.h"

namespace testsupport {

using testutil::WaitUntil;

class RegdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    inet::OrbManager::Init(0, nullptr, 0, inet::OrbManager::c_defaultMaxMsgSize);
  }

  RegdProcess& Regd() { return m_regd; }

  // Starts the server with Regd().Options() and returns once its
  // Application object answers GetInterfaceVersion. Throws
  // std::runtime_error when it does not.
  void StartRegd() {
    m_regd.Start();
    WaitForAnswer();
  }
  // Restarts the server on the same port and waits for its answer.
  void RestartRegd() {
    m_regd.Restart();
    WaitForAnswer();
  }

  // A new reference to the server's Application object (the caller
  // releases it; hold it in an i_NET::Application_var).
  i_NET::Application_ptr Application() {
    CORBA::Object_var obj = inet::OM()->StringToObject(m_regd.Address());
    return i_NET::Application::_narrow(obj);
  }

 private:
  void WaitForAnswer() {
    std::string last;
    const bool answered = WaitUntil(
        [&] {
          try {
            i_NET::Application_var app = Application();
            CORBA::String_var version = app->GetInterfaceVersion();
            return true;
          } catch (const CORBA::SystemException& e) {
            last = inet::CORBASysExceptionToString(e);
            return false;
          }
        },
        m_regd.Options().startTimeoutS);
    if (!answered) throw std::runtime_error("regd does not answer: " + last);
  }

  RegdProcess m_regd;
};

}  // namespace testsupport

#endif  // VARNEK_TESTS_SUPPORT_REGD_FIXTURE_H
