#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/rocepeer/RoceFrames.h"

namespace rocepeer {

// A command line that the user must correct; main prints usage and exits 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// "--name value" options and "--flag" switches of one subcommand.
class Options {
public:
    // Throws UsageError for an unknown name or a missing value.
    Options(const std::vector<std::string>& args, const std::set<std::string>& valued,
            const std::set<std::string>& flags);

    bool Has(const std::string& name) const { return values_.count(name) != 0; }
    std::string Text(const std::string& name, const std::string& fallback = "") const;
    // Decimal or 0x-prefixed number within [0, max]; throws UsageError.
    std::uint64_t Number(const std::string& name, std::uint64_t fallback,
                         std::uint64_t max = UINT32_MAX) const;
    std::vector<std::uint32_t> NumberList(const std::string& name, std::uint32_t fallback) const;
    std::string Required(const std::string& name) const;

private:
    std::map<std::string, std::string> values_;
};

// Our MAC and address (an optional --src-ip overrides the interface's) and
// the peer's from --peer-mac and --peer-ip; throws UsageError.
roceframes::Endpoints ResolveEndpoints(const Options& options, const roceframes::Mac& localMac,
                                       std::uint32_t localIp);

// Subcommands; each returns the process exit status.
int RunRespond(const Options& options);
int RunRequest(const Options& options);
int RunRateSend(const Options& options);
int RunRateReceive(const Options& options);
int RunFrame(const Options& options);

// Set by SIGINT/SIGTERM; long-running subcommands end cleanly when it is.
bool StopRequested();

}  // namespace rocepeer
