// regd's write gate: wildcard patterns of the identities that may write.
#include "writers.h"

#include <utility>

#include "istd/log.h"
#include "network/i_types.h"
#include "network/tls.h"

namespace regd {

bool WildcardMatch(const std::string& pattern, const std::string& text) {
  // Greedy matching with one back-tracking point: the last '*' seen.
  std::size_t p = 0, t = 0, star = std::string::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p;
      ++t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

WriteGate::WriteGate(std::vector<std::string> patterns) : m_patterns(std::move(patterns)) {}

bool WriteGate::Allows(const std::string& identity) const {
  if (IsOpen()) return true;
  if (identity.empty()) return false;
  for (const std::string& pattern : m_patterns) {
    if (WildcardMatch(pattern, identity)) return true;
  }
  return false;
}

void WriteGate::Check(const std::string& what) const {
  if (IsOpen()) return;
  const inet::Peer peer = inet::CurrentCallPeer();
  if (Allows(peer.m_identity)) return;
  const std::string identity = peer.m_identity.empty() ? "(none)" : peer.m_identity;
  istd::LogWarning("regd: write refused: " + what + " for identity \"" + identity + "\" at " +
                   (peer.m_address.empty() ? std::string("unknown address") : peer.m_address));
  throw i_NET::ValueException(("write not allowed for " + identity).c_str());
}

std::vector<std::string> SplitPatterns(const std::string& list) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t comma = list.find(',', start);
    const std::size_t end = comma == std::string::npos ? list.size() : comma;
    if (end > start) parts.push_back(list.substr(start, end - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return parts;
}

}  // namespace regd
