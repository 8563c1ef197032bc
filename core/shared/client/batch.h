// Many nodes at once: reads, writes and descriptions of many roz::Node
// handles with many requests in flight on each registry connection instead
// of one synchronous round trip per request.
//
// Each call groups the nodes by the remote node proxy that holds them; the
// requests of every group are sent as asynchronous invocations (the i_NET
// AMI pollers) on the proxy's connection, at most c_batchWindow of them in
// flight per group, and all groups proceed together in one poll loop on the
// calling thread. A request that needs the answer of another (a read needs
// the node's type before it can send the typed GetValue) is sent as soon as
// that answer arrives, so a call costs about as many round trips as its
// longest chain of requests, not one per node. Nodes of local trees are
// handled directly on the calling thread.
//
// Results are in the order of the input, one per node; one node's failure
// never fails the others. Failure texts are those of the single-node calls
// ("ireg: node not found: a.b", "ireg: node not accessible: a.b", "ireg:
// node disconnected: a.b", the server's ValueException text, "Node is not
// valid anymore." for a handle whose tree node is gone, ...).
//
// Threads and locks: the calls may run on any thread, also several at once
// on the same proxy. No lock is held while a call waits: each group copies
// the proxy's remote node reference once, under the proxy's reference
// mutex, at the start of the call, so single-node calls and batches of other
// threads go on meanwhile. The invocations run on omniORB's client threads;
// every request is bounded by the client call time-out in force (the ORB's
// default 60 s, or what the program set with omniORB::setClientCallTimeout),
// and a server that goes away gives each outstanding request its error.
//
// Ownership: the calls keep the proxies they use alive until they return;
// handles and values are copied into the results.
#ifndef VARNEK_CLIENT_BATCH_H
#define VARNEK_CLIENT_BATCH_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "client/node.h"
#include "client/roz_util.h"
#include "istd/any.h"

namespace roz {

// Most requests in flight per proxy connection within one call. The ORB
// interleaves up to inet::OrbManager::c_maxInterleavedCalls (1024) calls on
// one connection, so a batch leaves room for other batches and for the
// single calls of other threads.
constexpr size_t c_batchWindow = 256;

// The outcome of reading one node.
struct ReadResult {
  // The value when the read succeeded: the node's element type (bool,
  // int32_t, uint32_t, int64_t, uint64_t, double, float, std::string for
  // String and Enumeration) for a scalar node, a std::vector of it for an
  // array node. Empty after a failure.
  istd::Any value;
  // Empty on success, otherwise the failure text.
  std::string error;
  bool Ok() const { return error.empty(); }
};

// What Describe and WalkTree tell about one node.
struct NodeInfo {
  Node node;         // the described handle
  std::string path;  // its relative path text (the path in its registry for a remote node)
  std::string name;  // Node::GetName()
  size_t level = 0;  // WalkTree: levels below the walk's root (0 the root); Describe: 0
  enums::NodeValType_e type = enums::eUndefined;  // Node::GetValueType()
  Flags flags = 0;                                // Node::GetFlags()
  size_t size = 0;                                // Node::GetSize()
  size_t childCount = 0;                          // Node::GetNodeCount(): visible children
  bool leaf = true;  // Node::IsLeaf(): no children at all (hidden ones count)
  // Empty when every attribute was read; otherwise the text of the first
  // failure (in the order of the fields above) and the attributes that
  // could not be read keep their defaults.
  std::string error;
  bool Ok() const { return error.empty(); }
};

// Reads every node as rozctl's and the single-node read do: the node's value
// type and flags first, then the value with that type as hint -- an array
// node `count` elements from `position` (count 0: all from there), a scalar
// node its one value (position and count do not apply to scalars). A node
// whose type is Undefined gives "ireg: node has no value: " + path. Never
// throws for a node's failure; throws only what allocation throws.
std::vector<ReadResult> ReadValues(const std::vector<Node>& nodes, size_t position = 0,
                                   size_t count = 0);

// Writes every value as Node::Set with the value held by the istd::Any
// would (its element type decides the buffer type sent, the server converts
// nothing: a value of the wrong type gives "ireg: invalid type: " + path);
// vectors are written from `position`, scalars at `position` as one
// element. Returns an empty text per success and the failure text
// otherwise; an empty istd::Any, or one holding no value type, gives "ireg:
// invalid type: " + path without a request. The writes of one call may
// reach the server in any order; two writes to one node in one call end
// with either value.
std::vector<std::string> WriteValues(const std::vector<std::pair<Node, istd::Any>>& writes,
                                     size_t position = 0);

// The attributes of every node (five requests per remote node, all in
// flight together).
std::vector<NodeInfo> Describe(const std::vector<Node>& nodes);

// `root` and its visible descendants down to `depth` levels below it (0:
// the root only, < 0: no limit), each described, in pre-order (a node, then
// its children's subtrees in the server's order) as roz::SubTree lists them.
// Each node's children are asked for together with its description, so the
// walk costs about one round trip per level. A node whose children cannot be
// listed carries that failure text (when it has no other) and is walked no
// further.
std::vector<NodeInfo> WalkTree(const Node& root, int depth);

}  // namespace roz

#endif  // VARNEK_CLIENT_BATCH_H
