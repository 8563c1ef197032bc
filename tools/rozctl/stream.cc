// rozctl stream: opens a signal node through roz::CreateRemoteSignal and
// reads blocks from it -- a push stream block by block as the server sends
// them, a data-on-demand source at consecutive positions from --pos -- and
// prints one summary line per block (block counter, atoms, per-component
// minimum, maximum and mean); --csv also writes every atom, one line each,
// under a header of the component names.
//
// A push stream rides a restart of its server the way monitor does: while
// no block comes, the registry is pinged once a second, the loss and the
// return of the server are noted on standard error, and the reconnection
// registers the stream again; --timeout bounds the wait for any one block,
// the restart included.
//
// Threads: reads run on the main thread; an interrupt (signal thread)
// cancels the client, which ends the pending read.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <type_traits>

#include "commands.h"
#include "isig/isig.h"
#include "istd/exception.h"
#include "values.h"

namespace rozctl {

namespace {

// Clears the session's interrupt hook when the stream's client goes.
struct HookGuard {
  Session& session;
  ~HookGuard() { session.OnInterrupt({}); }
};

// One element as text: numbers also for the 8-bit types, floating point in
// the shortest exact form (CSV) or with six significant digits (summary).
template <typename T>
std::string Number(T value, bool exact = true) {
  if constexpr (std::is_floating_point_v<T>) {
    if (exact) return ValueText(istd::Any(value));
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", static_cast<double>(value));
    return text;
  } else if constexpr (std::is_signed_v<T>) {
    return std::to_string(static_cast<long long>(value));
  } else {
    return std::to_string(static_cast<unsigned long long>(value));
  }
}

template <typename Traits>
class BlockPrinter {
 public:
  using Element = typename Traits::Element;

  BlockPrinter(const isig::ComponentNames& names, unsigned int length, std::ostream* csv)
      : m_names(names), m_length(length), m_csv(csv) {
    while (m_names.size() < m_length) m_names.push_back("c" + std::to_string(m_names.size()));
    if (m_csv != nullptr) {
      for (unsigned int c = 0; c < m_length; ++c) *m_csv << (c ? "," : "") << m_names[c];
      *m_csv << "\n";
    }
  }

  // The summary line of `block` (and its CSV lines); `counter` numbers it,
  // `position` (when not negative) is its first atom.
  void Print(long long counter, long long position, const isig::Array<Traits>& block) {
    std::ostringstream line;
    line << "block " << counter;
    if (position >= 0) line << "  pos " << position;
    line << "  atoms " << block.AtomCount();
    for (unsigned int c = 0; c < m_length && block.AtomCount() > 0; ++c) {
      Element low = block.Atom(0)[c];
      Element high = low;
      double sum = 0;
      for (unsigned int a = 0; a < block.AtomCount(); ++a) {
        const Element v = block.Atom(a)[c];
        low = std::min(low, v);
        high = std::max(high, v);
        sum += static_cast<double>(v);
      }
      char mean[32];
      std::snprintf(mean, sizeof mean, "%.6g", sum / block.AtomCount());
      line << "  " << m_names[c] << " min " << Number(low, false) << " max " << Number(high, false)
           << " mean " << mean;
    }
    std::cout << line.str() << std::endl;
    if (m_csv != nullptr) {
      for (unsigned int a = 0; a < block.AtomCount(); ++a) {
        for (unsigned int c = 0; c < m_length; ++c) {
          *m_csv << (c ? "," : "") << Number(block.Atom(a)[c]);
        }
        *m_csv << "\n";
      }
    }
  }

 private:
  isig::ComponentNames m_names;
  unsigned int m_length;
  std::ostream* m_csv;
};

std::string CodeText(isig::SuccessCode_e code) {
  std::ostringstream text;
  text << code;
  return text.str();
}

template <typename Traits>
int ReadPush(Session& session, const isig::SignalSourceSharedPtr& source,
             const StreamOptions& options, BlockPrinter<Traits>& printer) {
  using Client = isig::StreamClient<Traits>;
  std::unique_ptr<Client> client(static_cast<Client*>(source->NewSignalClient("rozctl", 256)));
  if (!client) throw Failure(options.signal + " hands out no stream clients");
  HookGuard guard{session};
  session.OnInterrupt([&client] { client->Cancel(isig::eCancelled); });
  try {
    client->Open();
  } catch (const istd::Exception& e) {
    throw Failure::Library(std::string(e.what()) + " (" + options.signal + ")");
  }
  // Blocks are awaited a second at a time: when none came, the registry is
  // pinged, so that a server that went away is noticed and, once it is
  // back, the proxy's reconnection registers the stream again.
  using Clock = std::chrono::steady_clock;
  const auto timeout = std::chrono::milliseconds(static_cast<long long>(options.timeoutS * 1000));
  ConnectionWatch watch(session, "stream restored");
  Clock::time_point lastBlock = Clock::now();
  unsigned int read = 0;
  while (read < options.blocks) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(lastBlock + timeout - Clock::now());
    const long long step = std::clamp<long long>(left.count(), 0, 1000);
    typename Client::Block block;
    const isig::SuccessCode_e code = client->Read(block, static_cast<unsigned int>(step));
    if (code == isig::eSuccess) {
      const auto counter = block->meta.find(isig::eMetaSequence);
      printer.Print(counter != block->meta.end() ? counter->second : static_cast<long long>(read),
                    -1, block->buffer);
      ++read;
      lastBlock = Clock::now();
      continue;
    }
    if (session.Interrupted()) break;
    if (code != isig::eTimeout) {
      throw Failure("the stream " + options.signal + " ended: " + CodeText(code));
    }
    if (Clock::now() - lastBlock >= timeout) {
      throw Failure("no block of " + options.signal + " within " +
                    ValueText(istd::Any(options.timeoutS)) + " s");
    }
    watch.Check();
  }
  client->Close();
  return 0;
}

template <typename Traits>
int ReadOnDemand(Session& session, const isig::SignalSourceSharedPtr& source,
                 const StreamOptions& options, BlockPrinter<Traits>& printer) {
  using Source = isig::DataOnDemandRemoteSource<Traits>;
  const std::shared_ptr<Source> dod = std::dynamic_pointer_cast<Source>(source);
  if (!dod) throw Failure(options.signal + " is no data-on-demand source");
  isig::DodRemoteClient<Traits> reader(dod, "rozctl");
  HookGuard guard{session};
  session.OnInterrupt([&reader] { reader.Cancel(isig::eCancelled); });
  unsigned long long position = options.pos;
  for (unsigned int i = 0; i < options.blocks; ++i) {
    isig::Array<Traits> atoms;
    isig::SignalMeta meta;
    const isig::SuccessCode_e code = reader.Read(position, options.atoms, atoms, meta);
    if (code == isig::eSuccess && atoms.AtomCount() > 0) {
      printer.Print(i, static_cast<long long>(position), atoms);
      position += atoms.AtomCount();
      continue;
    }
    if (session.Interrupted()) break;
    if (code == isig::eSuccess || code == isig::eNoData) {
      if (i == 0) {
        throw Failure("no data at position " + std::to_string(position) + " of " + options.signal);
      }
      std::cerr << "rozctl: " << options.signal << " ends at position " << position << std::endl;
      break;
    }
    throw Failure("reading " + options.signal + " at position " + std::to_string(position) +
                  " failed: " + CodeText(code));
  }
  return 0;
}

template <typename T>
int ReadSignal(Session& session, const isig::SignalSourceSharedPtr& source,
               const StreamOptions& options, std::ostream* csv) {
  using Traits = isig::SignalTraits<T>;
  BlockPrinter<Traits> printer(source->GetComponentNames(), source->Length(), csv);
  if (source->AccessType() == isig::eAccessDataOnDemand) {
    return ReadOnDemand<Traits>(session, source, options, printer);
  }
  return ReadPush<Traits>(session, source, options, printer);
}

}  // namespace

int RunStream(Session& session, const StreamOptions& options) {
  const roz::Node node = session.Resolve(options.signal);
  const isig::SignalSourceSharedPtr source = roz::CreateRemoteSignal(node);
  if (!source) throw Failure(options.signal + " is no usable remote signal");
  if (source->Length() == 0) throw Failure(options.signal + " has no components");

  std::ofstream csvFile;
  if (!options.csv.empty()) {
    csvFile.open(options.csv, std::ios::trunc);
    if (!csvFile) throw Failure("cannot write " + options.csv);
  }
  std::ostream* csv = options.csv.empty() ? nullptr : &csvFile;

  const std::type_info& type = source->BaseType();
  int status;
  if (type == typeid(double)) {
    status = ReadSignal<double>(session, source, options, csv);
  } else if (type == typeid(float)) {
    status = ReadSignal<float>(session, source, options, csv);
  } else if (type == typeid(unsigned long long)) {
    status = ReadSignal<unsigned long long>(session, source, options, csv);
  } else if (type == typeid(long long)) {
    status = ReadSignal<long long>(session, source, options, csv);
  } else if (type == typeid(unsigned int)) {
    status = ReadSignal<unsigned int>(session, source, options, csv);
  } else if (type == typeid(int)) {
    status = ReadSignal<int>(session, source, options, csv);
  } else if (type == typeid(unsigned short)) {
    status = ReadSignal<unsigned short>(session, source, options, csv);
  } else if (type == typeid(short)) {
    status = ReadSignal<short>(session, source, options, csv);
  } else if (type == typeid(unsigned char)) {
    status = ReadSignal<unsigned char>(session, source, options, csv);
  } else if (type == typeid(signed char)) {
    status = ReadSignal<signed char>(session, source, options, csv);
  } else {
    throw Failure(options.signal + " has an element type rozctl does not read");
  }
  if (csv != nullptr && !csvFile.flush()) throw Failure("cannot write " + options.csv);
  return status;
}

}  // namespace rozctl
