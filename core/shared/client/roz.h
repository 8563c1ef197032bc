// Umbrella header of libvarnekmci, the client library (namespace roz): the
// registry vocabulary, tree nodes and node structures, the factory, node
// handles with typed value access, and notification records.
#ifndef VARNEK_CLIENT_ROZ_H
#define VARNEK_CLIENT_ROZ_H

#include "client/factory.h"
#include "client/local_node_structure.h"
#include "client/node.h"
#include "client/node_structure.h"
#include "client/notification_data.h"
#include "client/roz_util.h"
#include "client/tree_node.h"

#endif  // VARNEK_CLIENT_ROZ_H
