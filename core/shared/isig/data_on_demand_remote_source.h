// isig::DataOnDemandRemoteSource<DOD_TRAITS>, the local source of a remote
// signal whose data is read on request: it holds the server's
// i_NET::RemoteSignal (with the resolver that finds it again after the
// server restarted, isig/remote_signal_ref.h) and the set of data-on-demand
// clients (isig::DodRemoteClient) attached to it, which read blocks at
// chosen positions through the server's DodRead operation of their element
// type. It is the clients' isig::DodClientHost. Instantiated for the same
// ten element types as isig::RemoteStream.
//
// Thread-safety: the client set is guarded by m_mutex; clients attach and
// detach themselves under it. Cancel calls the clients outside m_mutex (so
// a client may detach while it is cancelled) but under the cancel lock,
// which a detaching client takes first: a client cannot be destroyed while
// a Cancel still holds a pointer to it. Lock order: cancel lock, m_mutex,
// a client's own lock. The server reference has its own leaf lock; it is
// looked up again on the thread of the read that found it gone.
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
#include <utility>

#include "isig/data_on_demand_source_base.h"
#include "isig/dod_remote_client.h"
#include "isig/remote_signal_ref.h"
#include "isig/signal_traits.h"
#include "isig/signal_types.h"
#include "istd/log.h"
#include "istd/process.h"
#include "network/i_remote_signal.h"

namespace isig {

template <typename DOD_TRAITS>
class DataOnDemandRemoteSource : public DataOnDemandSourceBase<DOD_TRAITS>,
                                 public DodClientHost<DOD_TRAITS> {
 public:
  using Traits = DOD_TRAITS;
  using Client = DodRemoteClient<DOD_TRAITS>;

  // A source named `name` on the server's `signal` (duplicated; nil is
  // accepted, reads then fail), atoms as `traits`; `resolver` (may be
  // empty) finds the signal object again when a read finds it gone. Traced
  // at Low: "DataOnDemandRemoteSource: type = isig::RuntimeAtom".
  DataOnDemandRemoteSource(const std::string& name, i_NET::_objref_RemoteSignal* signal,
                           const Traits& traits, SignalResolver resolver = SignalResolver())
      : DataOnDemandSourceBase<DOD_TRAITS>(name, traits, ""),
        m_remoteSignal(signal, std::move(resolver)) {
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

  // ---- DodClientHost, for the clients ----
  unsigned int ValuesPerAtom() const override { return this->Length(); }
  void AddClient(Client& client) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_clients.insert(&client);
  }
  void RemoveClient(Client& client) override {
    std::lock_guard<std::mutex> cancelling(m_cancelMutex);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_clients.erase(&client);
  }
  i_NET::_objref_RemoteSignal* SignalReference() const override { return m_remoteSignal.Get(); }
  i_NET::_objref_RemoteSignal* RenewSignalReference(i_NET::_objref_RemoteSignal* lost) override {
    return m_remoteSignal.Renew(lost, this->Name());
  }

 private:
  RemoteSignalRef m_remoteSignal;
  std::set<Client*> m_clients;  // guarded by m_mutex
  mutable std::mutex m_mutex;
  std::mutex m_cancelMutex;  // held while Cancel calls the clients
};

}  // namespace isig

#endif  // VARNEK_ISIG_DATA_ON_DEMAND_REMOTE_SOURCE_H
