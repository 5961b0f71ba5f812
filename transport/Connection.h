#pragma once

#include <cstdint>
#include <vector>

#include "transport/Verifier.h"

// A connection under test: the client's and the server's queue-pair numbers.
struct ConnectionQps {
    std::uint32_t clientQp = 0;
    std::uint32_t serverQp = 0;
};

// Registers the bench's two devices, 0 for the port facing the server and 1 for the port facing
// the client, and the connection under test: the server's queue pair on device 0, then the
// client's on device 1, each with the other as its peer.
void RegisterConnection(Verifier& verifier, std::uint32_t clientQp, std::uint32_t serverQp);
// The same for several connections: both devices once, then each connection's pair in order.
void RegisterConnections(Verifier& verifier, const std::vector<ConnectionQps>& connections);
