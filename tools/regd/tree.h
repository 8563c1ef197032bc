// The registry tree that regd publishes, and its loading from a JSON file.
//
// A RegNode carries what the remote interface reports of a node (name,
// flags, value type, value, domain, validator expression) plus what regd
// needs to serve it: the command of an executable node, the test hooks that
// make it misbehave on purpose, the signal description of a signal node, the
// generator of a simulated measurement, and for the diagnostic nodes a
// counter read on demand and an action run after a client's write.
//
// Ownership and thread-safety: a parent owns its children. The structure
// (names, children, flags, hooks, descriptions) is fixed once the tree is
// loaded and is read without a lock by every thread; the value fields
// (m_value, the simulation index) are guarded by the registry mutex
// (registry.h).
#ifndef VARNEK_TOOLS_REGD_TREE_H
#define VARNEK_TOOLS_REGD_TREE_H

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/roz_util.h"
#include "value.h"

namespace regd {

class i_RemoteSignal_impl;

// The name of the hidden diagnostic subtree that regd adds below the root
// (server.h); a tree file cannot use it for a child of the root.
inline constexpr char c_diagnosticsName[] = "regd";

// Produces sample values from a sample index (and a component number):
//   sine      offset + amplitude * sin(2 pi index / period + component * pi / 2)
//   ramp      offset + step * (index mod period, or index when period is 0) + component
//   noise     offset + amplitude * u, u in [-1, 1) drawn from (index, component)
//   constant  offset + component
// Every generator is a pure function of its arguments, so a data-on-demand
// read at a position always answers the same data.
struct Generator {
  enum Kind_e { eSine, eRamp, eNoise, eConstant };
  Kind_e m_kind = eSine;
  double m_amplitude = 1.0;
  double m_offset = 0.0;
  double m_period = 64.0;
  double m_step = 1.0;

  double Sample(unsigned long long index, unsigned int component) const;
};

// Misbehaviour on purpose, set per node in the tree file ("hooks").
struct Hooks {
  // What GetValue answers instead of the value.
  enum Answer_e {
    eNormal,
    eSequence,     // the element's buffer (a sequence of one) for a scalar node
    eEmpty,        // an empty any
    eStringVec,    // the elements' texts as a StringVec (not a StringBuffer)
    eOtherScalar,  // a scalar of another type (a string, or a long for string nodes)
  };
  Answer_e m_answer = eNormal;
  bool m_hasValueException = false;
  std::string m_valueException;  // GetValue and SetValue raise ValueException with it
  bool m_invalidType = false;    // GetValue and SetValue raise InvalidType
  unsigned int m_delayMs = 0;    // GetValue, SetValue, Subscribe, Unsubscribe wait first
  bool m_refuseSubscribe = false;
  std::string m_systemException;  // value and subscription calls raise this CORBA system exception
  bool m_notFound = false;        // every call addressing the node raises NotFound
};

// How a signal node produces its data.
struct SignalDescription {
  bool m_push = true;                     // push stream (access type 1) or data on demand (2)
  int m_elementCode = 1;                  // atom type code 1 (double) ... 10 (int8)
  std::vector<std::string> m_components;  // component names; their number is the atom length
  unsigned int m_groupSize = 64;          // atoms per pushed block
  double m_blockRateHz = 10.0;            // blocks per second; 0 pushes as fast as possible
  Generator m_generator;
  unsigned long long m_length = 0;  // atoms a data-on-demand read can reach; 0 unbounded
  // Test hooks.
  bool m_refuseRegister = false;               // RegisterReceiver answers 2
  unsigned long long m_cancelAfterBlocks = 0;  // Cancel(m_cancelCode) after so many blocks
  int m_cancelCode = -5;
  unsigned int m_dispatchDelayMs = 0;  // extra wait before each block

  unsigned int Components() const { return static_cast<unsigned int>(m_components.size()); }
};

// A node whose value regd itself changes periodically.
struct Simulation {
  std::atomic<unsigned int> m_periodMs{1000};  // 0: paused
  Generator m_generator;
  unsigned long long m_index = 0;  // guarded by the registry mutex
};

class RegNode {
 public:
  std::string m_name;
  roz::Path m_path;  // from the root; empty for the root itself
  RegNode* m_parent = nullptr;
  roz::Flags m_flags = 0;
  ValueType m_type = roz::enums::eUndefined;
  Elements m_value;    // guarded by the registry mutex
  Elements m_initial;  // the value as loaded (the "reset" command restores it)
  bool m_hasDomain = false;
  std::vector<std::string> m_domain;
  bool m_hasValidator = false;
  std::string m_validator;  // reported to clients, not evaluated
  std::string m_command;    // executable nodes: "reset" or "noop"
  Hooks m_hooks;
  std::unique_ptr<SignalDescription> m_signal;
  std::unique_ptr<Simulation> m_simulation;
  // Diagnostic nodes: the value, computed when read (under the registry mutex).
  std::function<unsigned long long()> m_counter;
  // Run under the registry mutex after a client wrote the node.
  std::function<void(const RegNode&)> m_onWrite;
  // The signal servant of a signal node (set when the server starts).
  i_RemoteSignal_impl* m_signalServant = nullptr;
  std::vector<std::unique_ptr<RegNode>> m_children;

  bool Has(roz::Flags flag) const { return (m_flags & flag) != 0; }
  bool IsArray() const { return Has(roz::enums::eArray); }
  // The child named `name`, or null.
  RegNode* Child(const std::string& name) const;
  // Adds `child` as the last child and sets its parent and path.
  RegNode& Add(std::unique_ptr<RegNode> child);
  // The path from the root joined with "." ("" for the root).
  std::string PathText() const;
};

// Name ("double", "float", "uint64", "int64", "uint32", "int32", "uint16",
// "int16", "uint8", "int8") and size in bytes of the signal element type of
// atom type code `code` (1 to 10); "" and 0 for other codes.
const char* ElementTypeName(int code);
unsigned int ElementTypeSize(int code);

// The path text of `path` (elements joined with ".").
std::string PathText(const roz::Path& path);
// `text` split at "." (empty elements dropped).
roz::Path SplitPath(const std::string& text);

// Reads the tree of `fileName`. Throws istd::Exception with the text
// fileName + ": " + (node path + ": ")? + problem, for example
// "demo.json: node demo.settings.gain: unknown value type \"Dbl\"", or the
// parser's message (with line and column) for malformed JSON.
std::unique_ptr<RegNode> LoadTree(const std::string& fileName);
// The same from JSON text; `source` names it in messages.
std::unique_ptr<RegNode> LoadTreeFromText(const std::string& text, const std::string& source);

}  // namespace regd

#endif  // VARNEK_TOOLS_REGD_TREE_H
