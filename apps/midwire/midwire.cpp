// midwire: verifies and logs the RoCE packets seen in all four port directions, passes the RoCE
// packets arriving on each port through that port's fault injector, and forwards what the
// injector releases out of the other port. Only RoCE packets are forwarded.
#include <pcap/pcap.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

#include "apps/midwire/MidwireLogLine.h"
#include "modifier/Modifier.h"
#include "transport/Connection.h"
#include "transport/RoceFrame.h"
#include "transport/Verifier.h"
#include "wire/CaptureSet.h"
#include "wire/Console.h"
#include "wire/Error.h"
#include "wire/InjectorPath.h"
#include "wire/LineLog.h"
#include "wire/LossReport.h"
#include "wire/Program.h"
#include "wire/Sender.h"

namespace midwire {

const std::string serverDevice = "enp1s0f0";  // device 0
const std::string clientDevice = "enp1s0f1";  // device 1
constexpr int kArguments = 10;
constexpr int kExitStatus = 8;

Verifier verifier;
Modifier clientModifier;  // packets arriving from the client, on their way to the server
Modifier serverModifier;  // packets arriving from the server, on their way to the client
wire::Sender senderToClient(clientDevice);
wire::Sender sendertoServer(serverDevice);
std::atomic<bool> enable_sniffing{false};
// Each direction's way through its injector and out of the other port.
wire::InjectorPath clientPath(clientModifier, sendertoServer, clientDevice + " in");
wire::InjectorPath serverPath(serverModifier, senderToClient, serverDevice + " in");
wire::LineLog log;

void parseParams(char** argv, ModifierParams* mParams, int firstParamIndex) {
    for (int i = 0; i < 4; ++i) {
        mParams->distribution[i] = std::atoi(argv[firstParamIndex + i]);
    }
}

std::int64_t WallClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void verifierDebugLogPrint(const Bth* packetBth) {
    log.WriteLine(MidwireLogLine(*packetBth, WallClockMs()));
}

// Logs and verifies a RoCE packet against one device; any other frame is skipped. A failed
// verification shows only in the end-of-run report.
void createAndVerifyPacket(const Tins::PDU& pdu, unsigned int deviceID) {
    if (std::optional<Bth> packetBth = ExtractBth(pdu)) {
        verifierDebugLogPrint(&*packetBth);
        verifier.VerifyPacket(deviceID, *packetBth);
    }
}

// Arriving frames are verified and logged before their modifier gets them, so an arriving line
// always precedes the leaving line of the same packet. A frame without a UDP layer makes
// the modifier throw, and the capture drops it unforwarded.
bool clientInCallback(wire::CapturedFrame& pdu) {
    createAndVerifyPacket(pdu, 1);
    clientPath.Offer(pdu);
    return enable_sniffing.load();
}

bool serverInCallback(wire::CapturedFrame& pdu) {
    createAndVerifyPacket(pdu, 0);
    serverPath.Offer(pdu);
    return enable_sniffing.load();
}

// Leaving frames are the bench's own forwarded packets: verified, never fed back.
bool serverOutCallback(wire::CapturedFrame& pdu) {
    createAndVerifyPacket(pdu, 0);
    return enable_sniffing.load();
}

bool clientOutCallback(wire::CapturedFrame& pdu) {
    createAndVerifyPacket(pdu, 1);
    return enable_sniffing.load();
}

// One parameter record filled twice; each modifier keeps its own copy.
void ConfigureModifiers(char** argv) {
    ModifierParams mParams;
    parseParams(argv, &mParams, 3);
    clientPath.Configure(mParams);
    parseParams(argv, &mParams, 7);
    serverPath.Configure(mParams);
}

// Opens every port and the log before anything is printed, so a setup failure is one line.
void OpenPortsAndLog(wire::CaptureSet& captures) {
    sendertoServer.Open();
    senderToClient.Open();
    captures.Add(serverDevice, PCAP_D_IN, serverInCallback);
    captures.Add(clientDevice, PCAP_D_IN, clientInCallback);
    captures.Add(serverDevice, PCAP_D_OUT, serverOutCallback);
    captures.Add(clientDevice, PCAP_D_OUT, clientOutCallback);
    captures.OpenAll();
    log.Open("verifier_log.txt");
}

void PrintReports() {
    std::cout << "\nVerifier Idle Checker Output:" << std::endl;
    verifier.IdleChecker();
    std::cout << "\nClient Modifier Couners:" << std::endl;
    clientModifier.printOperationCounters();
    std::cout << "\nServer Modifier Couners:" << std::endl;
    serverModifier.printOperationCounters();
    std::cout << "\n***THE END***" << std::endl;
}

int Main(int argc, char** argv) {
    if (argc < kArguments + 1) {
        std::cerr << "usage: midwire CLIENT_QP SERVER_QP C_NONE C_DROP C_DELAY C_REORDER"
                     " S_NONE S_DROP S_DELAY S_REORDER\n"
                     "  queue-pair numbers in hexadecimal; then, for the packets from the client"
                     " (C_) and\n  from the server (S_), percentages of releases passed, dropped,"
                     " delayed (0 to 30 ms)\n  and reordered, four that add up to 100\n";
        return wire::kExitUsage;
    }
    wire::CaptureSet captures;
    OpenPortsAndLog(captures);
    RegisterConnection(verifier, wire::ParseHexQp(argv[1]), wire::ParseHexQp(argv[2]));
    log.WriteLine("\n#Verifier Test start : ");
    ConfigureModifiers(argv);

    enable_sniffing = true;
    clientPath.Start(enable_sniffing);
    serverPath.Start(enable_sniffing);
    captures.StartAll();
    std::cout << "\n***TEST STARTED ... press any key to stop ..." << std::endl;

    wire::WaitForKeyOrEndOfInput();

    // Forwarding ends first, then capture: every packet the bench sent is seen leaving, and
    // every packet captured is logged and verified before the log closes and the report is
    // written. What is still buffered in a modifier then is never sent.
    enable_sniffing = false;
    clientPath.RequestStop();
    serverPath.RequestStop();
    clientPath.Join();
    serverPath.Join();
    captures.StopAll();
    log.WriteLine("\n#Verifier Test end.");
    log.Close();
    PrintReports();
    wire::WriteLossReport(std::cerr, captures, {&sendertoServer, &senderToClient});
    clientPath.WriteReport(std::cerr);
    serverPath.WriteReport(std::cerr);
    return kExitStatus;
}

}  // namespace midwire

int main(int argc, char** argv) {
    return wire::RunProgram("midwire", midwire::Main, argc, argv);
}
