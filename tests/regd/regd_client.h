// A small client of regd on the raw i_NET stubs, for the server-side tests:
// a connection (notification sink + RemoteNode root), typed reads and
// writes through istd::Any, and the name and text of what a call raised.
#ifndef VARNEK_TESTS_REGD_REGD_CLIENT_H
#define VARNEK_TESTS_REGD_REGD_CLIENT_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/roz_util.h"
#include "istd/string_util.h"
#include "network/conversion.h"
#include "network/i_application.h"
#include "support/regd_fixture.h"
#include "support/test_servants.h"

namespace regdtest {

// "a.b.c" as a remote path ("" is the root).
inline i_NET::NodeNames Names(const std::string& dotted) {
  const istd::StrTokens parts = istd::TokenizeString(dotted.c_str(), ".");
  i_NET::NodeNames names;
  names.length(static_cast<CORBA::ULong>(parts.size()));
  for (CORBA::ULong i = 0; i < names.length(); ++i) names[i] = parts[i].c_str();
  return names;
}

// One client: its own sink and the RemoteNode root regd gave it.
struct Client {
  explicit Client(i_NET::Application_ptr application)
      : app(i_NET::Application::_duplicate(application)) {
    i_NET::Notification_var ref = sink.Ref();
    root = app->GetRemoteNode(ref);
  }
  void Release() {
    i_NET::Notification_var ref = sink.Ref();
    app->ReleaseRemoteNode(ref);
  }

  testsupport::Active<testsupport::NotificationSink> sink;
  i_NET::Application_var app;
  i_NET::RemoteNode_var root;
};

// The value read at `path` (pos, count) with the type hint `hint`, as an
// istd::Any (a scalar or a vector).
inline istd::Any Read(i_NET::RemoteNode_ptr root, const std::string& path, CORBA::TypeCode_ptr hint,
                      CORBA::ULong pos = 0, CORBA::ULong count = 0) {
  CORBA::Any_var value = root->GetValue(Names(path), pos, count, hint);
  return inet::CorbaAnyToAny(value.in());
}

// Writes `values` (a std::vector, sent as its i_NET buffer) at `pos`.
template <typename T>
void Write(i_NET::RemoteNode_ptr root, const std::string& path, const std::vector<T>& values,
           CORBA::ULong pos = 0) {
  root->SetValue(Names(path), inet::AnyToCorbaAny(istd::Any(values)), pos);
}

// A ULongLong diagnostic counter of regd ("clients", "stress.emitted", ...).
inline uint64_t Counter(i_NET::RemoteNode_ptr root, const std::string& name) {
  return Read(root, "regd." + name, CORBA::_tc_ulonglong).Get<uint64_t>();
}

// "NotFound: " / "InvalidType: " / "ValueException: " + what, the system
// exception's text, or "none" when `call` raised nothing.
inline std::string Raised(const std::function<void()>& call) {
  try {
    call();
  } catch (const i_NET::NotFound& e) {
    return std::string("NotFound: ") + e.what.in();
  } catch (const i_NET::InvalidType& e) {
    return std::string("InvalidType: ") + e.what.in();
  } catch (const i_NET::ValueException& e) {
    return std::string("ValueException: ") + e.what.in();
  } catch (const CORBA::SystemException& e) {
    return inet::CORBASysExceptionToString(e);
  }
  return "none";
}

}  // namespace regdtest

#endif  // VARNEK_TESTS_REGD_REGD_CLIENT_H
