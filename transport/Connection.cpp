#include "transport/Connection.h"

namespace {
constexpr unsigned int kDeviceMtu = 1024;
}  // namespace

void RegisterConnection(Verifier& verifier, std::uint32_t clientQp, std::uint32_t serverQp) {
    verifier.AddDevice(Device{0, kDeviceMtu, {}});
    verifier.AddDevice(Device{1, kDeviceMtu, {}});
    Qp client(clientQp, serverQp);
    Qp server(serverQp, clientQp);
    verifier.AddQpToDevice(0, server);
    verifier.AddQpToDevice(1, client);
}
