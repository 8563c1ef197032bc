// The registry tree of the end-to-end benchmarks (bench_e2e, bench_tls): a
// scalar, an array of c_arraySize doubles (filled by the benchmark) and a
// push signal of one double component in blocks of c_blockSize atoms, as
// fast as the receiver takes them. Constants only; any thread.
#ifndef VARNEK_BENCH_BENCH_TREE_H
#define VARNEK_BENCH_BENCH_TREE_H

namespace benchtree {

constexpr unsigned int c_arraySize = 1u << 20;    // doubles of the array node
constexpr unsigned int c_blockSize = 64u * 1024;  // doubles per pushed block
constexpr double c_mb = 1e6;                      // bytes per MB of the tables

// regd's tree file (JSON) with the nodes "scalar", "array" and "stream".
constexpr const char* c_tree = R"({
  "name": "bench", "flags": ["read"],
  "children": [
    {"name": "scalar", "type": "Double", "value": 1.5, "flags": ["read", "write"]},
    {"name": "array", "type": "Double", "value": [], "flags": ["read", "write", "array"]},
    {"name": "stream", "flags": ["read", "signal"],
     "signal": {"access": "push", "element": "double", "components": ["x"],
                "group_size": 65536, "block_rate_hz": 0,
                "generator": {"kind": "ramp", "step": 1, "period": 1000}}}
  ]
})";

}  // namespace benchtree

#endif  // VARNEK_BENCH_BENCH_TREE_H
