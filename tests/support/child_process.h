// testsupport::SpawnChild: starting a program of the build as a child
// process of a test (regd, rozctl, rozweb), with its output in files.
//
// Thread-safety: SpawnChild may be called from any thread; everything the
// child needs is prepared before fork, and the child calls only
// async-signal-safe functions before exec. The caller owns the child and
// reaps it.
#ifndef VARNEK_TESTS_SUPPORT_CHILD_PROCESS_H
#define VARNEK_TESTS_SUPPORT_CHILD_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

// Forks and execs args[0] with `args` (args[0] included), standard input
// from /dev/null, standard output and error appended to the files `out` and
// `err`, with every signal unblocked. With `dieWithParent` the child gets
// SIGKILL when the test process dies; with `netns` it enters that network
// namespace (a name under /run/netns) before exec. Returns the child's id.
// Throws std::runtime_error when a file or the namespace cannot be opened or
// fork fails. A failed exec ends the child with status 127.
pid_t SpawnChild(const std::vector<std::string>& args, const std::string& out,
                 const std::string& err, bool dieWithParent = true,
                 const std::string& netns = std::string());

}  // namespace testsupport

#endif  // VARNEK_TESTS_SUPPORT_CHILD_PROCESS_H
