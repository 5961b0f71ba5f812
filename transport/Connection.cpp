#include "transport/Connection.h"

namespace {
constexpr unsigned int kDeviceMtu = 1024;

void RegisterPair(Verifier& verifier, const ConnectionQps& connection) {
    Qp client(connection.clientQp, connection.serverQp);
    Qp server(connection.serverQp, connection.clientQp);
    verifier.AddQpToDevice(0, server);
    verifier.AddQpToDevice(1, client);
}
}  // namespace

void RegisterConnection(Verifier& verifier, std::uint32_t clientQp, std::uint32_t serverQp) {
    RegisterConnections(verifier, {ConnectionQps{clientQp, serverQp}});
}

void RegisterConnections(Verifier& verifier, const std::vector<ConnectionQps>& connections) {
    verifier.AddDevice(Device{0, kDeviceMtu, {}});
    verifier.AddDevice(Device{1, kDeviceMtu, {}});
    for (const ConnectionQps& connection : connections) {
        RegisterPair(verifier, connection);
    }
}
