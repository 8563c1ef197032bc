// roz::detail::RequestWindow: the per-proxy windows of asynchronous
// requests and the poll loop over all of them.
#include "client/internal/request_window.h"

#include <utility>

#include "istd/log.h"

namespace roz {
namespace detail {

namespace {

// How long one wait for a ready poller lasts before the loop looks again.
// Only a slice: every request is bounded by the ORB's call time-out, so the
// loop ends once each has answered or failed.
constexpr CORBA::ULong c_pollSliceMs = 1000;

}  // namespace

RequestWindow::RequestWindow(Start start, size_t window)
    : m_start(std::move(start)), m_window(window == 0 ? 1 : window) {}

RequestWindow::~RequestWindow() = default;

RequestWindow::GroupId RequestWindow::GroupOf(const std::shared_ptr<RemoteNode>& proxy) {
  const auto found = m_groupOfProxy.find(proxy.get());
  if (found != m_groupOfProxy.end()) return found->second;
  Group group;
  group.proxy = proxy;
  group.reference = proxy->RemoteNodeRef();
  m_groups.push_back(std::move(group));
  const GroupId id = m_groups.size() - 1;
  m_groupOfProxy.emplace(proxy.get(), id);
  return id;
}

bool RequestWindow::IsConnected(GroupId group) const {
  return !CORBA::is_nil(m_groups[group].reference.in());
}

void RequestWindow::AddItem(GroupId group, size_t item) { m_groups[group].items.push_back(item); }

void RequestWindow::Send(GroupId group, Issue issue, Complete complete) {
  m_groups[group].queue.push_back(Request{group, std::move(issue), std::move(complete)});
}

void RequestWindow::SendNow(Request request) {
  Group& group = m_groups[request.group];
  i_NET::AMI_RemoteNodePoller_var poller;
  try {
    // Callers send nothing for a disconnected proxy; should one slip
    // through, it fails as a call on a nil reference would.
    if (CORBA::is_nil(group.reference.in())) throw CORBA::OBJECT_NOT_EXIST();
    poller = request.issue(group.reference.in());
  } catch (...) {
    request.complete(nullptr, std::current_exception());
    return;
  }
  if (CORBA::is_nil(m_set.in())) {
    m_set = poller->create_pollable_set();  // holds the poller already
  } else {
    m_set->add_pollable(poller.in());
  }
  ++group.inFlight;
  i_NET::AMI_RemoteNodePoller* key = poller.in();
  m_inFlight.emplace(key, Pending{std::move(poller), std::move(request)});
}

void RequestWindow::Fill(GroupId id) {
  // A completion or a start may queue more for this group; re-read the
  // group each time round (m_groups does not grow here, but stay safe).
  while (m_groups[id].inFlight < m_window) {
    Group& group = m_groups[id];
    if (!group.queue.empty()) {
      Request request = std::move(group.queue.front());
      group.queue.pop_front();
      SendNow(std::move(request));
    } else if (group.nextItem < group.items.size()) {
      const size_t item = group.items[group.nextItem++];
      m_start(item, id);
    } else {
      break;
    }
  }
}

void RequestWindow::Run() {
  for (;;) {
    // Groups can be added by completions (a walk reaching another proxy).
    for (GroupId id = 0; id < m_groups.size(); ++id) Fill(id);
    if (m_inFlight.empty()) {
      bool idle = true;
      for (const Group& group : m_groups) {
        if (!group.queue.empty() || group.nextItem < group.items.size()) idle = false;
      }
      if (idle) return;
      continue;
    }
    CORBA::Pollable_var ready;
    try {
      ready = m_set->get_ready_pollable(c_pollSliceMs);
    } catch (const CORBA::TIMEOUT&) {
      continue;
    }
    i_NET::AMI_RemoteNodePoller* poller = i_NET::AMI_RemoteNodePoller::_downcast(ready.in());
    const auto found = m_inFlight.find(poller);
    if (found == m_inFlight.end()) {
      istd::LogError("ireg internal error: a batch poller that is not in flight");
      continue;
    }
    Pending pending = std::move(found->second);
    m_inFlight.erase(found);
    --m_groups[pending.request.group].inFlight;
    pending.request.complete(pending.poller.in(), nullptr);
  }
}

}  // namespace detail
}  // namespace roz
