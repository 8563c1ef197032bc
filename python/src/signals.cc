// varnekpy::Stream and ReadSignal: signal blocks into numpy arrays.
#include "signals.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <sstream>
#include <typeinfo>

#include "isig/isig.h"

namespace varnekpy {

namespace {

// Calls f(TypeTag<T>{}) with the element type of a source's BaseType;
// throws LibraryError for a type the package does not read.
template <typename F>
void WithElementType(const std::type_info& type, const std::string& path, F&& f) {
  if (type == typeid(double)) return f(istd::TypeTag<double>{});
  if (type == typeid(float)) return f(istd::TypeTag<float>{});
  if (type == typeid(unsigned long long)) return f(istd::TypeTag<unsigned long long>{});
  if (type == typeid(long long)) return f(istd::TypeTag<long long>{});
  if (type == typeid(unsigned int)) return f(istd::TypeTag<unsigned int>{});
  if (type == typeid(int)) return f(istd::TypeTag<int>{});
  if (type == typeid(unsigned short)) return f(istd::TypeTag<unsigned short>{});
  if (type == typeid(short)) return f(istd::TypeTag<short>{});
  if (type == typeid(unsigned char)) return f(istd::TypeTag<unsigned char>{});
  if (type == typeid(signed char)) return f(istd::TypeTag<signed char>{});
  throw LibraryError("varnek: " + path + " has an element type the package does not read", eError);
}

// The meta-data as a dict: timestamp (ns since the epoch), sequence and
// position by name, other ids by number.
py::dict MetaDict(const isig::SignalMeta& meta) {
  py::dict out;
  for (const auto& entry : meta) {
    switch (entry.first) {
      case isig::eMetaTimestamp:
        out["timestamp"] = entry.second;
        break;
      case isig::eMetaSequence:
        out["sequence"] = entry.second;
        break;
      case isig::eMetaPosition:
        out["position"] = entry.second;
        break;
      default:
        out[py::int_(static_cast<unsigned int>(entry.first))] = entry.second;
    }
  }
  return out;
}

// (atoms, components) array: the one copy out of the block's buffer.
template <typename Traits>
py::array BlockArray(const isig::Array<Traits>& block) {
  using Element = typename Traits::Element;
  py::array_t<Element> data(
      {static_cast<py::ssize_t>(block.AtomCount()), static_cast<py::ssize_t>(block.Length())});
  if (block.Size() != 0)
    std::memcpy(data.mutable_data(), block.Data(), block.Size() * sizeof(Element));
  return std::move(data);
}

std::string CodeText(int code) {
  std::ostringstream text;
  text << static_cast<isig::SuccessCode_e>(code);
  return text.str();
}

template <typename T>
class TypedReader : public StreamReader {
 public:
  using Traits = isig::SignalTraits<T>;
  using Client = isig::StreamClient<Traits>;

  explicit TypedReader(const isig::SignalSourceSharedPtr& source)
      : m_client(static_cast<Client*>(source->NewSignalClient("varnek-python", 256))) {}
  ~TypedReader() override {
    if (m_client) m_client->Close();
  }
  void Open() override {
    if (!m_client) throw istd::Exception("varnek: the signal hands out no stream clients", false);
    m_client->Open();
  }
  int Wait(unsigned int timeoutMs) override { return m_client->Read(m_block, timeoutMs); }
  py::tuple Take() override {
    py::tuple out = py::make_tuple(BlockArray(m_block->buffer), MetaDict(m_block->meta));
    m_block.reset();
    return out;
  }
  void Cancel(int code) override { m_client->Cancel(static_cast<isig::SuccessCode_e>(code)); }
  void Close() override { m_client->Close(); }

 private:
  std::unique_ptr<Client> m_client;
  typename Client::Block m_block;
};

}  // namespace

Stream::Stream(std::shared_ptr<Registry> registry, const std::string& path)
    : m_registry(std::move(registry)), m_path(path) {
  const isig::SignalSourceSharedPtr source = m_registry->Signal(path);
  if (source->AccessType() == isig::eAccessDataOnDemand) {
    throw LibraryError("varnek: " + path + " is read on demand (read_signal), not streamed",
                       eAccess);
  }
  m_components = source->Length();
  WithElementType(source->BaseType(), path, [&](auto tag) {
    using T = typename decltype(tag)::Type;
    m_reader = std::make_shared<TypedReader<T>>(source);
  });
  const std::shared_ptr<StreamReader> reader = m_reader;
  Blocking(m_registry->Timeout(), [&] { reader->Open(); });
  m_closer = m_registry->Track([this] { End(); });
  m_exitCloser = AddCloser([this] { End(); });
}

Stream::~Stream() {
  if (ShuttingDown()) return;
  if (m_closer != 0) m_registry->Forget(m_closer);
  if (m_exitCloser != 0) RemoveCloser(m_exitCloser);
  End();
}

void Stream::End() {
  std::shared_ptr<StreamReader> reader;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed) return;
    m_closed = true;
    reader = m_reader;
  }
  reader->Cancel(isig::eCancelled);
  reader->Close();
}

void Stream::Close() {
  if (m_closer != 0) m_registry->Forget(m_closer);
  if (m_exitCloser != 0) RemoveCloser(m_exitCloser);
  m_closer = m_exitCloser = 0;
  py::gil_scoped_release release;
  End();
}

py::object Stream::Read(double timeoutS) {
  std::shared_ptr<StreamReader> reader;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed) return py::none();
    reader = m_reader;
  }
  using Clock = std::chrono::steady_clock;
  const bool limited = timeoutS >= 0;
  const Clock::time_point deadline =
      Clock::now() +
      std::chrono::microseconds(static_cast<long long>(limited ? timeoutS * 1e6 : 0));
  for (;;) {
    unsigned int slice = 100;  // ms: Python's signal handlers run between slices
    if (limited) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      slice = static_cast<unsigned int>(std::clamp<long long>(left.count(), 0, slice));
    }
    int code;
    {
      py::gil_scoped_release release;
      code = reader->Wait(slice);
    }
    if (code == isig::eSuccess) return reader->Take();
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_closed) return py::none();
    }
    if (code != isig::eTimeout) {
      throw LibraryError("varnek: the stream " + m_path + " ended: " + CodeText(code), eError);
    }
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    if (limited && Clock::now() >= deadline) {
      std::ostringstream text;
      text << "varnek: no block of " << m_path << " within " << timeoutS << " s";
      throw LibraryError(text.str(), eTimeout);
    }
  }
}

py::tuple ReadSignal(const std::shared_ptr<Registry>& registry, const std::string& path,
                     unsigned long long pos, unsigned int atoms) {
  const isig::SignalSourceSharedPtr source = registry->Signal(path);
  if (source->AccessType() != isig::eAccessDataOnDemand) {
    throw LibraryError("varnek: " + path + " is a push stream (stream), not read on demand",
                       eAccess);
  }
  py::tuple out;
  WithElementType(source->BaseType(), path, [&](auto tag) {
    using T = typename decltype(tag)::Type;
    using Traits = isig::SignalTraits<T>;
    using Source = isig::DataOnDemandRemoteSource<Traits>;
    const std::shared_ptr<Source> dod = std::dynamic_pointer_cast<Source>(source);
    if (!dod) throw LibraryError("varnek: " + path + " is no data-on-demand source", eAccess);
    isig::Array<Traits> block;
    isig::SignalMeta meta;
    const int code = Blocking(registry->Timeout(), [&] {
      isig::DodRemoteClient<Traits> reader(dod, "varnek-python");
      return static_cast<int>(reader.Read(pos, atoms, block, meta));
    });
    if (code == isig::eNoData || (code == isig::eSuccess && block.AtomCount() == 0 && atoms > 0)) {
      throw LibraryError("varnek: no data at position " + std::to_string(pos) + " of " + path,
                         eError);
    }
    if (code != isig::eSuccess) {
      throw LibraryError("varnek: reading " + path + " at position " + std::to_string(pos) +
                             " failed: " + CodeText(code),
                         code == isig::eTimeout ? eTimeout : eError);
    }
    out = py::make_tuple(BlockArray(block), MetaDict(meta));
  });
  return out;
}

}  // namespace varnekpy
