// wirewatch: forwards every frame between the two ports unchanged, and logs and verifies the
// RoCE packets seen in all four port directions.
#include <pcap/pcap.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <iostream>
#include <optional>
#include <string>

#include "apps/wirewatch/WatchLogLine.h"
#include "transport/Connection.h"
#include "transport/RoceFrame.h"
#include "transport/Verifier.h"
#include "wire/CaptureSet.h"
#include "wire/Console.h"
#include "wire/Error.h"
#include "wire/LineLog.h"
#include "wire/LossReport.h"
#include "wire/Program.h"
#include "wire/Sender.h"

namespace wirewatch {

constexpr const char* kServerPort = "enp1s0f0";  // device 0
constexpr const char* kClientPort = "enp1s0f1";  // device 1
constexpr int kExitStatus = 8;

Verifier verifier;
wire::Sender sender1(kClientPort);
wire::Sender sender0(kServerPort);
std::atomic<bool> enable_sniffing{false};
std::atomic<uint32_t> c{0};  // leaving frames seen on both ports
wire::LineLog log;

// Logs and verifies a RoCE packet once for each device named; any other frame is skipped.
void packetDetails(const Tins::PDU& pdu, std::initializer_list<unsigned int> devIds) {
    std::optional<Bth> bth = ExtractBth(pdu);
    if (!bth) {
        return;
    }
    const std::string line = WatchLogLine(*bth);
    for (unsigned int devId : devIds) {
        log.WriteLine(line);
        // A failed verification shows only in the end-of-run report.
        verifier.VerifyPacket(devId, *bth);
    }
}

// Frames from the server: forwarded to the client; checked when they leave.
bool callback0in(wire::CapturedFrame& pdu) {
    sender1.Send(pdu);
    return true;
}

// Frames from the client: forwarded to the server first, so checking adds no latency.
bool callback1in(wire::CapturedFrame& pdu) {
    sender0.Send(pdu);
    packetDetails(pdu, {1});
    return true;
}

// Frames leaving toward the server.
bool callback0Out(wire::CapturedFrame& pdu) {
    packetDetails(pdu, {0});
    ++c;
    return true;
}

// Frames leaving toward the client, checked against both devices.
bool callback1Out(wire::CapturedFrame& pdu) {
    packetDetails(pdu, {0, 1});
    ++c;
    return true;
}

// Opens every port and the log before anything is printed, so a setup failure is one line.
void OpenPortsAndLog(wire::CaptureSet& captures) {
    sender0.Open();
    sender1.Open();
    captures.Add(kServerPort, PCAP_D_IN, callback0in);
    captures.Add(kClientPort, PCAP_D_IN, callback1in);
    captures.Add(kServerPort, PCAP_D_OUT, callback0Out);
    captures.Add(kClientPort, PCAP_D_OUT, callback1Out);
    captures.OpenAll();
    log.Open("verifier_log.txt");
}

int Main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: wirewatch CLIENT_QP SERVER_QP   (queue-pair numbers in hexadecimal)\n";
        return wire::kExitUsage;
    }
    const uint32_t clientQp = wire::ParseHexQp(argv[1]);
    const uint32_t serverQp = wire::ParseHexQp(argv[2]);

    wire::CaptureSet captures;
    OpenPortsAndLog(captures);
    RegisterConnection(verifier, clientQp, serverQp);
    log.WriteLine("\nVerifier Test start : ");
    enable_sniffing = true;
    captures.StartAll();
    std::cout << "\n***VERIFIER STARTED" << std::endl;

    wire::WaitForKeyOrEndOfInput();

    // Every capture thread is joined before the log closes and the reports are written, so
    // each packet handled is in the log and in the report.
    captures.StopAll();
    log.Close();
    enable_sniffing = false;
    std::cout << "\nTotal messages sent: " << c.load() << "." << std::endl;
    verifier.IdleChecker();
    std::cout << "***THE END***" << std::endl;
    wire::WriteLossReport(std::cerr, captures, {&sender0, &sender1});
    return kExitStatus;
}

}  // namespace wirewatch

int main(int argc, char** argv) {
    return wire::RunProgram("wirewatch", wirewatch::Main, argc, argv);
}
