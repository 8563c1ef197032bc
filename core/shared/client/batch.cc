// The batch calls of client/batch.h: what each asks the server for a node
// and how the answers become results, on top of the request windows of
// client/internal/request_window.h. Every remote request mirrors what the
// single-node call sends, and every failure goes through the same mapping
// to a text (remote_node.h, internal/remote_call.h).
#include "client/batch.h"

#include <exception>
#include <memory>
#include <utility>

#include "client/internal/remote_call.h"
#include "client/internal/request_window.h"
#include "client/remote_node.h"
#include "client/value_type.h"
#include "istd/exception.h"
#include "istd/log.h"
#include "network/conversion.h"

namespace roz {

namespace {

using detail::RequestWindow;
using Poller = i_NET::AMI_RemoteNodePoller;
using Names = std::shared_ptr<const i_NET::NodeNames>;

const char* const c_notFound = "ireg: node not found: ";
const char* const c_notAccessible = "ireg: node not accessible: ";

// The text of the exception being handled. Called only inside a catch
// block.
std::string CurrentFailureText() {
  try {
    throw;
  } catch (const istd::Exception& e) {
    return e.what();
  } catch (const CORBA::Exception& e) {
    return inet::CORBAExceptionToString(e);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "ireg: unknown failure";
  }
}

// Runs `f`; the text of what it threw, or "" when it returned.
template <typename F>
std::string FailureOf(F&& f) {
  try {
    f();
    return std::string();
  } catch (...) {
    return CurrentFailureText();
  }
}

// Takes one polled answer: rethrows the sending's `failure`, or runs
// `retrieve` on the ready poller; a failure of either is handed to `map`
// (inside the catch block), whose exception gives the text. "" on success.
template <typename Retrieve, typename Map>
std::string Answer(const std::exception_ptr& failure, Retrieve&& retrieve, Map&& map) {
  return FailureOf([&] {
    try {
      if (failure) std::rethrow_exception(failure);
      retrieve();
    } catch (...) {
      map();
    }
  });
}

// The failure mapping of the attribute queries (RemoteNode::Query) and of
// the navigation calls that answer counts and leaves.
auto QueryFailure(const Path& path) {
  return [&path] { detail::ThrowCallFailure(path, c_notFound, false, c_notAccessible); };
}

// The remote proxy that holds `node`, or null for a node of a local tree.
// Throws "Node is not valid anymore." for a dead handle.
std::shared_ptr<RemoteNode> ProxyOf(const Node& node) {
  return std::dynamic_pointer_cast<RemoteNode>(node.GetTreeNode());
}

Names NamesOf(const Path& path) { return Names(PathToRemoteNodeNames(path)); }

std::string DisconnectedText(const Path& path) {
  return FailureOf([&] { detail::CheckConnected(i_NET::RemoteNode::_nil(), path); });
}

std::string NoValueText(const Path& path) { return "ireg: node has no value: " + ToString(path); }

// Sorts `count` inputs into local ones (handled by `local(i)` at once, on
// this thread) and remote ones (added to their proxy's group of `window`);
// an input whose handle is dead or whose proxy is disconnected gets its
// text through `fail(i, text)`.
template <typename NodeOf, typename Local, typename Fail>
void Distribute(RequestWindow& window, size_t count, NodeOf&& nodeOf, Local&& local, Fail&& fail) {
  for (size_t i = 0; i < count; ++i) {
    const Node& node = nodeOf(i);
    std::shared_ptr<RemoteNode> proxy;
    const std::string dead = FailureOf([&] { proxy = ProxyOf(node); });
    if (!dead.empty()) {
      fail(i, dead);
    } else if (!proxy) {
      local(i);
    } else {
      const RequestWindow::GroupId group = window.GroupOf(proxy);
      if (window.IsConnected(group)) {
        window.AddItem(group, i);
      } else {
        fail(i, DisconnectedText(node.GetRelPath()));
      }
    }
  }
}

// ---- reads ----

// The value of an answered GetValue as the single-node read extracts it.
// Throws the texts of the value transfer.
template <typename T>
istd::Any Decode(const CORBA::Any_var& answer, bool array, CORBA::TypeCode_ptr hint,
                 const Path& path) {
  if (array) {
    std::vector<T> values;
    ArrayFromReply(answer.in(), path, values);
    return istd::Any(values);
  }
  return istd::Any(ScalarFromReply<T>(answer.in(), hint, path));
}

// One read through the node's own slots: type, flags, then the typed Get.
// Local trees take this road; it is also the single-node read that the
// remote requests mirror.
istd::Any ReadDirectly(const Node& node, size_t position, size_t count) {
  const enums::NodeValType_e type = node.GetValueType();
  const bool array = node.IsArray();
  return VisitValueType(
      type,
      [&](auto tag) -> istd::Any {
        using T = typename decltype(tag)::Type;
        if (array) {
          std::vector<T> values;
          node.Get(values, position, count);
          return istd::Any(values);
        }
        T value{};
        node.Get(value, 0);
        return istd::Any(value);
      },
      [&]() -> istd::Any { throw istd::Exception(NoValueText(node.GetRelPath()), true); });
}

// True for the exception being handled when a node may have changed since
// its shape was remembered: the server no longer knows the path, or it
// holds another type. Called only inside a catch block.
bool NodeMayHaveChanged() {
  try {
    throw;
  } catch (const i_NET::NotFound&) {
    return true;
  } catch (const i_NET::InvalidType&) {
    return true;
  } catch (...) {
    return false;
  }
}

// Reads: a node whose shape (value type and flags) its proxy remembers
// costs one GetValue; any other node first asks for the value type and the
// flags, together, then sends the GetValue -- the requests of the
// single-node read. A read made with a remembered shape that fails as a
// changed node would (not found, another type, another answer) forgets the
// shape and starts again with the questions, so its result is what a
// fresh read gives.
class Reader {
 public:
  Reader(const std::vector<Node>& nodes, size_t position, size_t count)
      : m_nodes(nodes),
        m_position(position),
        m_count(count),
        m_results(nodes.size()),
        m_state(nodes.size()),
        m_window([this](size_t i, RequestWindow::GroupId g) { Start(i, g); }, c_batchWindow) {}

  std::vector<ReadResult> Run() {
    Distribute(
        m_window, m_nodes.size(), [&](size_t i) -> const Node& { return m_nodes[i]; },
        [&](size_t i) {
          m_results[i].error = FailureOf(
              [&] { m_results[i].value = ReadDirectly(m_nodes[i], m_position, m_count); });
        },
        [&](size_t i, const std::string& text) { m_results[i].error = text; });
    m_window.Run();
    return std::move(m_results);
  }

 private:
  using Shape = RemoteNode::ValueShape;

  // What the answers to the two questions told about a node.
  struct State {
    CORBA::ULong type = 0;
    Flags flags = 0;
    unsigned char answers = 0;
  };

  void Start(size_t i, RequestWindow::GroupId group) {
    const Names names = NamesOf(m_nodes[i].GetRelPath());
    Shape shape;
    if (m_window.ProxyOf(group).FindValueShape(ToString(m_nodes[i].GetRelPath()), shape)) {
      Read(i, group, names, shape, true);
    } else {
      Ask(i, group, names);
    }
  }

  // The two questions: the value type and the flags, together.
  void Ask(size_t i, RequestWindow::GroupId group, const Names& names) {
    m_state[i] = State();
    m_window.Send(
        group, [names](i_NET::RemoteNode_ptr ref) { return ref->sendp_GetValueType(*names); },
        [this, i, group, names](Poller* poller, std::exception_ptr failure) {
          const Path path = m_nodes[i].GetRelPath();
          // The type's failure is the one reported when both fail.
          const std::string error = Answer(
              failure, [&] { poller->GetValueType(0, m_state[i].type); }, QueryFailure(path));
          if (!error.empty()) m_results[i].error = error;
          Answered(i, group, names);
        });
    m_window.Send(
        group, [names](i_NET::RemoteNode_ptr ref) { return ref->sendp_GetFlags(*names); },
        [this, i, group, names](Poller* poller, std::exception_ptr failure) {
          const Path path = m_nodes[i].GetRelPath();
          i_NET::Flags flags = 0;
          const std::string error = Answer(
              failure, [&] { poller->GetFlags(0, flags); }, QueryFailure(path));
          m_state[i].flags = static_cast<Flags>(flags);
          if (!error.empty() && m_results[i].error.empty()) m_results[i].error = error;
          Answered(i, group, names);
        });
  }

  // Once both answers are in: remembers the shape and reads.
  void Answered(size_t i, RequestWindow::GroupId group, const Names& names) {
    if (++m_state[i].answers < 2 || !m_results[i].error.empty()) return;
    Shape shape;
    shape.type = static_cast<enums::NodeValType_e>(m_state[i].type);
    shape.flags = m_state[i].flags;
    m_window.ProxyOf(group).RememberValueShape(ToString(m_nodes[i].GetRelPath()), shape);
    Read(i, group, names, shape, false);
  }

  // The typed GetValue of a node of `shape`; `remembered` when the shape
  // was not asked for in this call.
  void Read(size_t i, RequestWindow::GroupId group, const Names& names, const Shape& shape,
            bool remembered) {
    VisitValueType(
        shape.type,
        [&](auto tag) {
          using T = typename decltype(tag)::Type;
          using Wire = detail::WireTypes<T>;
          std::shared_ptr<CORBA::TypeCode_var> hint =
              std::make_shared<CORBA::TypeCode_var>(CreateTypeHint<T, typename Wire::Scalar>());
          const bool array = shape.IsArray();
          const CORBA::ULong position = array ? static_cast<CORBA::ULong>(m_position) : 0;
          const CORBA::ULong count = array ? static_cast<CORBA::ULong>(m_count) : 1;
          m_window.Send(
              group,
              [names, hint, position, count](i_NET::RemoteNode_ptr ref) {
                return ref->sendp_GetValue(*names, position, count, hint->in());
              },
              [this, i, group, names, array, hint, remembered](Poller* poller,
                                                               std::exception_ptr failure) {
                const Path path = m_nodes[i].GetRelPath();
                bool changed = false;
                CORBA::Any_var answer;
                std::string error = Answer(
                    failure, [&] { poller->GetValue(0, answer.out()); },
                    [&] {
                      changed = remembered && NodeMayHaveChanged();
                      if (!changed) detail::ThrowFetchFailure(istd::ThisFncName(), path);
                    });
                if (error.empty() && !changed) {
                  error = FailureOf(
                      [&] { m_results[i].value = Decode<T>(answer, array, hint->in(), path); });
                  changed = remembered && !error.empty();
                }
                if (changed) {
                  m_window.ProxyOf(group).ForgetValueShape(ToString(path));
                  Ask(i, group, names);
                  return;
                }
                m_results[i].error = error;
              });
        },
        [&] { m_results[i].error = NoValueText(m_nodes[i].GetRelPath()); });
  }

  const std::vector<Node>& m_nodes;
  const size_t m_position;
  const size_t m_count;
  std::vector<ReadResult> m_results;
  std::vector<State> m_state;
  RequestWindow m_window;
};

// ---- writes ----

// The buffer that Node::Set sends for `value` (a scalar as one element), in
// a new any; false when `value` holds no value type.
bool BufferOf(const istd::Any& value, CORBA::Any& any) {
  return istd::VisitHeld(value, [&](auto tag, bool isVector) {
    using T = typename decltype(tag)::Type;
    using Buffer = typename detail::WireTypes<T>::Buffer;
    auto* sequence = new Buffer;
    if (isVector) {
      const std::vector<T> values = value.Get<std::vector<T>>();
      inet::detail::FillSequence(*sequence, values, values.size());
    } else {
      const T one = value.Get<T>();
      inet::detail::FillSequence(*sequence, &one, 1);
    }
    any <<= sequence;  // the any owns the sequence
  });
}

// A write through the node's own slots (local trees).
void WriteDirectly(const Node& node, const istd::Any& value, size_t position) {
  const bool held = istd::VisitHeld(value, [&](auto tag, bool isVector) {
    using T = typename decltype(tag)::Type;
    if (isVector) {
      node.Set(value.Get<std::vector<T>>(), position);
    } else {
      node.Set(value.Get<T>(), position);
    }
  });
  if (!held) throw istd::Exception("ireg: invalid type: " + ToString(node.GetRelPath()), true);
}

}  // namespace

// ---- entry points ----

std::vector<ReadResult> ReadValues(const std::vector<Node>& nodes, size_t position, size_t count) {
  ISTD_TRACE_FNC();
  return Reader(nodes, position, count).Run();
}

std::vector<std::string> WriteValues(const std::vector<std::pair<Node, istd::Any>>& writes,
                                     size_t position) {
  ISTD_TRACE_FNC();
  std::vector<std::string> errors(writes.size());
  RequestWindow* self = nullptr;
  RequestWindow window(
      [&](size_t i, RequestWindow::GroupId group) {
        const Path path = writes[i].first.GetRelPath();
        auto any = std::make_shared<CORBA::Any>();
        if (!BufferOf(writes[i].second, *any)) {
          errors[i] = "ireg: invalid type: " + ToString(path);
          return;
        }
        const Names names = NamesOf(path);
        const auto at = static_cast<CORBA::ULong>(position);
        self->Send(
            group,
            [names, any, at](i_NET::RemoteNode_ptr ref) {
              return ref->sendp_SetValue(*names, *any, at);
            },
            [&errors, &writes, i](Poller* poller, std::exception_ptr failure) {
              const Path path = writes[i].first.GetRelPath();
              errors[i] = Answer(
                  failure, [&] { poller->SetValue(0); },
                  [&] { detail::ThrowStoreFailure(istd::ThisFncName(), path); });
            });
      },
      c_batchWindow);
  self = &window;
  Distribute(
      window, writes.size(), [&](size_t i) -> const Node& { return writes[i].first; },
      [&](size_t i) {
        errors[i] = FailureOf([&] { WriteDirectly(writes[i].first, writes[i].second, position); });
      },
      [&](size_t i, const std::string& text) { errors[i] = text; });
  window.Run();
  return errors;
}

namespace {

// ---- descriptions and walks ----

// Fills `info` through the node's own attribute calls (local trees).
void DescribeDirectly(NodeInfo& info) {
  const Node& node = info.node;
  info.error = FailureOf([&] {
    info.type = node.GetValueType();
    info.flags = node.GetFlags();
    info.size = node.GetSize();
    info.childCount = node.GetNodeCount();
    info.leaf = node.IsLeaf();
  });
}

// Describes nodes (and, for a walk, lists their children) with five
// requests per remote node -- plus GetNodes for a walk -- all in flight
// together.
class Describer {
 public:
  // `depth` < 0: no limit; a plain Describe walks nothing (`walk` false).
  Describer(std::vector<NodeInfo> infos, bool walk, int depth)
      : m_infos(std::move(infos)),
        m_walk(walk),
        m_depth(depth),
        m_window([this](size_t i, RequestWindow::GroupId g) { Start(i, g); }, c_batchWindow) {}

  std::vector<NodeInfo> Run() {
    const size_t roots = m_infos.size();
    m_children.resize(roots);
    for (size_t i = 0; i < roots; ++i) Place(i);
    m_window.Run();
    RememberShapes();
    if (!m_walk) return std::move(m_infos);
    // Pre-order from the first entry (the walk's root).
    std::vector<NodeInfo> ordered;
    ordered.reserve(m_infos.size());
    std::vector<size_t> stack{0};
    while (!stack.empty()) {
      const size_t i = stack.back();
      stack.pop_back();
      ordered.push_back(std::move(m_infos[i]));
      for (auto child = m_children[i].rbegin(); child != m_children[i].rend(); ++child) {
        stack.push_back(*child);
      }
    }
    return ordered;
  }

 private:
  // Hands what was learnt of the remote nodes' values to their proxies,
  // for the reads that follow (a tree shown with its values).
  void RememberShapes() const {
    for (const NodeInfo& info : m_infos) {
      if (!info.Ok()) continue;
      std::shared_ptr<RemoteNode> proxy;
      FailureOf([&] { proxy = ProxyOf(info.node); });
      if (!proxy) continue;
      RemoteNode::ValueShape shape;
      shape.type = info.type;
      shape.flags = info.flags;
      proxy->RememberValueShape(info.path, shape);
    }
  }

  bool Expands(size_t i) const {
    return m_walk && (m_depth < 0 || m_infos[i].level < static_cast<size_t>(m_depth));
  }

  // Entry `i` (its handle, path, name and level set): described here when
  // local, queued in its proxy's group otherwise.
  void Place(size_t i) {
    NodeInfo& info = m_infos[i];
    std::shared_ptr<RemoteNode> proxy;
    std::string error = FailureOf([&] {
      proxy = ProxyOf(info.node);
      info.path = ToString(info.node.GetRelPath());
      info.name = info.node.GetName();
    });
    if (!error.empty()) {
      info.error = error;
    } else if (!proxy) {
      DescribeDirectly(info);
      if (info.Ok() && Expands(i)) {
        std::vector<Node> children;
        info.error = FailureOf([&] { children = info.node.GetNodes(); });
        AddChildren(i, children);
      }
    } else {
      const RequestWindow::GroupId group = m_window.GroupOf(proxy);
      if (m_window.IsConnected(group)) {
        m_window.AddItem(group, i);
      } else {
        info.error = DisconnectedText(info.node.GetRelPath());
      }
    }
  }

  void AddChildren(size_t parent, const std::vector<Node>& children) {
    for (const Node& child : children) {
      NodeInfo info;
      info.node = child;
      info.level = m_infos[parent].level + 1;
      m_infos.push_back(std::move(info));
      m_children.emplace_back();
      const size_t index = m_infos.size() - 1;
      m_children[parent].push_back(index);
      Place(index);
    }
  }

  // Records the first failure in field order: the attribute `rank` (0 type
  // ... 4 leaf, 5 children) failed with `error`.
  void Fail(size_t i, unsigned rank, const std::string& error) {
    if (error.empty()) return;
    if (m_rank.size() < m_infos.size()) m_rank.resize(m_infos.size(), c_noFailure);
    if (rank < m_rank[i]) {
      m_rank[i] = rank;
      m_infos[i].error = error;
    }
  }

  template <typename Value, typename Send, typename Retrieve, typename Store>
  void Query(size_t i, RequestWindow::GroupId group, unsigned rank, Send send, Retrieve retrieve,
             Store store) {
    m_window.Send(group, send,
                  [this, i, rank, retrieve, store](Poller* poller, std::exception_ptr failure) {
                    const Path path = m_infos[i].node.GetRelPath();
                    Value value{};
                    const std::string error = Answer(
                        failure, [&] { retrieve(poller, value); }, QueryFailure(path));
                    if (error.empty()) store(m_infos[i], value);
                    Fail(i, rank, error);
                  });
  }

  void Start(size_t i, RequestWindow::GroupId group) {
    const Names names = NamesOf(m_infos[i].node.GetRelPath());
    Query<CORBA::ULong>(
        i, group, 0, [names](i_NET::RemoteNode_ptr r) { return r->sendp_GetValueType(*names); },
        [](Poller* p, CORBA::ULong& v) { p->GetValueType(0, v); },
        [](NodeInfo& info, CORBA::ULong v) { info.type = static_cast<enums::NodeValType_e>(v); });
    Query<i_NET::Flags>(
        i, group, 1, [names](i_NET::RemoteNode_ptr r) { return r->sendp_GetFlags(*names); },
        [](Poller* p, i_NET::Flags& v) { p->GetFlags(0, v); },
        [](NodeInfo& info, i_NET::Flags v) { info.flags = static_cast<Flags>(v); });
    Query<CORBA::ULong>(
        i, group, 2, [names](i_NET::RemoteNode_ptr r) { return r->sendp_GetSize(*names); },
        [](Poller* p, CORBA::ULong& v) { p->GetSize(0, v); },
        [](NodeInfo& info, CORBA::ULong v) { info.size = v; });
    Query<CORBA::ULong>(
        i, group, 3, [names](i_NET::RemoteNode_ptr r) { return r->sendp_GetNodeCount(*names); },
        [](Poller* p, CORBA::ULong& v) { p->GetNodeCount(0, v); },
        [](NodeInfo& info, CORBA::ULong v) { info.childCount = v; });
    Query<CORBA::Boolean>(
        i, group, 4, [names](i_NET::RemoteNode_ptr r) { return r->sendp_IsLeaf(*names); },
        [](Poller* p, CORBA::Boolean& v) { p->IsLeaf(0, v); },
        [](NodeInfo& info, CORBA::Boolean v) { info.leaf = v != 0; });
    if (!Expands(i)) return;
    // The children are asked for with the description: a leaf answers an
    // empty list, and the next level starts one round trip earlier.
    m_window.Send(
        group, [names](i_NET::RemoteNode_ptr r) { return r->sendp_GetNodes(*names); },
        [this, i](Poller* poller, std::exception_ptr failure) {
          const Path path = m_infos[i].node.GetRelPath();
          i_NET::NodeNames_var names;
          const std::string error = Answer(
              failure, [&] { poller->GetNodes(0, names.out()); },
              [&] { detail::ThrowCallFailure(path, c_notFound, true, c_notAccessible); });
          Fail(i, 5, error);
          if (!error.empty()) return;
          const TreeNodePtr proxy = m_infos[i].node.GetTreeNode();
          std::vector<Node> children;
          children.reserve(names->length());
          for (CORBA::ULong k = 0; k < names->length(); ++k) {
            Path child = path;
            child.emplace_back(names[k].in());
            children.emplace_back(proxy, std::move(child));
          }
          AddChildren(i, children);
        });
  }

  static constexpr unsigned c_noFailure = 99;

  std::vector<NodeInfo> m_infos;
  std::vector<std::vector<size_t>> m_children;  // entries below each entry, in order
  std::vector<unsigned> m_rank;                 // rank of each entry's reported failure
  const bool m_walk;
  const int m_depth;
  RequestWindow m_window;
};

}  // namespace

std::vector<NodeInfo> Describe(const std::vector<Node>& nodes) {
  ISTD_TRACE_FNC();
  std::vector<NodeInfo> infos(nodes.size());
  for (size_t i = 0; i < nodes.size(); ++i) infos[i].node = nodes[i];
  return Describer(std::move(infos), false, 0).Run();
}

std::vector<NodeInfo> WalkTree(const Node& root, int depth) {
  ISTD_TRACE_FNC();
  std::vector<NodeInfo> infos(1);
  infos[0].node = root;
  return Describer(std::move(infos), true, depth).Run();
}

}  // namespace roz
