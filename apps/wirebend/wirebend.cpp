// wirebend: forwards every frame from the server to the client unchanged, and passes the RoCE
// packets from the client through a fault injector to the server, logging each of them.
#include <pcap/pcap.h>

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

#include "apps/wirebend/BendLogLine.h"
#include "modifier/Modifier.h"
#include "transport/RoceFrame.h"
#include "wire/CaptureSet.h"
#include "wire/Console.h"
#include "wire/Error.h"
#include "wire/InjectorPath.h"
#include "wire/LineLog.h"
#include "wire/LossReport.h"
#include "wire/Program.h"
#include "wire/Sender.h"

namespace wirebend {

constexpr const char* kServerPort = "enp1s0f0";
constexpr const char* kClientPort = "enp1s0f1";

wire::Sender sender1(kClientPort);
wire::Sender sender0(kServerPort);
Modifier modifier_on_0;  // configured with the defaults, never fed
Modifier modifier_on_1;  // client-to-server injector
std::atomic<bool> enable_sniffing{false};
wire::LineLog log;
// The client's packets through modifier_on_1 to the server.
wire::InjectorPath path(modifier_on_1, sender0, std::string(kClientPort) + " in");

void parseParams(char** argv, ModifierParams* mParams) {
    for (int i = 0; i < 4; ++i) {
        mParams->distribution[i] = std::atoi(argv[i + 1]);
    }
    mParams->delayRange[DELAY_MIN] = std::atoi(argv[5]);
    mParams->delayRange[DELAY_MAX] = std::atoi(argv[6]);
}

// Logs a RoCE packet from the client; frames without a complete BTH get no line.
void packetDetails(const Tins::PDU& pdu) {
    if (std::optional<Bth> bth = ExtractBth(pdu)) {
        log.WriteLine(BendLogLine(*bth));
    }
}

bool callback0in(wire::CapturedFrame& pdu) {
    sender1.Send(pdu);
    return true;
}

// A frame without a UDP layer makes the modifier throw; the capture drops it unforwarded
// and unlogged.
bool callback1in(wire::CapturedFrame& pdu) {
    path.Offer(pdu);
    packetDetails(pdu);
    return true;
}

void OpenPortsAndLog(wire::CaptureSet& captures) {
    sender0.Open();
    sender1.Open();
    captures.Add(kServerPort, PCAP_D_IN, callback0in);
    captures.Add(kClientPort, PCAP_D_IN, callback1in);
    captures.OpenAll();
    log.Open("Log.txt");
}

int Main(int argc, char** argv) {
    if (argc < 7) {
        std::cerr << "usage: wirebend NONE DROP DELAY REORDER MIN_DELAY_MS MAX_DELAY_MS\n"
                     "  the first four are percentages of released packets\n";
        return wire::kExitUsage;
    }
    ModifierParams mParams = [] {
        ModifierParams p;
        p.delayRange[DELAY_MAX] = 50;
        return p;
    }();
    const ModifierParams defaults = mParams;
    parseParams(argv, &mParams);
    if (mParams.delayRange[DELAY_MIN] > mParams.delayRange[DELAY_MAX]) {
        std::cerr << "wirebend: the smallest delay (" << mParams.delayRange[DELAY_MIN]
                  << " ms) exceeds the largest (" << mParams.delayRange[DELAY_MAX] << " ms)\n";
        return wire::kExitUsage;
    }

    wire::CaptureSet captures;
    OpenPortsAndLog(captures);
    log.WriteLine("Test start : ");
    modifier_on_0.Init(defaults);
    path.Configure(mParams);

    enable_sniffing = true;
    path.Start(enable_sniffing);
    captures.StartAll();
    std::cout << "\n***MODIFIER STARTED" << std::endl;

    wire::WaitForKeyOrEndOfInput();

    // Capture ends first, so every packet taken in is logged before the log closes.
    captures.StopAll();
    log.Close();
    enable_sniffing = false;
    path.Join();
    modifier_on_1.printOperationCounters();
    std::cout << "\n*** THE END***\n" << std::endl;
    wire::WriteLossReport(std::cerr, captures, {&sender0, &sender1});
    path.WriteReport(std::cerr);
    return 0;
}

}  // namespace wirebend

int main(int argc, char** argv) {
    return wire::RunProgram("wirebend", wirebend::Main, argc, argv);
}
