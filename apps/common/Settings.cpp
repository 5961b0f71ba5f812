#include "apps/common/Settings.h"

namespace cli {

engine::Verification VerificationOf(std::uint32_t clientQp, std::uint32_t serverQp,
                                    const VerifyArgs& args) {
    engine::Verification verification;
    verification.connections.push_back({clientQp, serverQp});
    for (const QpPair& pair : args.moreQps) {
        verification.connections.push_back({pair.clientQp, pair.serverQp});
    }
    verification.rules = args.rules == Rules::Rc ? RuleSet::Rc : RuleSet::Send;
    verification.pathMtu = args.pathMtu;
    return verification;
}

void ApplyOutputs(const OutputArgs& outputs, engine::BenchConfig& config) {
    constexpr std::uint64_t kBytesPerMb = 1'000'000;
    config.summaryPath = outputs.summaryPath;
    config.capturePath = outputs.capturePath;
    config.captureLimitBytes = outputs.captureLimitMb * kBytesPerMb;
}

}  // namespace cli
