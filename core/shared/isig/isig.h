// Umbrella header of the signal side: the signal library (libvarnekisig:
// sources, traits, blocks, stream queues, stream and data-on-demand
// clients, the signal receiver servant) and the stream and remote signal
// templates built on it (isig::Stream, isig::RemoteStream,
// isig::RemoteSignalRef, isig::DataOnDemandSourceBase,
// isig::DataOnDemandRemoteSource).
#ifndef VARNEK_ISIG_ISIG_H
#define VARNEK_ISIG_ISIG_H

#include "isig/array.h"
#include "isig/dod_remote_client.h"
#include "isig/i_signal_receiver_impl.h"
#include "isig/signal_dispatch_base.h"
#include "isig/signal_source.h"
#include "isig/signal_traits.h"
#include "isig/signal_types.h"
#include "isig/stream_client.h"
#include "isig/stream_queue.h"
#include "isig/wire_types.h"

#include "isig/data_on_demand_remote_source.h"
#include "isig/data_on_demand_source_base.h"
#include "isig/remote_signal_ref.h"
#include "isig/remote_stream.h"
#include "isig/stream.h"

#endif  // VARNEK_ISIG_ISIG_H
