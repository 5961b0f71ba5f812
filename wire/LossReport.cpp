#include "wire/LossReport.h"

namespace wire {

namespace {

void AddLine(std::vector<std::string>& lines, const std::string& label, uint64_t count,
             const std::string& what) {
    if (count == 0) {
        return;
    }
    lines.push_back(label + ": " + std::to_string(count) + (count == 1 ? " frame " : " frames ") +
                    what);
}

}  // namespace

std::vector<std::string> CaptureLossLines(const std::string& label, const CaptureLosses& losses) {
    std::vector<std::string> lines;
    AddLine(lines, label, losses.kernelDrops, "dropped by the kernel");
    AddLine(lines, label, losses.unparsed, "not parsable as Ethernet");
    AddLine(lines, label, losses.callbackErrors,
            "abandoned after an error in its handler (first: " + losses.firstCallbackError + ")");
    return lines;
}

std::vector<std::string> UnsentLines(const std::string& interfaceName, uint64_t unsent) {
    std::vector<std::string> lines;
    AddLine(lines, interfaceName + " out", unsent, "could not be sent");
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
