#pragma once

#include "rpc/endpoint_slot.h"

// The running endpoint, published by WinMain for the heartbeat and the engine's callbacks.
extern AnonRpc::EndpointSlot ActiveEndpoint;
