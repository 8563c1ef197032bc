// The defaults of isig::SignalSource and isig::SignalClientBase.
#include "isig/signal_source.h"

namespace isig {

SignalClientBase::SignalClientBase(const std::string& name) : m_name(name) {}

SignalClientBase::~SignalClientBase() = default;

SignalSource::SignalSource(const std::string& name, const std::string& type)
    : m_name(name), m_type(type) {}

SignalSource::~SignalSource() = default;

std::string SignalSource::SourceType() const { return m_type; }

SignalStats SignalSource::GetStatistics() const { return SignalStats(); }

SignalClientBase* SignalSource::NewSignalClient(const std::string&, unsigned int) {
  return nullptr;
}

void SignalSource::ShutDown() {}

void SignalSource::OnAnnouncedTimestampChange() {}

void SignalSource::OnAdjustedTimestamp(long long, unsigned long long) {}

}  // namespace isig
