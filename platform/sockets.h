#pragma once

// The event-driven TCP socket layer: connection, client and server.
#include "platform/clientsocket.h"
#include "platform/serversocket.h"
#include "platform/winsocket.h"
