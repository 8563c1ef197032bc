// roz::Node, the handle through which programs use the registry: a tree node
// plus the path of the addressed node inside it, held by a weak pointer and
// the tree node's identifier.
//
// Ownership: a handle never keeps its tree node alive beyond one call. A
// handle whose tree node has been destroyed still compares and sorts (by
// identifier and path) and throws istd::Exception "Node is not valid
// anymore." when it is used. The unmanaged data pointer belongs to the
// program; the handle neither interprets nor frees it.
//
// Thread-safety: a handle is a plain value; copies may be used on different
// threads, one object is not shared between threads. Locking is done by the
// tree nodes and structures that the handle calls.
//
// Value types (all scalar and std::vector forms; client/value_type.h): bool
// (Bool), int32_t (Long), uint32_t (ULong), int64_t (LongLong), uint64_t
// (ULongLong), double (Double), float (Float), std::string (String and
// Enumeration). Every typed member also accepts the other standard names of
// the integer types -- int, long, long long and their unsigned forms -- and
// maps each onto the type of its width and signedness (long long and long
// are LongLong on x86-64; long is Long on i386). char and short are no value
// types: reading into one does not compile, and writing one reaches the Long
// slot by integer promotion.
#ifndef VARNEK_CLIENT_NODE_H
#define VARNEK_CLIENT_NODE_H

#include <cstddef>
#include <exception>
#include <limits>
#include <memory>
#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

#include "client/node_structure.h"
#include "client/roz_util.h"
#include "client/tree_node.h"
#include "client/value_type.h"
#include "istd/any.h"
#include "istd/process.h"

namespace roz {

// The identifier of no tree node: drawn from the tree-node counter when the
// library is loaded, so no tree node ever carries it.
extern const TreeNodeId c_nullNodeId;

class Node {
 public:
  // Default length limit of value texts: 0, no limit.
  static constexpr size_t c_defMaxValueLen = 0;

  // No tree node, the null identifier, empty path, no unmanaged data.
  Node();
  // The address's tree node (null identifier for an empty pointer) and path.
  Node(const TreeNodeAddr& addr);  // NOLINT(google-explicit-constructor)
  Node(const TreeNodePtr& node, const Path& relPath);
  // The same, taking over `relPath` (no copy of the names).
  Node(const TreeNodePtr& node, Path&& relPath);
  // A handle that only names a node (no tree node), as notifications do.
  Node(const TreeNodeId& id, const Path& relPath);

  // ---- identity ----

  // True when the tree node still exists.
  bool IsValid() const;
  // The tree node; throws istd::Exception "Node is not valid anymore." when it
  // is gone or was never set.
  TreeNodePtr GetTreeNode() const;
  // Same object: true. Otherwise false when either carries the null
  // identifier, else equal identifiers and equal paths.
  bool operator==(const Node& other) const;
  // By identifier, then by path (byte-wise).
  bool operator<(const Node& other) const;
  // True when `other` is this handle in every respect but storage: the same
  // tree node object (or both none), identifier, path and unmanaged data. A
  // copy of either could stand for the other.
  bool IsSameHandle(const Node& other) const;
  void SetUnmanagedData(void* data) { m_unmanagedData = data; }
  void* GetUnmanagedData() const { return m_unmanagedData; }
  const TreeNodeId& GetId() const { return m_id; }

  // ---- navigation (each throws for a dead handle, and the lookup texts) ----

  // The last path element, or the tree node's name for an empty path.
  std::string GetName() const;
  Path GetRelPath() const { return m_relPath; }
  // The child `name` (one path element; it is not split at ".").
  Node GetNode(const std::string& name) const;
  Node operator[](const std::string& name) const;
  Node operator[](const char* name) const;
  // The visible child at `index`.
  Node GetNode(size_t index) const;
  // The descendant at `path`.
  Node GetNode(const Path& path) const;
  // The visible children, in order.
  std::vector<Node> GetNodes() const;
  size_t GetNodeCount() const;
  bool IsLeaf() const;
  // False for a non-empty path; otherwise whether the tree node is a root.
  bool IsRoot() const;
  // Throws "ireg: root node doesn't have a parent." for a local root.
  Node GetParent() const;
  Node GetRoot() const;
  // The names from the root down to this node; without the root's name when
  // `excludeRoot`.
  Path GetFullPath(bool excludeRoot) const;

  // ---- attributes ----

  Flags GetFlags() const;
  bool IsArray() const;
  bool IsExecutable() const;
  bool IsReadable() const;
  bool IsWritable() const;
  bool IsPersistent() const;
  bool IsSignal() const;
  bool IsConstant() const;
  size_t GetSize() const;
  enums::NodeValType_e GetValueType() const;

  // ---- commands and metadata ----

  // Writes the LongLong 238 at position 0 of an executable node; throws
  // "ireg: node is not executable: " + name otherwise.
  bool Execute() const;
  bool GetValidatorExpression(std::string& expression) const;
  // Replaces `values` with the allowed values and returns true; false (and
  // `values` untouched) when an istd::Exception is thrown, also for a dead
  // handle.
  bool GetDomainValues(std::vector<std::string>& values) const;

  // ---- notifications (the handle side) ----
  // Each returns the tree node's answer, or false after tracing (Medium) an
  // istd::Exception, also that of a dead handle.

  bool Subscribe(const ClientId& client) const;
  // Also unregisters the client from the dispatcher.
  bool Unsubscribe(const ClientId& client);
  // Hands a record of this handle, `type`, `value` and position 0 to the
  // tree node.
  bool Emit(enums::NotificationType_e type, istd::Any value);

  // ---- removal ----

  // Detaches the tree node from its local parent (unless this handle is a
  // root), then lets it release its resources (Cleanup). Returns true.
  bool Destroy();
  // Removes `grandchildName` from the child `childName` of this handle's
  // tree node (the handle's own path is not used).
  void DeleteNode(const std::string& childName, const std::string& grandchildName);

  // ---- typed access (Get, Set and the conversions throw; the ...Value
  // forms report and return false) ----

  template <typename T>
  void Get(T& value, size_t pos) const {
    if constexpr (istd::c_isIntegerAlias<T>) {
      istd::FixedWidth_t<T> held{};
      GetTreeNode()->Get(held, pos, m_relPath);
      value = static_cast<T>(held);
    } else {
      GetTreeNode()->Get(value, pos, m_relPath);
    }
  }
  template <typename T>
  void Get(std::vector<T>& values, size_t pos, size_t count) const {
    if constexpr (istd::c_isIntegerAlias<T>) {
      std::vector<istd::FixedWidth_t<T>> held;
      GetTreeNode()->Get(held, pos, count, m_relPath);
      values.assign(held.begin(), held.end());
    } else {
      GetTreeNode()->Get(values, pos, count, m_relPath);
    }
  }
  template <typename T>
  bool GetValue(T& value, size_t pos) const {
    try {
      Get(value, pos);
      return true;
    } catch (...) {
      ReportValueException(__PRETTY_FUNCTION__, ISTD_SOURCE, __LINE__, false);
      return false;
    }
  }
  template <typename T>
  bool GetValue(std::vector<T>& values, size_t pos, size_t count) const {
    try {
      Get(values, pos, count);
      return true;
    } catch (...) {
      ReportValueException(__PRETTY_FUNCTION__, ISTD_SOURCE, __LINE__, false);
      return false;
    }
  }

  // Scalars and vectors. Enumerations, pointers and arrays are excluded so
  // that text arguments reach the const char* forms (a pointer would
  // otherwise convert to bool).
  template <typename T, typename = std::enable_if_t<!std::is_enum_v<T> && !std::is_pointer_v<T> &&
                                                    !std::is_array_v<T>>>
  void Set(const T& value, size_t pos) const {
    GetTreeNode()->Set(ToSlot(value), pos, m_relPath);
  }
  template <typename T, typename = std::enable_if_t<!std::is_enum_v<T> && !std::is_pointer_v<T> &&
                                                    !std::is_array_v<T>>>
  bool SetValue(const T& value, size_t pos) const {
    try {
      Set(value, pos);
      return true;
    } catch (...) {
      ReportValueException(__PRETTY_FUNCTION__, ISTD_SOURCE, __LINE__, true);
      return false;
    }
  }
  // A null text is written as the empty string.
  void Set(const char* text, size_t pos) const { Set(std::string(text ? text : ""), pos); }
  bool SetValue(const char* text, size_t pos) const {
    return SetValue(std::string(text ? text : ""), pos);
  }
  void Set(std::vector<bool>::reference value, size_t pos) const {
    Set(static_cast<bool>(value), pos);
  }
  bool SetValue(std::vector<bool>::reference value, size_t pos) const {
    return SetValue(static_cast<bool>(value), pos);
  }

  // Get(value, 0); exceptions pass through.
  operator bool() const { return Read<bool>(); }      // NOLINT(google-explicit-constructor)
  operator float() const { return Read<float>(); }    // NOLINT
  operator double() const { return Read<double>(); }  // NOLINT
  // The six integer names are distinct types on every word size; each reads
  // the slot of its width and signedness.
  operator int() const { return Read<int>(); }                                // NOLINT
  operator unsigned int() const { return Read<unsigned int>(); }              // NOLINT
  operator long() const { return Read<long>(); }                              // NOLINT
  operator unsigned long() const { return Read<unsigned long>(); }            // NOLINT
  operator long long() const { return Read<long long>(); }                    // NOLINT
  operator unsigned long long() const { return Read<unsigned long long>(); }  // NOLINT
  operator std::string() const { return Read<std::string>(); }                // NOLINT
  // Get(values, 0, 0): the elements the registry answers for that request.
  operator std::vector<bool>() const { return ReadAll<bool>(); }                  // NOLINT
  operator std::vector<int>() const { return ReadAll<int>(); }                    // NOLINT
  operator std::vector<unsigned int>() const { return ReadAll<unsigned int>(); }  // NOLINT
  operator std::vector<long>() const { return ReadAll<long>(); }                  // NOLINT
  operator std::vector<unsigned long>() const {                                   // NOLINT
    return ReadAll<unsigned long>();
  }
  operator std::vector<long long>() const { return ReadAll<long long>(); }  // NOLINT
  operator std::vector<unsigned long long>() const {                        // NOLINT
    return ReadAll<unsigned long long>();
  }
  operator std::vector<double>() const { return ReadAll<double>(); }            // NOLINT
  operator std::vector<float>() const { return ReadAll<float>(); }              // NOLINT
  operator std::vector<std::string>() const { return ReadAll<std::string>(); }  // NOLINT

  // ---- raw buffers: elements in natural width and host byte order (bool one
  // byte, 0 or 1, any non-zero byte reads as true) ----

  // For a readable array node, the whole array as the element type of its
  // value type: at most bytes / element size elements, nothing for String,
  // Enumeration, Undefined, or when the read fails.
  void GetArrayByType(void* buffer, size_t bytes) const;
  // For a readable array node: reads GetSize() elements of the node's
  // element type from `buffer` and writes them.
  void SetArrayByType(void* buffer);
  // T: bool, the six integer names, float, double; elements are
  // sizeof(T) bytes wide (bool one byte).
  template <typename T>
  void GetArray(void* buffer, size_t bytes) const;
  template <typename T>
  void SetArray(void* buffer);

  // ---- text cells: cells of `cellLen` bytes, each a NUL-terminated text ----

  // Writes the elements' texts into consecutive cells, never past `bytes`
  // (a last, partial cell is cut and terminated inside `bytes`); a text of
  // cellLen or more characters is cut to cellLen - 1. Nothing when the read
  // fails or yields nothing, or `bytes` or `cellLen` is 0.
  void GetStringArrayByType(void* buffer, size_t bytes, size_t cellLen) const;
  // Reads GetSize() cells (each read at most up to its own end), converts
  // them and writes the vector. Conversion failures throw istd::Exception
  // "Bad cast from " / "Bad hex cast from " + text + " to " + type name and
  // nothing is written. Nothing is read or written for cellLen 0 when the
  // node has elements.
  void SetStringArrayByType(void* buffer, size_t cellLen);
  // T: the value types and the other integer names.
  template <typename T>
  void GetStringArray(void* buffer, size_t bytes, size_t cellLen) const;
  template <typename T>
  void SetStringArray(void* buffer, size_t cellLen);

  // ---- text forms ----

  // The value as text ("N/A" when it cannot be read): arrays of one element
  // as that element, longer ones as "[a,b,...]"; bool as true/false. T: the
  // value types and the other integer names.
  template <typename T>
  std::string PrintValue() const;
  // PrintValue of the node's value type; "" for Undefined or unreadable
  // nodes. A text longer than a non-zero `maxLen` is cut to maxLen - 3
  // characters followed by "...".
  std::string ToString(size_t maxLen = c_defMaxValueLen) const;
  // One line per node of the subtree below this one (`depth` < 0:
  // unlimited). Mode bits: 1 relative paths instead of indented names,
  // 2 flag characters first, 4 relative paths and only nodes with a value.
  std::string DumpSubTree(int depth, unsigned long mode, size_t maxLen) const;

 private:
  // `value` as the argument of a value slot: integers of another name as
  // their fixed-width type (vectors copied), everything else unchanged.
  template <typename T>
  static decltype(auto) ToSlot(const T& value) {
    if constexpr (!istd::c_isIntegerAlias<T>) {
      return (value);
    } else if constexpr (istd::c_isValueInteger<T>) {
      return static_cast<istd::FixedWidth_t<T>>(value);
    } else {
      return istd::FixedWidth_t<T>(value.begin(), value.end());
    }
  }
  template <typename T>
  T Read() const {
    T value{};
    Get(value, 0);
    return value;
  }
  template <typename T>
  std::vector<T> ReadAll() const {
    std::vector<T> values;
    Get(values, 0, 0);
    return values;
  }
  // Reports the exception being handled by a GetValue / SetValue (`function`
  // at `file`:`line`) and swallows it. Called only inside a catch block.
  void ReportValueException(const char* function, const char* file, int line, bool setting) const;

  TreeNodeId m_id;
  std::weak_ptr<TreeNode> m_treeNode;
  Path m_relPath;
  void* m_unmanagedData;
};

// Writes node.ToString(0).
std::ostream& operator<<(std::ostream& os, const Node& node);

// Destroys the handle's tree node as Node::Destroy does, warns (trace,
// Medium) when others still hold it, and resets `node`. Nothing for an empty
// pointer.
void DestroyNode(TreeNodePtr& node);

// `node` and its visible descendants in pre-order, down to `depth` levels
// below it (0: the node only). The one-argument form has no limit.
std::vector<Node> SubTree(const Node& node, size_t depth);
std::vector<Node> SubTree(const Node& node);

namespace detail {
// The handle's name for a trace line: GetName(), or "(null)" when that
// throws (a dead handle with an empty path).
std::string TraceName(const Node& node);
}  // namespace detail

}  // namespace roz

#endif  // VARNEK_CLIENT_NODE_H
