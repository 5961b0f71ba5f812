#include "wire/LossReport.h"

namespace wire {

namespace {

void AddLine(std::vector<std::string>& lines, const std::string& label, uint64_t count,
             const std::string& what, const char* noun = "frame") {
    if (count == 0) {
        return;
    }
    lines.push_back(label + ": " + std::to_string(count) + " " + noun + (count == 1 ? " " : "s ") +
                    what);
}

}  // namespace

std::vector<std::string> CaptureLossLines(const std::string& label, const CaptureLosses& losses) {
    std::vector<std::string> lines;
    AddLine(lines, label, losses.kernelDrops, "dropped by the kernel");
    AddLine(lines, label, losses.callbackErrors,
            "abandoned after an error in its handler (first: " + losses.firstCallbackError + ")");
    AddLine(lines, label, losses.unhandledAtStop, "left unhandled at the stop");
    return lines;
}

std::vector<std::string> UnsentLines(const std::string& interfaceName, uint64_t unsent) {
    std::vector<std::string> lines;
    AddLine(lines, interfaceName + " out", unsent, "could not be sent");
    return lines;
}

std::vector<std::string> InjectorLines(const std::string& label, uint64_t refused, int limit,
                                       uint64_t held) {
    std::vector<std::string> lines;
    AddLine(lines, label, refused,
            "refused by the full fault injector (" + std::to_string(limit) + " held), not sent",
            "packet");
    AddLine(lines, label, held, "held by the fault injector at the stop, not sent", "packet");
    return lines;
}

void WriteLossReport(std::ostream& out, const CaptureSet& captures,
                     const std::vector<const Sender*>& senders) {
    std::vector<std::string> lines;
    for (const auto& capture : captures.Captures()) {
        for (auto& line : CaptureLossLines(capture->Label(), capture->Losses())) {
            lines.push_back(std::move(line));
        }
    }
    for (const Sender* sender : senders) {
        for (auto& line : UnsentLines(sender->InterfaceName(), sender->UnsentFrames())) {
            lines.push_back(std::move(line));
        }
    }
    for (const auto& line : lines) {
        out << line << '\n';
    }
    out.flush();
}

}  // namespace wire
