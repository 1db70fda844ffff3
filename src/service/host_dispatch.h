#pragma once
// The host message dispatcher: which handler each host window message goes to.
#include "service/delivery.h"
#include "service/host_messages.h"
#include "service/liveness.h"

namespace kavor2::service {

// Hands the message (and its record) to its handler, on the service thread.
// Returns false for a message that has no handler here, or whose record is
// missing or of the wrong type; it is dropped then.
bool RouteHostMessage(HostMessage& message, TDelivery& delivery, TLiveness& liveness);

}  // namespace kavor2::service
