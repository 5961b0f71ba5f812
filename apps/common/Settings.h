#pragma once

#include <cstdint>

#include "apps/common/CommandLine.h"
#include "engine/BenchConfig.h"

namespace cli {

// The positional connection first, then every --qp in the order given.
engine::Verification VerificationOf(std::uint32_t clientQp, std::uint32_t serverQp,
                                    const VerifyArgs& args);

// The files the run writes beside its log.
void ApplyOutputs(const OutputArgs& outputs, engine::BenchConfig& config);

}  // namespace cli
