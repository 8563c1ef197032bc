// Creation of local signal sources from the signal nodes of remote
// registries (see remote_signal.h).
#include "client/remote_signal.h"

#include <omniORB4/CORBA.h>

#include <memory>
#include <type_traits>

#include "client/remote_node.h"
#include "isig/data_on_demand_remote_source.h"
#include "isig/remote_stream.h"
#include "istd/exception.h"
#include "istd/log.h"
#include "istd/string_util.h"

namespace roz {

const std::string c_accessType = "access_type";
const std::string c_groupSize = "group_size";
const std::string c_compNum = "components_number";
const std::string c_compNames = "components_names";
const std::string c_compType = "components_type";
const std::string c_atomSize = "atom_size";

namespace {

// All ones: selects neither an access kind nor an element type.
constexpr uint32_t c_noCode = 0xFFFFFFFFu;

// A code read as a 64-bit attribute. A value that does not fit into 32 bits
// selects nothing (instead of being cut down to one that might).
uint32_t CodeOf(long long value) {
  return value >= 0 && value <= static_cast<long long>(c_noCode) ? static_cast<uint32_t>(value)
                                                                 : c_noCode;
}

// The component names: the whole array of an array node, otherwise the
// node's text cut at every ",". False when the value cannot be read.
bool ReadComponentNames(const Node& attribute, isig::ComponentNames& names) {
  if (attribute.IsArray()) return attribute.GetValue(names, 0, 0);
  std::string text;
  if (!attribute.GetValue(text, 0)) return false;
  names = istd::TokenizeString(text.c_str(), ",");
  return true;
}

// Reads the attribute child `name` of `signal` into `value` (element 0;
// for the component names see ReadComponentNames). A child that cannot be
// found or read gives false, traced at Low, so that the other attributes
// are still read.
template <typename T>
bool ReadAttribute(const Node& signal, const std::string& name, T& value) {
  try {
    const Node attribute = signal[name];
    if constexpr (std::is_same_v<T, isig::ComponentNames>) {
      return ReadComponentNames(attribute, value);
    } else {
      return attribute.GetValue(value, 0);
    }
  } catch (const istd::Exception& e) {
    ISTD_TRACE(istd::eLow, e.what());
    return false;
  }
}

// Looks the signal at `path` up again through `proxy`. Throws "ireg: node
// disconnected: " + path when the proxy is gone, and what the proxy's
// GetRemoteSignal throws.
isig::SignalResolver ResolverOf(const std::shared_ptr<RemoteNode>& proxy, const Path& path) {
  return [weak = std::weak_ptr<RemoteNode>(proxy), path]() -> i_NET::_objref_RemoteSignal* {
    const std::shared_ptr<RemoteNode> node = weak.lock();
    if (!node) throw istd::Exception("ireg: node disconnected: " + ToString(path), true);
    return node->GetRemoteSignal(path);
  };
}

}  // namespace

bool GetRemoteSignalData(const Node& node, i_NET::_objref_RemoteSignal*& signal,
                         isig::AccessType_e& accessType, uint32_t& components, uint32_t& groupSize,
                         isig::ComponentNames& names, isig::AtomType_e& atomType) {
  ISTD_TRACE_FNC();
  try {
    const std::shared_ptr<RemoteNode> proxy =
        std::dynamic_pointer_cast<RemoteNode>(node.GetTreeNode());
    if (!proxy) {
      ISTD_TRACE(istd::eHigh, "Not a node of a remote registry: " << node.GetName());
      return false;
    }
    signal = proxy->GetRemoteSignal(node.GetRelPath());
    if (CORBA::is_nil(signal)) {
      ISTD_TRACE(istd::eHigh, "The server has no signal at: " << node.GetRelPath());
      return false;
    }
    // Every attribute is read, whatever the earlier ones gave. A code that
    // cannot be read selects nothing.
    long long access = c_noCode;
    long long type = c_noCode;
    bool complete = ReadAttribute(node, c_accessType, access);
    complete = ReadAttribute(node, c_groupSize, groupSize) && complete;
    complete = ReadAttribute(node, c_compNum, components) && complete;
    complete = ReadAttribute(node, c_compNames, names) && complete;
    complete = ReadAttribute(node, c_compType, type) && complete;
    accessType = static_cast<isig::AccessType_e>(CodeOf(access));
    atomType = static_cast<isig::AtomType_e>(CodeOf(type));
    return complete;
  } catch (const istd::Exception& e) {
    ISTD_TRACE(istd::eLow, e.what());
  } catch (const CORBA::Exception& e) {
    ISTD_TRACE(istd::eLow, "Can't read remote signal: " << e);
  }
  return false;
}

isig::SignalSourceSharedPtr CreateRemoteSignal(const Node& node) {
  ISTD_TRACE_FNC();
  isig::SignalSourceSharedPtr source;
  i_NET::_objref_RemoteSignal* signal = i_NET::RemoteSignal::_nil();
  auto accessType = static_cast<isig::AccessType_e>(c_noCode);
  auto atomType = static_cast<isig::AtomType_e>(c_noCode);
  uint32_t components = 0;
  uint32_t groupSize = 0;
  isig::ComponentNames names;
  const bool complete =
      GetRemoteSignalData(node, signal, accessType, components, groupSize, names, atomType);
  i_NET::RemoteSignal_var owned(signal);  // the sources keep duplicates of their own
  if (!complete) return source;
  if (components == 0) {
    // Traits without components describe no atom: such a source could
    // neither register nor take a block.
    ISTD_TRACE(istd::eLow, "Signal without components: " << node.GetRelPath());
    return source;
  }
  const std::string name = node.GetName();
  ISTD_TRACE(istd::eHigh, "Signal " << name << ": access type " << accessType << ", atom type "
                                    << atomType << ", " << components
                                    << " component(s), group size " << groupSize);
  const std::shared_ptr<RemoteNode> proxy =
      std::dynamic_pointer_cast<RemoteNode>(node.GetTreeNode());
  const isig::SignalResolver resolver = ResolverOf(proxy, node.GetRelPath());
  // One instance per element type; `sample` only carries the type.
  auto create = [&](auto sample) {
    return CreateSignal<isig::SignalTraits<decltype(sample)>>(
        name, accessType, components, groupSize, names, signal, c_remoteSignalQueueSize, resolver);
  };
  switch (atomType) {
    case isig::eAtomDouble:
      source = create(double());
      break;
    case isig::eAtomFloat:
      source = create(float());
      break;
    case isig::eAtomUInt64:
      source = create(static_cast<unsigned long long>(0));
      break;
    case isig::eAtomInt64:
      source = create(static_cast<long long>(0));
      break;
    case isig::eAtomUInt32:
      source = create(0u);
      break;
    case isig::eAtomInt32:
      source = create(0);
      break;
    case isig::eAtomUInt16:
      source = create(static_cast<unsigned short>(0));
      break;
    case isig::eAtomInt16:
      source = create(static_cast<short>(0));
      break;
    case isig::eAtomUInt8:
      source = create(static_cast<unsigned char>(0));
      break;
    case isig::eAtomInt8:
      source = create(static_cast<signed char>(0));
      break;
    default:
      ISTD_TRACE(istd::eHigh, "Signal " << name << ": no element type for atom type " << atomType);
      break;
  }
  // A stream has a registration to restore when the proxy reconnects.
  if (auto reconnectable = std::dynamic_pointer_cast<isig::Reconnectable>(source)) {
    if (proxy) proxy->AddReconnectable(reconnectable);
  }
  return source;
}

template <typename TRAITS>
isig::SignalSourceSharedPtr CreateSignal(const std::string& name, isig::AccessType_e accessType,
                                         uint32_t components, uint32_t groupSize,
                                         const isig::ComponentNames& names,
                                         i_NET::_objref_RemoteSignal*& signal, size_t queueSize,
                                         const isig::SignalResolver& resolver) {
  ISTD_TRACE_FNC();
  switch (accessType) {
    case isig::eAccessDataOnDemand:
      // Data on demand is read atom by atom: the group size is 1.
      return std::make_shared<isig::DataOnDemandRemoteSource<TRAITS>>(
          name, signal, TRAITS(components, names, 1), resolver);
    case isig::eAccessStream:
      return std::make_shared<isig::RemoteStream<TRAITS>>(
          name, signal, TRAITS(components, names, groupSize), queueSize, resolver);
    default:
      ISTD_TRACE(istd::eHigh, "Signal " << name << ": no source for access type " << accessType);
      return isig::SignalSourceSharedPtr();
  }
}

#define ROZ_CREATE_SIGNAL_INSTANCE(T)                                                          \
  template isig::SignalSourceSharedPtr CreateSignal<isig::SignalTraits<T>>(                    \
      const std::string&, isig::AccessType_e, uint32_t, uint32_t, const isig::ComponentNames&, \
      i_NET::_objref_RemoteSignal*&, size_t, const isig::SignalResolver&);

ROZ_CREATE_SIGNAL_INSTANCE(double)
ROZ_CREATE_SIGNAL_INSTANCE(float)
ROZ_CREATE_SIGNAL_INSTANCE(unsigned long long)
ROZ_CREATE_SIGNAL_INSTANCE(long long)
ROZ_CREATE_SIGNAL_INSTANCE(unsigned int)
ROZ_CREATE_SIGNAL_INSTANCE(int)
ROZ_CREATE_SIGNAL_INSTANCE(unsigned short)
ROZ_CREATE_SIGNAL_INSTANCE(short)
ROZ_CREATE_SIGNAL_INSTANCE(unsigned char)
ROZ_CREATE_SIGNAL_INSTANCE(signed char)

#undef ROZ_CREATE_SIGNAL_INSTANCE

}  // namespace roz
