// regd::WriteGate: who may write values and run commands, by the identity
// (certificate subject common name) of the TLS peer making the call.
// Patterns are names with '*' standing for any run of characters
// ("operator-*", "*.plant.example", "*"). Reads are never gated.
//
// Thread-safety: immutable after construction; Check runs on ORB threads,
// several at once, and reads the calling thread's peer (inet::CurrentCallPeer).
#ifndef VARNEK_TOOLS_REGD_WRITERS_H
#define VARNEK_TOOLS_REGD_WRITERS_H

#include <string>
#include <vector>

namespace regd {

// True when `pattern` ('*' any run of characters, possibly empty) matches
// the whole of `text`.
bool WildcardMatch(const std::string& pattern, const std::string& text);

class WriteGate {
 public:
  // No patterns: everyone may write.
  explicit WriteGate(std::vector<std::string> patterns = {});

  bool IsOpen() const { return m_patterns.empty(); }
  // True when the gate is open or `identity` matches one of the patterns.
  bool Allows(const std::string& identity) const;
  // For the request the calling ORB thread serves: returns when its peer
  // may write; otherwise logs the refusal of `what` (a node path) with the
  // peer's address and identity and throws i_NET::ValueException
  // "write not allowed for <identity>".
  void Check(const std::string& what) const;

 private:
  std::vector<std::string> m_patterns;
};

// "a,b,c" split at the commas, empty parts dropped.
std::vector<std::string> SplitPatterns(const std::string& list);

}  // namespace regd

#endif  // VARNEK_TOOLS_REGD_WRITERS_H
