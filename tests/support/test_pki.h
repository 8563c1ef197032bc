// testsupport::TestPki: a throw-away certificate authority and the
// certificates of the TLS tests, made at run time with openssl by
// make_test_pki.sh in a private temporary directory that goes with the
// object (certificates are never part of the source tree).
//
//   testsupport::TestPki pki;
//   regd.Options().args = {"--tls-ca", pki.Ca(), "--tls-key", pki.Key("server")};
//   settings.m_caFile = pki.Ca(); settings.m_keyFile = pki.Key("operator");
//
// Key(name) is the certificate-and-key file <name>.pem; the names and the
// identities (certificate common names) are those the script lists:
// server "regd-test", operator "operator-1", reader "reader-1", expired
// "operator-old" (expired), selfsigned "intruder", stranger "stranger"
// (signed by the other CA, whose certificate is OtherCa()).
//
// Thread-safety: the constructor runs openssl; afterwards the object is
// read only.
#ifndef VARNEK_TESTS_SUPPORT_TEST_PKI_H
#define VARNEK_TESTS_SUPPORT_TEST_PKI_H

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "common/test_util.h"

namespace testsupport {

class TestPki {
 public:
  // Throws std::runtime_error when the script fails (no openssl?).
  TestPki() {
    const std::string command = std::string("'") + VARNEK_TEST_PKI_SCRIPT + "' '" + m_dir.Path() +
                                "' >'" + m_dir.File("openssl.log") + "' 2>&1";
    if (std::system(command.c_str()) != 0) {
      throw std::runtime_error("making the test certificates failed: " +
                               testutil::ReadFile(m_dir.File("openssl.log")));
    }
  }

  std::string Ca() const { return m_dir.File("ca.pem"); }
  std::string OtherCa() const { return m_dir.File("other-ca.pem"); }
  std::string Key(const std::string& name) const { return m_dir.File(name + ".pem"); }

 private:
  testutil::TempDir m_dir;
};

}  // namespace testsupport

#endif  // VARNEK_TESTS_SUPPORT_TEST_PKI_H
