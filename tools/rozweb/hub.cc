// Subscriptions, streams and registry states shared by rozweb's sockets.
#include "hub.h"

#include <chrono>
#include <typeinfo>

#include "api.h"
#include "api_error.h"
#include "decimate.h"
#include "isig/isig.h"
#include "istd/exception.h"
#include "request.h"
#include "values.h"

namespace rozweb {

namespace {

constexpr unsigned int c_readStepMs = 200;     // a stream reader looks at its stop flag this often
constexpr unsigned int c_streamQueueBlocks = 64;  // blocks the library keeps for the reader
constexpr int c_retryPauseMs = 1000;            // between attempts to open a lost stream

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string Answer(const char* op, const std::string& registry, const std::string& path) {
  return Dump({{"op", op}, {"registry", registry}, {"path", path}});
}

std::string ErrorAnswer(const std::string& request, const std::string& registry,
                        const std::string& path, const std::string& text) {
  return Dump({{"op", "error"},
               {"request", request},
               {"registry", registry},
               {"path", path},
               {"error", text}});
}

std::string StateMessage(const Registry& registry, bool connected) {
  return Dump({{"op", "state"},
               {"registry", registry.Name()},
               {"state", connected ? "connected" : "not_connected"}});
}

// The registry and path of a key.
std::pair<std::string, std::string> SplitKey(const std::string& key) {
  const size_t newline = key.find('\n');
  return {key.substr(0, newline), key.substr(newline + 1)};
}

}  // namespace

std::string Key(const std::string& registry, const std::string& path) {
  return registry + "\n" + path;
}

// ---- Sink ----

Sink::Sink()
    : m_queue([](const std::string& key, unsigned long long count) {
        const auto [registry, path] = SplitKey(key);
        return Dump({{"op", "dropped"}, {"registry", registry}, {"path", path}, {"count", count}});
      }) {}

void Sink::After(OutQueue::Push_e result) {
  if (result == OutQueue::eStartWriter) StartWriter();
  if (result == OutQueue::eOverflow) Overflowed();
}

void Sink::SendControl(const std::string& text) {
  After(m_queue.PushControl(std::make_shared<const std::string>(text)));
}

void Sink::SendChange(const std::string& key, const Message& message) {
  After(m_queue.PushChange(key, message));
}

void Sink::SendBlock(const std::string& key, const Message& message) {
  After(m_queue.PushBlock(key, message));
}

// ---- Hub ----

Hub::Hub(RegistrySet& registries) : m_registries(registries) {
  for (const auto& registry : registries.All()) {
    m_operationMutexes.emplace(registry.get(), std::make_unique<std::mutex>());
  }
}

Hub::~Hub() { Stop(); }

std::mutex& Hub::OperationMutex(Registry& registry) { return *m_operationMutexes.at(&registry); }

void Hub::AddSink(const std::shared_ptr<Sink>& sink) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sinks[sink.get()].sink = sink;
  }
  for (const auto& registry : m_registries.All()) {
    sink->SendControl(StateMessage(*registry, registry->Connected()));
  }
}

void Hub::RemoveSink(Sink* sink) {
  SinkInfo info;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_sinks.find(sink);
    if (found == m_sinks.end()) return;
    info = std::move(found->second);
    m_sinks.erase(found);
  }
  for (const std::string& key : info.subscriptions) Unsubscribe(sink, key);
  for (const std::string& key : info.streams) StopStream(sink, key);
}

void Hub::Request(const std::shared_ptr<Sink>& sink, const nlohmann::json& request) {
  std::string op;
  std::string registryName;
  std::string path;
  try {
    const auto text = [&](const char* name, bool required) {
      const auto found = request.find(name);
      if (found == request.end()) {
        if (required) throw ApiError(400, std::string("\"") + name + "\" missing");
        return std::string();
      }
      if (!found->is_string()) throw ApiError(400, std::string("\"") + name + "\" must be a string");
      return found->get<std::string>();
    };
    op = text("op", true);
    registryName = text("registry", false);
    path = text("path", true);
    CheckNodePath(path);
    Registry& registry = m_registries.Find(registryName);
    registryName = registry.Name();
    const std::string key = Key(registryName, path);
    if (op == "subscribe") {
      Subscribe(sink, registry, path);
    } else if (op == "unsubscribe") {
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_sinks.find(sink.get());
        if (found != m_sinks.end()) found->second.subscriptions.erase(key);
      }
      Unsubscribe(sink.get(), key);
      sink->SendControl(Answer("unsubscribed", registryName, path));
    } else if (op == "stream") {
      size_t points = c_defaultPoints;
      if (const auto found = request.find("max_points"); found != request.end()) {
        if (!found->is_number_unsigned() || found->get<unsigned long long>() < c_minPoints ||
            found->get<unsigned long long>() > c_maxPoints) {
          throw ApiError(400, "\"max_points\" must be a number from " + std::to_string(c_minPoints) +
                                  " to " + std::to_string(c_maxPoints));
        }
        points = found->get<size_t>();
      }
      StartStream(sink, registry, path, points);
    } else if (op == "stop_stream") {
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_sinks.find(sink.get());
        if (found != m_sinks.end()) found->second.streams.erase(key);
      }
      StopStream(sink.get(), key);
      sink->SendControl(Answer("stream_stopped", registryName, path));
    } else {
      throw ApiError(400, "unknown op \"" + op + "\"");
    }
  } catch (const ApiError& e) {
    sink->SendControl(ErrorAnswer(op, registryName, path, e.what()));
  } catch (const std::exception& e) {
    sink->SendControl(ErrorAnswer(op, registryName, path, e.what()));
  } catch (...) {
    sink->SendControl(ErrorAnswer(op, registryName, path, "the registry call failed"));
  }
}

bool Hub::Activate(const std::shared_ptr<Subscription>& subscription, std::string* error) {
  try {
    if (!subscription->node.IsValid()) {
      subscription->node =
          ResolveNode(m_registries, subscription->registry->Name(), subscription->path);
    }
  } catch (const ApiError& e) {
    if (error != nullptr && e.Status() != 502) *error = e.what();
    return false;
  }
  const std::string key = Key(subscription->registry->Name(), subscription->path);
  const roz::Callback callback(
      [this, key](const roz::NotificationData& record) { OnChange(key, record); });
  try {
    subscription->active = m_client.Register(subscription->node, callback);
  } catch (...) {
    subscription->active = false;
  }
  if (!subscription->active && error != nullptr && subscription->registry->Connected()) {
    *error = "cannot subscribe " + subscription->path + " at " + subscription->registry->Where();
  }
  return subscription->active;
}

void Hub::Subscribe(const std::shared_ptr<Sink>& sink, Registry& registry, const std::string& path) {
  const std::string key = Key(registry.Name(), path);
  std::lock_guard<std::mutex> operation(OperationMutex(registry));
  std::shared_ptr<Subscription> subscription;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto info = m_sinks.find(sink.get());
    if (info == m_sinks.end()) return;  // the socket is gone
    if (info->second.subscriptions.count(key) == 0 &&
        info->second.subscriptions.size() >= c_maxSubscriptionsPerSocket) {
      throw ApiError(400, "more than " + std::to_string(c_maxSubscriptionsPerSocket) +
                              " subscriptions on one socket");
    }
    const auto found = m_subscriptions.find(key);
    if (found != m_subscriptions.end()) {
      found->second->sinks[sink.get()] = sink;
      info->second.subscriptions.insert(key);
      subscription = found->second;
    } else {
      // A new entry, registered below; the callback finds it there.
      subscription = std::make_shared<Subscription>();
      subscription->registry = &registry;
      subscription->path = path;
      subscription->sinks[sink.get()] = sink;
      m_subscriptions.emplace(key, subscription);
      info->second.subscriptions.insert(key);
    }
  }
  if (!subscription->active) {
    std::string error;
    if (!Activate(subscription, &error) && !error.empty()) {
      // Refused (no such node, no subscription): forget it again. A
      // registry that does not answer keeps the entry for its return.
      std::lock_guard<std::mutex> lock(m_mutex);
      for (const auto& [other, weak] : subscription->sinks) {
        const auto info = m_sinks.find(other);
        if (info != m_sinks.end()) info->second.subscriptions.erase(key);
      }
      m_subscriptions.erase(key);
      throw ApiError(StatusOf(error), error);
    }
  }
  nlohmann::json answer = {{"op", "subscribed"},
                           {"registry", registry.Name()},
                           {"path", path},
                           {"active", subscription->active.load()}};
  sink->SendControl(Dump(answer));
}

void Hub::Unsubscribe(Sink* sink, const std::string& key) {
  Registry* registry = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_subscriptions.find(key);
    if (found == m_subscriptions.end()) return;
    registry = found->second->registry;
  }
  std::lock_guard<std::mutex> operation(OperationMutex(*registry));
  std::shared_ptr<Subscription> last;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_subscriptions.find(key);
    if (found == m_subscriptions.end()) return;
    found->second->sinks.erase(sink);
    if (!found->second->sinks.empty()) return;
    last = found->second;
    m_subscriptions.erase(found);
  }
  if (last->active) Unregister(last->node);
}

void Hub::Unregister(const roz::Node& node) {
  try {
    m_client.Unregister(node);  // done locally when the server cannot be told
  } catch (...) {
    // A dead handle: nothing is subscribed any more.
  }
}

void Hub::OnChange(const std::string& key, const roz::NotificationData& record) {
  std::vector<std::shared_ptr<Sink>> sinks;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_subscriptions.find(key);
    if (found == m_subscriptions.end()) return;
    for (const auto& [raw, weak] : found->second->sinks) {
      if (std::shared_ptr<Sink> sink = weak.lock()) sinks.push_back(std::move(sink));
    }
  }
  if (sinks.empty()) return;
  nlohmann::json value;
  try {
    value = rozctl::ValueJson(record.data);
  } catch (const std::exception&) {
    value = nullptr;  // a notification without a value
  }
  const auto [registry, path] = SplitKey(key);
  const Message message = std::make_shared<const std::string>(Dump({{"op", "change"},
                                                                     {"registry", registry},
                                                                     {"path", path},
                                                                     {"time", NowMs()},
                                                                     {"value", value},
                                                                     {"pos", record.pos}}));
  for (const std::shared_ptr<Sink>& sink : sinks) sink->SendChange(key, message);
}

void Hub::StartStream(const std::shared_ptr<Sink>& sink, Registry& registry,
                      const std::string& path, size_t maxPoints) {
  const std::string key = Key(registry.Name(), path);
  std::lock_guard<std::mutex> operation(OperationMutex(registry));
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto info = m_sinks.find(sink.get());
    if (info == m_sinks.end()) return;
    const auto found = m_streams.find(key);
    if (found != m_streams.end()) {
      if (info->second.streams.count(key) == 0 &&
          info->second.streams.size() >= c_maxStreamsPerSocket) {
        throw ApiError(400, "more than " + std::to_string(c_maxStreamsPerSocket) +
                                " streams on one socket");
      }
      found->second->sinks[sink.get()] = std::make_pair(std::weak_ptr<Sink>(sink), maxPoints);
      info->second.streams.insert(key);
      sink->SendControl(Answer("streaming", registry.Name(), path));
      return;
    }
    if (info->second.streams.size() >= c_maxStreamsPerSocket) {
      throw ApiError(400, "more than " + std::to_string(c_maxStreamsPerSocket) +
                              " streams on one socket");
    }
  }
  // A new reader: the node must be a push stream.
  const roz::Node node = ResolveNode(m_registries, registry.Name(), path);
  isig::SignalSourceSharedPtr source;
  try {
    if (!node.IsSignal()) throw ApiError(409, path + " is no signal");
    source = roz::CreateRemoteSignal(node);
  } catch (const istd::Exception& e) {
    throw ApiError(StatusOf(e.what()), e.what());
  }
  if (!source) throw ApiError(409, path + " is no usable remote signal");
  if (source->AccessType() != isig::eAccessStream) {
    throw ApiError(409, path + " is a data-on-demand signal, not a push stream");
  }
  auto stream = std::make_shared<Stream>();
  stream->registry = &registry;
  stream->path = path;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto info = m_sinks.find(sink.get());
    if (info == m_sinks.end()) return;
    stream->sinks[sink.get()] = std::make_pair(std::weak_ptr<Sink>(sink), maxPoints);
    info->second.streams.insert(key);
    m_streams.emplace(key, stream);
  }
  stream->reader = std::thread([this, stream] { RunStream(stream); });
  sink->SendControl(Answer("streaming", registry.Name(), path));
}

void Hub::StopStream(Sink* sink, const std::string& key) {
  std::shared_ptr<Stream> last;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_streams.find(key);
    if (found == m_streams.end()) return;
    found->second->sinks.erase(sink);
    if (!found->second->sinks.empty()) return;
    last = found->second;
    m_streams.erase(found);
  }
  last->stop = true;
  if (last->reader.joinable()) last->reader.join();
}

void Hub::RunStream(const std::shared_ptr<Stream>& stream) {
  while (!stream->stop) {
    try {
      const roz::Node node = ResolveNode(m_registries, stream->registry->Name(), stream->path);
      const isig::SignalSourceSharedPtr source = roz::CreateRemoteSignal(node);
      if (source && source->AccessType() == isig::eAccessStream) {
        const std::type_info& type = source->BaseType();
        if (type == typeid(double)) {
          ReadStream<double>(stream, source);
        } else if (type == typeid(float)) {
          ReadStream<float>(stream, source);
        } else if (type == typeid(unsigned long long)) {
          ReadStream<unsigned long long>(stream, source);
        } else if (type == typeid(long long)) {
          ReadStream<long long>(stream, source);
        } else if (type == typeid(unsigned int)) {
          ReadStream<unsigned int>(stream, source);
        } else if (type == typeid(int)) {
          ReadStream<int>(stream, source);
        } else if (type == typeid(unsigned short)) {
          ReadStream<unsigned short>(stream, source);
        } else if (type == typeid(short)) {
          ReadStream<short>(stream, source);
        } else if (type == typeid(unsigned char)) {
          ReadStream<unsigned char>(stream, source);
        } else if (type == typeid(signed char)) {
          ReadStream<signed char>(stream, source);
        }
      }
    } catch (...) {
      // The registry is away or the stream failed (whatever was thrown,
      // request broker exceptions included): try again below.
    }
    for (int waited = 0; waited < c_retryPauseMs && !stream->stop; waited += 100) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
}

template <typename T>
void Hub::ReadStream(const std::shared_ptr<Stream>& stream,
                     const std::shared_ptr<isig::SignalSource>& source) {
  using Traits = isig::SignalTraits<T>;
  using Client = isig::StreamClient<Traits>;
  std::unique_ptr<Client> client(
      static_cast<Client*>(source->NewSignalClient("rozweb", c_streamQueueBlocks)));
  if (!client) return;
  client->Open();
  const unsigned int length = source->Length();
  nlohmann::json names = nlohmann::json::array();
  const isig::ComponentNames given = source->GetComponentNames();
  for (unsigned int c = 0; c < length; ++c) {
    names.push_back(c < given.size() ? given[c] : "c" + std::to_string(c));
  }
  const std::string key = Key(stream->registry->Name(), stream->path);
  unsigned long long counter = 0;
  while (!stream->stop) {
    typename Client::Block block;
    const isig::SuccessCode_e code = client->Read(block, c_readStepMs);
    if (code == isig::eTimeout) continue;
    if (code != isig::eSuccess) break;
    const auto sequence = block->meta.find(isig::eMetaSequence);
    const unsigned long long seq = sequence != block->meta.end()
                                       ? static_cast<unsigned long long>(sequence->second)
                                       : counter;
    ++counter;
    std::vector<std::pair<std::shared_ptr<Sink>, size_t>> sinks;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      for (const auto& [raw, entry] : stream->sinks) {
        if (std::shared_ptr<Sink> sink = entry.first.lock()) sinks.emplace_back(sink, entry.second);
      }
    }
    const isig::Array<Traits>& atoms = block->buffer;
    std::map<size_t, Message> byPoints;  // one text per distinct max_points
    for (const auto& [sink, points] : sinks) {
      Message& message = byPoints[points];
      if (!message) {
        nlohmann::json data = nlohmann::json::array();
        for (unsigned int c = 0; c < length; ++c) {
          data.push_back(DecimateMinMax(atoms.AtomCount(), points,
                                        [&](size_t i) { return atoms.Atom(i)[c]; }));
        }
        message = std::make_shared<const std::string>(Dump({{"op", "block"},
                                                            {"registry", stream->registry->Name()},
                                                            {"path", stream->path},
                                                            {"seq", seq},
                                                            {"atoms", atoms.AtomCount()},
                                                            {"components", names},
                                                            {"data", data}}));
      }
      sink->SendBlock(key, message);
    }
  }
  client->Close();
}

void Hub::RegistryChanged(Registry& registry, bool connected) {
  std::vector<std::shared_ptr<Sink>> sinks;
  std::vector<std::shared_ptr<Subscription>> waiting;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [raw, info] : m_sinks) {
      if (std::shared_ptr<Sink> sink = info.sink.lock()) sinks.push_back(std::move(sink));
    }
  }
  const std::string text = StateMessage(registry, connected);
  for (const std::shared_ptr<Sink>& sink : sinks) sink->SendControl(text);
  if (!connected) return;
  std::lock_guard<std::mutex> operation(OperationMutex(registry));
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [key, subscription] : m_subscriptions) {
      if (subscription->registry == &registry && !subscription->active) {
        waiting.push_back(subscription);
      }
    }
  }
  for (const std::shared_ptr<Subscription>& subscription : waiting) Activate(subscription, nullptr);
}

void Hub::Stop() {
  std::map<std::string, std::shared_ptr<Stream>> streams;
  std::map<std::string, std::shared_ptr<Subscription>> subscriptions;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    streams.swap(m_streams);
    subscriptions.swap(m_subscriptions);
    m_sinks.clear();
  }
  for (auto& [key, stream] : streams) stream->stop = true;
  for (auto& [key, stream] : streams) {
    if (stream->reader.joinable()) stream->reader.join();
  }
  for (auto& [key, subscription] : subscriptions) {
    std::lock_guard<std::mutex> operation(OperationMutex(*subscription->registry));
    if (subscription->active) Unregister(subscription->node);
  }
}

size_t Hub::Subscriptions() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  size_t active = 0;
  for (const auto& [key, subscription] : m_subscriptions) active += subscription->active ? 1 : 0;
  return active;
}

size_t Hub::Streams() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_streams.size();
}

}  // namespace rozweb
