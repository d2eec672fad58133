#include "host/active_endpoint.h"

AnonRpc::EndpointSlot ActiveEndpoint;
