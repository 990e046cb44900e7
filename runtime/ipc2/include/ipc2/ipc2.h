// The whole public interface of the IPC runtime.
#pragma once

#include "ipc2/bytestream.h"
#include "ipc2/connectionhandler.h"
#include "ipc2/connector.h"
#include "ipc2/deadline.h"
#include "ipc2/errors.h"
#include "ipc2/limits.h"
#include "ipc2/marshallers.h"
#include "ipc2/objects.h"
#include "ipc2/registry.h"
#include "ipc2/requestheader.h"
