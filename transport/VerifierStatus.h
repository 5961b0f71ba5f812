#pragma once

// Outcome of a verifier operation.
enum VerifierStatus {
    VerifierStatusOK = 0,
    VerifierBadQp = 1,
    VerifierUnsupportedOpcode = 2,
    VerifierNoActiveWork = 3,
    VerifierBadOpcodeSequence = 4,
    VerifierBadPsn = 5,
    VerifierStatusBad = 6,
};
