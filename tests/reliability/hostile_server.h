// HostileServer: a registry server that answers with nonsense, for the
// hostile-input tests of the client library. It runs as a program of its own
// (hostile_server, started when the object is made, so its answers really
// cross the wire) and
// serves an Application under the default key whose registry answers by
// path, without any state a test has to set up:
//
//   answer.<kind>        GetValue answers an any of that kind (c_answerKinds),
//                        whatever the hint; GetValueType Long
//   long.<type>          GetValue answers c_longLength elements of the value
//                        type <type> (Bool, Long, ..., String) whatever the
//                        count; an array node of that type, GetSize 4
//   utf8.scalar          a String whose text is c_badUtf8
//   utf8.buffer          a StringBuffer {"fine", c_badUtf8}
//   utf8.refused         GetValue and SetValue raise ValueException(c_badUtf8)
//   sig.<name>           a push signal of doubles (2 components "a" and "b",
//                        group size 1, attribute children as regd has them);
//                        RegisterReceiver answers 0 and keeps the receiver;
//                        SetValue of sig.<name> then sends c_hostileBlocks to
//                        it before it returns
//   dod.<name>           a data-on-demand signal of doubles (2 components);
//                        DodReadDouble answers c_dodFactor times the asked
//                        atoms plus one value; "dod.empty" answers no value
//   notify.<name>        SetValue sends the client's notification sink, for
//                        that path, one record of each kind of
//                        c_answerKinds (type code c_oddNotificationType),
//                        then c_goodNotifications value-changed records of
//                        the Longs c_goodValue, c_goodValue + 1, ... at
//                        positions 0, 1, ..., before it returns
//   notify.failed        GetValue answers how many of those Emit calls raised
//
// Every other path is a read-write Long node of value 0.
//
// Thread-safety: the object belongs to the thread that made it; the server
// process serves on its ORB's threads. The constructor throws
// std::runtime_error when the server does not start; the destructor kills
// it, and so does the end of the process that made it.
#ifndef VARNEK_TESTS_RELIABILITY_HOSTILE_SERVER_H
#define VARNEK_TESTS_RELIABILITY_HOSTILE_SERVER_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace hostile {

// The kinds of any that "answer.<kind>" gives: the eight scalars
// ("bool" ... "string"), the eight value buffers ("BooleanBuffer" ...
// "StringBuffer"), and "empty", "StringVec", "Int16Buffer", "short",
// "octet", "char", "struct" (a SignalStatItem), "stats" (a SignalStats
// sequence of structs) and "objref" (a nil object reference).
extern const std::vector<std::string> c_answerKinds;

// Elements of a "long.<type>" answer.
constexpr unsigned int c_longLength = 200000;

// Text that is not valid UTF-8 (a lone continuation byte, an overlong
// encoding, a truncated sequence).
extern const char* const c_badUtf8;

// The type code of the hostile notification records (no type the client
// knows), and the good records that follow them.
constexpr int c_oddNotificationType = 9999;
constexpr unsigned int c_goodNotifications = 3;
constexpr int c_goodValue = 42;

// Atoms asked by a data-on-demand read are answered c_dodFactor times over.
constexpr unsigned int c_dodFactor = 1000;

class HostileServer {
 public:
  HostileServer();
  ~HostileServer();
  HostileServer(const HostileServer&) = delete;
  HostileServer& operator=(const HostileServer&) = delete;

  unsigned int Port() const { return m_port; }

 private:
  pid_t m_pid = 0;
  unsigned int m_port = 0;
};

}  // namespace hostile

#endif  // VARNEK_TESTS_RELIABILITY_HOSTILE_SERVER_H
