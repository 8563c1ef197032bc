// isig::SignalSource, the base of every signal source (a local stream, a
// remote stream, a data-on-demand source), isig::SignalSourceSharedPtr, and
// isig::SignalClientBase, the base of the clients that read from a source.
//
// A source describes its atoms (element type, components, group size) and
// hands out clients. Sources are meant to be owned by std::shared_ptr: the
// clients of a stream keep their stream alive through it
// (enable_shared_from_this), so a stream cannot die under its clients.
//
// Thread-safety: the description is constant after construction and may be
// read from any thread; what the other operations guarantee is said by the
// derived classes.
#ifndef VARNEK_ISIG_SIGNAL_SOURCE_H
#define VARNEK_ISIG_SIGNAL_SOURCE_H

#include <cstddef>
#include <memory>
#include <string>
#include <typeinfo>

#include "isig/signal_types.h"

namespace isig {

// A reader of a source. Owned by whoever asked for it (NewSignalClient
// returns a new one; data-on-demand clients are made directly).
class SignalClientBase {
 public:
  explicit SignalClientBase(const std::string& name);
  virtual ~SignalClientBase();
  SignalClientBase(const SignalClientBase&) = delete;
  SignalClientBase& operator=(const SignalClientBase&) = delete;

  const std::string& Name() const { return m_name; }

  // Ends the client's pending and (for stream clients) future reads with
  // `code`; code 0 becomes eCancelled. Any thread.
  virtual void Cancel(SuccessCode_e code) = 0;

 private:
  const std::string m_name;
};

class SignalSource : public std::enable_shared_from_this<SignalSource> {
 public:
  // `name` names the source in traces and listings; `type` is a free text
  // naming the kind of source, answered by SourceType() ("" when unused).
  SignalSource(const std::string& name, const std::string& type);
  virtual ~SignalSource();
  SignalSource(const SignalSource&) = delete;
  SignalSource& operator=(const SignalSource&) = delete;

  const std::string& Name() const { return m_name; }

  // Bytes per atom. Throws "isig: Runtime atom is not valid." when the
  // source's traits hold no valid atom (so do GroupSize and
  // GetComponentNames).
  virtual size_t AtomSize() const = 0;
  // Atoms per group.
  virtual unsigned int GroupSize() const = 0;
  // Type of one atom (isig::RuntimeAtom for runtime-defined signals).
  virtual const std::type_info& AtomType() const = 0;
  // Type of the atoms' values.
  virtual const std::type_info& BaseType() const = 0;
  // Values per atom; 0 when no valid atom is held. Never throws.
  virtual unsigned int Length() const = 0;
  virtual ComponentNames GetComponentNames() const = 0;
  // eAccessStream or eAccessDataOnDemand.
  virtual AccessType_e AccessType() const = 0;
  // The type text given to the constructor.
  virtual std::string SourceType() const;
  // The source's statistics lines. Base: none.
  virtual SignalStats GetStatistics() const;
  // A new client named `name` with a queue of `queueSize` blocks (the
  // caller owns it), or nullptr when the source has no such clients. Base:
  // nullptr (data-on-demand sources are read through isig::DodRemoteClient,
  // which is constructed on the source).
  virtual SignalClientBase* NewSignalClient(const std::string& name, unsigned int queueSize);
  // Ends the source's service: every client is cancelled. Base: nothing.
  virtual void ShutDown();
  // The time base announced for the source's time stamps changed. Base:
  // ignored.
  virtual void OnAnnouncedTimestampChange();
  // Time stamps from atom `position` on are shifted by `offset`
  // nanoseconds. Base: ignored.
  virtual void OnAdjustedTimestamp(long long offset, unsigned long long position);
  // Ends the pending reads of every client with `code` (0: eCancelled).
  virtual void Cancel(SuccessCode_e code) = 0;

 private:
  const std::string m_name;
  const std::string m_type;
};

using SignalSourceSharedPtr = std::shared_ptr<SignalSource>;

}  // namespace isig

#endif  // VARNEK_ISIG_SIGNAL_SOURCE_H
