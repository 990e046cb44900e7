// Everything a client or a service of the aai interface uses: the value types and their text
// forms and encodings, the interfaces with their connector functions, the broker bundle, and the
// generated proxies, stubs and reference marshallers for applications that supply their own broker.
#pragma once

#include "aai/broker.h"
#include "aai/brokers.h"
#include "aai/interfaces.h"
#include "aai/connections.h"
#include "aai/marshallers.h"
#include "aai/proxies.h"
#include "aai/references.h"
#include "aai/stubs.h"
#include "aai/tostring.h"
#include "aai/types.h"
