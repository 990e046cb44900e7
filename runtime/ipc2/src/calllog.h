// The call log: one trace line per message and direction at level 3, naming the call and showing
// its payload only when the message's Send flag allows it.
#pragma once

#include "ipc2/connector.h"

namespace zel::proglibs::ipc2::detail {

// What Connector::LogCall writes unless overridden.
void WriteCallLog(const ConnectionHandler& handler, CallDirection direction, const ByteStream& message,
                  bool sendFlag);

}  // namespace zel::proglibs::ipc2::detail
