// The library's TLS options taken out of argv, the checks of the settings,
// and regd's write gate (identity patterns with wildcards).
#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "istd/exception.h"
#include "network/orb_manager.h"
#include "network/tls.h"
#include "writers.h"

namespace {

using inet::TakeTlsOptions;
using inet::TlsSettings;

// argv of `args` (argv[0] "prog"), null-terminated; the strings live in
// `storage`.
std::vector<char*> Argv(std::vector<std::string>& storage) {
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  return argv;
}

TEST(TlsSettingsTest, OptionsOfThePrefixAreTakenOutAndTheRestKeptInOrder) {
  std::vector<std::string> storage = {"prog",         "-ORBtraceLevel",     "5",
                                      "--varnek-tls-ca", "ca.pem",          "keep",
                                      "--varnek-tls-key=me.pem", "--varnek-tls-password", "s3cret",
                                      "--varnek-tls-peer-optional", "-x"};
  std::vector<char*> argv = Argv(storage);
  int argc = static_cast<int>(storage.size());
  TlsSettings settings;
  ASSERT_TRUE(TakeTlsOptions(argc, argv.data(), settings));
  ASSERT_EQ(argc, 5);
  EXPECT_EQ(std::vector<std::string>(argv.begin(), argv.begin() + argc),
            (std::vector<std::string>{"prog", "-ORBtraceLevel", "5", "keep", "-x"}));
  EXPECT_EQ(argv[argc], nullptr);
  EXPECT_EQ(settings.m_caFile, "ca.pem");
  EXPECT_EQ(settings.m_keyFile, "me.pem");
  EXPECT_EQ(settings.m_keyPassword, "s3cret");
  EXPECT_FALSE(settings.m_requirePeerCertificate);
  EXPECT_TRUE(settings.IsOn());

  // Nothing of the prefix: nothing changes, settings given before stay.
  std::vector<std::string> plain = {"prog", "-ORBendPoint", "giop:tcp::"};
  std::vector<char*> plainArgv = Argv(plain);
  int plainArgc = 3;
  EXPECT_FALSE(TakeTlsOptions(plainArgc, plainArgv.data(), settings));
  EXPECT_EQ(plainArgc, 3);
  EXPECT_EQ(settings.m_caFile, "ca.pem");
  EXPECT_FALSE(TlsSettings().IsOn()) << "off by default";
}

TEST(TlsSettingsTest, BadOptionsAreRefusedAndLeaveTheSettingsAlone) {
  const std::vector<std::vector<std::string>> bad = {
      {"prog", "--varnek-tls-ca"},                             // no value
      {"prog", "--varnek-tls-cert", "x.pem"},                  // unknown name
      {"prog", "--varnek-tls-ca", "ca.pem"},                   // CA without key
      {"prog", "--varnek-tls-key", "me.pem"},                  // key without CA
      {"prog", "--varnek-tls-peer-optional=1"},                // a flag with a value
  };
  for (std::vector<std::string> args : bad) {
    SCOPED_TRACE(args.back());
    std::vector<char*> argv = Argv(args);
    int argc = static_cast<int>(args.size());
    TlsSettings settings;
    EXPECT_THROW(TakeTlsOptions(argc, argv.data(), settings), istd::Exception);
    EXPECT_FALSE(settings.IsOn());
  }
}

TEST(TlsSettingsTest, SettingsNeedReadableFilesAndComeBeforeTheOrb) {
  testutil::TempDir dir;
  const std::string ca = dir.File("ca.pem");
  const std::string key = dir.File("key.pem");
  { std::ofstream(ca) << "x"; }
  TlsSettings settings;
  settings.m_caFile = ca;
  settings.m_keyFile = key;
  EXPECT_NE(testutil::ThrownText([&] { inet::CheckTlsSettings(settings); }).find(key),
            std::string::npos);
  settings.m_caFile = dir.File("missing.pem");
  EXPECT_THROW(inet::CheckTlsSettings(settings), istd::Exception);
  inet::CheckTlsSettings(TlsSettings());  // off: nothing to check

  // Once an ORB runs, its transport is fixed.
  const testutil::ChildResult child = testutil::RunInChild([&] {
    inet::OrbManager::Init(0, nullptr, 0, inet::OrbManager::c_defaultMaxMsgSize);
    if (inet::OM()->IsTlsActive()) throw std::runtime_error("TLS without settings");
    if (inet::OM()->AddressScheme() != "corbaloc:iiop:") throw std::runtime_error("scheme");
    // A plain ORB leaves the TLS transport unloaded (loaded, it would warn
    // on every start that it is disabled).
    if (testutil::ReadFile("/proc/self/maps").find("libomnisslTP4") != std::string::npos) {
      throw std::runtime_error("TLS transport loaded without TLS");
    }
    try {
      inet::OrbManager::SetTls(TlsSettings());
    } catch (const istd::Exception&) {
      inet::OM()->ORBDestroy();
      return;
    }
    throw std::runtime_error("SetTls accepted after Init");
  });
  EXPECT_EQ(child.exitCode, 0) << child.output;
}

TEST(TlsSettingsTest, WriteGateMatchesCommonNamesWithWildcards) {
  EXPECT_TRUE(regd::WildcardMatch("operator-*", "operator-1"));
  EXPECT_TRUE(regd::WildcardMatch("operator-*", "operator-"));
  EXPECT_FALSE(regd::WildcardMatch("operator-*", "xoperator-1"));
  EXPECT_TRUE(regd::WildcardMatch("*.plant.example", "hmi-2.plant.example"));
  EXPECT_FALSE(regd::WildcardMatch("*.plant.example", "hmi-2.plant.example.evil"));
  EXPECT_TRUE(regd::WildcardMatch("a*b*c", "aXXbYbc"));
  EXPECT_FALSE(regd::WildcardMatch("a*b*c", "aXXbYbcd"));
  EXPECT_TRUE(regd::WildcardMatch("*", ""));
  EXPECT_FALSE(regd::WildcardMatch("admin", "admin2"));

  EXPECT_EQ(regd::SplitPatterns("operator-*,,admin,"),
            (std::vector<std::string>{"operator-*", "admin"}));
  const regd::WriteGate gate(regd::SplitPatterns("operator-*,admin"));
  EXPECT_FALSE(gate.IsOpen());
  EXPECT_TRUE(gate.Allows("admin"));
  EXPECT_TRUE(gate.Allows("operator-7"));
  EXPECT_FALSE(gate.Allows("reader-1"));
  EXPECT_FALSE(gate.Allows("")) << "no identity, no writes";
  EXPECT_TRUE(regd::WriteGate().Allows("")) << "no patterns: open";
}

}  // namespace
