// Umbrella header of libvarnekistd, the foundation library: exceptions and
// assertions, log and trace, dynamic values, typed identifiers, literal
// tables and string utilities, time, synchronizer, worker threads and pool,
// thread controller, daemon start-up and signal handling, process and version
// information.
#ifndef VARNEK_ISTD_ISTD_H
#define VARNEK_ISTD_ISTD_H

#include "istd/any.h"
#include "istd/assert.h"
#include "istd/daemon.h"
#include "istd/exception.h"
#include "istd/id.h"
#include "istd/literals.h"
#include "istd/log.h"
#include "istd/log_file.h"
#include "istd/process.h"
#include "istd/signal_handler.h"
#include "istd/string_util.h"
#include "istd/synchronizer.h"
#include "istd/thread_controller.h"
#include "istd/time.h"
#include "istd/trace.h"
#include "istd/ver_info.h"
#include "istd/worker_thread.h"

#endif  // VARNEK_ISTD_ISTD_H
