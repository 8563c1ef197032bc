// roz::detail::RequestWindow, the engine of the batch calls (client/batch.h):
// asynchronous i_NET::RemoteNode invocations (AMI pollers) for the nodes of
// many proxies, a bounded window of them in flight per proxy, and one poll
// loop that hands every answer to the request's completion.
//
// Use: make a window with a start function, add each remote item with
// AddItem (its group is the proxy's, found or made with GroupOf), then Run.
// Run keeps each group's window full: it sends the group's queued requests
// first (follow-ups queued by completions), and when none are queued calls
// the start function for the group's next item, which queues that item's
// first requests with Send. So the items' state is made as the window
// reaches them and a call with 100 000 items holds at most about
// c_batchWindow requests per group.
//
// A completion receives the poller once its answer is there (retrieve it
// with a zero time-out), or no poller and the exception that the sending
// itself raised. Completions and the start function run on the thread of
// Run and may Send and AddItem again; they must not throw.
//
// Thread-safety: one window belongs to one thread. It copies each proxy's
// remote node reference once (RemoteNode::RemoteNodeRef, under the proxy's
// reference mutex) and holds no lock of the proxy while it waits. It keeps
// the proxies alive until it is destroyed.
#ifndef VARNEK_CLIENT_INTERNAL_REQUEST_WINDOW_H
#define VARNEK_CLIENT_INTERNAL_REQUEST_WINDOW_H

#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "client/remote_node.h"
#include "network/i_remote_node.h"

namespace roz {
namespace detail {

class RequestWindow {
 public:
  using GroupId = size_t;
  // Sends one request on the reference and returns its poller (new
  // reference); may throw a CORBA system exception.
  using Issue = std::function<i_NET::AMI_RemoteNodePoller*(i_NET::RemoteNode_ptr)>;
  // Takes the answer: `poller` ready, or null with the exception of the
  // sending in `failure`.
  using Complete =
      std::function<void(i_NET::AMI_RemoteNodePoller* poller, std::exception_ptr failure)>;
  // Queues the first requests of `item` in `group`.
  using Start = std::function<void(size_t item, GroupId group)>;

  // `window`: most requests in flight per group.
  RequestWindow(Start start, size_t window);
  ~RequestWindow();
  RequestWindow(const RequestWindow&) = delete;
  RequestWindow& operator=(const RequestWindow&) = delete;

  // The group of `proxy`, made on first use with a copy of its reference.
  GroupId GroupOf(const std::shared_ptr<RemoteNode>& proxy);
  // The proxy of `group`.
  RemoteNode& ProxyOf(GroupId group) const { return *m_groups[group].proxy; }
  // False when the group's proxy held no remote node reference (it is
  // disconnected): its requests cannot be sent.
  bool IsConnected(GroupId group) const;
  // Adds `item` to the items that `group` starts when its window has room.
  void AddItem(GroupId group, size_t item);
  // Queues one request of `group`; queued requests go before new items.
  void Send(GroupId group, Issue issue, Complete complete);
  // Sends, waits and completes until no request is queued, in flight or
  // still to be started. Never throws for a request's failure.
  void Run();

 private:
  struct Request {
    GroupId group;
    Issue issue;
    Complete complete;
  };
  struct Group {
    std::shared_ptr<RemoteNode> proxy;  // kept alive for the call
    i_NET::RemoteNode_var reference;
    std::deque<Request> queue;
    std::vector<size_t> items;  // to start, in order from m_nextItem
    size_t nextItem = 0;
    size_t inFlight = 0;
  };

  // Sends what `group`'s window has room for.
  void Fill(GroupId group);
  // Sends one request, or completes it at once when the sending throws.
  void SendNow(Request request);

  Start m_start;
  const size_t m_window;
  std::vector<Group> m_groups;
  std::unordered_map<const RemoteNode*, GroupId> m_groupOfProxy;
  CORBA::PollableSet_var m_set;  // made with the first poller
  struct Pending {
    i_NET::AMI_RemoteNodePoller_var poller;
    Request request;
  };
  // The requests in flight by their poller (held here until completed).
  std::unordered_map<i_NET::AMI_RemoteNodePoller*, Pending> m_inFlight;
};

}  // namespace detail
}  // namespace roz

#endif  // VARNEK_CLIENT_INTERNAL_REQUEST_WINDOW_H
