// isig::DataOnDemandRemoteSource<DOD_TRAITS>, the local source of a remote
// signal whose data is read on request: it holds the server's
// i_NET::RemoteSignal and the set of data-on-demand clients
// (isig::DodRemoteClient) attached to it, which read blocks at chosen
// positions through the server's DodRead operation of their element type.
// Instantiated for the same ten element types as isig::RemoteStream.
//
// Thread-safety: the client set is guarded by m_mutex; clients attach and
// detach themselves under it. Cancel calls the clients outside m_mutex (so
// a client may detach while it is cancelled) but under the cancel lock,
// which a detaching client takes first: a client cannot be destroyed while
// a Cancel still holds a pointer to it. Lock order: cancel lock, m_mutex,
// a client's own lock.
//
// Ownership: the source holds its own duplicate of the server reference.
// The clients are not owned: they belong to whoever made them and may
// outlive the source (their reads then answer eClosed). Sources are meant
// to be owned by std::shared_ptr (clients refer to them weakly).
#ifndef VARNEK_ISIG_DATA_ON_DEMAND_REMOTE_SOURCE_H
#define VARNEK_ISIG_DATA_ON_DEMAND_REMOTE_SOURCE_H

#include <omniORB4/CORBA.h>

#include <cstddef>
#include <mutex>
#include <set>
#include <string>
#include <typeinfo>

#include "isig/data_on_demand_source_base.h"
#include "isig/dod_remote_client.h"
#include "isig/signal_traits.h"
#include "isig/signal_types.h"
#include "istd/log.h"
#include "istd/process.h"
#include "network/i_remote_signal.h"

namespace isig {

template <typename DOD_TRAITS>
class DataOnDemandRemoteSource : public DataOnDemandSourceBase<DOD_TRAITS> {
 public:
  using Traits = DOD_TRAITS;
  using Client = DodRemoteClient<DOD_TRAITS>;

  // A source named `name` on the server's `signal` (duplicated; nil is
  // accepted, reads then fail), atoms as `traits`. Traced at Low:
  // "DataOnDemandRemoteSource: type = isig::RuntimeAtom".
  DataOnDemandRemoteSource(const std::string& name, i_NET::_objref_RemoteSignal* signal,
                           const Traits& traits)
      : DataOnDemandSourceBase<DOD_TRAITS>(name, traits, ""),
        m_remoteSignal(i_NET::RemoteSignal::_duplicate(signal)) {
    ISTD_TRACE_FNC();
    ISTD_TRACE(istd::eLow,
               "DataOnDemandRemoteSource: type = " << istd::CppName(typeid(typename Traits::Atom)));
  }

  // Closes (DoClose under the close lock); attached clients are neither
  // cancelled nor deleted.
  ~DataOnDemandRemoteSource() override {
    ISTD_TRACE_FNC();
    {
      std::lock_guard<std::mutex> lock(this->m_closeMutex);
      this->DoClose();
    }
    CORBA::release(m_remoteSignal);
  }

  // Ends every pending read of every attached client with `code` (0 gives
  // eCancelled), the clients in pointer order. The source stays usable.
  void Cancel(SuccessCode_e code) override {
    ISTD_TRACE_FNC();
    std::lock_guard<std::mutex> cancelling(m_cancelMutex);
    std::set<Client*> clients;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      clients = m_clients;
    }
    for (Client* client : clients) client->Cancel(code);
  }

  // Number of attached clients.
  size_t ClientCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_clients.size();
  }

 private:
  friend class DodRemoteClient<DOD_TRAITS>;

  i_NET::_objref_RemoteSignal* m_remoteSignal;
  std::set<Client*> m_clients;  // guarded by m_mutex
  mutable std::mutex m_mutex;
  std::mutex m_cancelMutex;  // held while Cancel calls the clients
};

}  // namespace isig

#endif  // VARNEK_ISIG_DATA_ON_DEMAND_REMOTE_SOURCE_H
