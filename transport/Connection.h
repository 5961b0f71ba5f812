#pragma once

#include <cstdint>

#include "transport/Verifier.h"

// Registers the bench's two devices, 0 for the port facing the server and 1 for the port facing
// the client, and the connection under test: the server's queue pair on device 0, then the
// client's on device 1, each with the other as its peer.
void RegisterConnection(Verifier& verifier, std::uint32_t clientQp, std::uint32_t serverQp);
