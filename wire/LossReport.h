#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "wire/CaptureSet.h"
#include "wire/FrameDispatcher.h"
#include "wire/Sender.h"

namespace wire {

// One line per kind of loss that occurred on a port and direction labelled e.g. "enp1s0f1 in";
// none when nothing was lost.
std::vector<std::string> CaptureLossLines(const std::string& label, const CaptureLosses& losses);
// The line for frames a port's sender could not send; none when there were none.
std::vector<std::string> UnsentLines(const std::string& interfaceName, uint64_t unsent);

// The lines for packets a fault injector fed by `label` refused because it already held `limit`,
// and for those it still held at the stop; none for a count of 0.
std::vector<std::string> InjectorLines(const std::string& label, uint64_t refused, int limit,
                                       uint64_t held);

// Writes every loss of the stopped captures and of the senders, one line each; nothing if none.
void WriteLossReport(std::ostream& out, const CaptureSet& captures,
                     const std::vector<const Sender*>& senders);

}  // namespace wire
