#!/usr/bin/env bash
# Fuzzes the frame reader for a fixed time (seconds, default 20) from the seed corpus in
# tests/fuzz/corpus; exits non-zero when the fuzzer finds a crash or a disagreement with
# libtins, whose input is then left in build-fuzz/ (crash-*).
#     scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
if ! [[ $seconds =~ ^[0-9]+$ ]] || ((seconds == 0)); then
    echo "usage: scripts/fuzz.sh [SECONDS]  (a whole number above 0)" >&2
    exit 2
fi

mkdir -p build-fuzz
cmake -S . -B build-fuzz -DBENCH_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >build-fuzz/build.log 2>&1 ||
    { cat build-fuzz/build.log >&2; exit 1; }
cmake --build build-fuzz -j2 --target read_frame_fuzz >>build-fuzz/build.log 2>&1 ||
    { cat build-fuzz/build.log >&2; exit 1; }

# New inputs go to the working corpus, so the kept seeds stay as they are.
mkdir -p build-fuzz/corpus
build-fuzz/tests/fuzz/read_frame_fuzz -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix=build-fuzz/ build-fuzz/corpus tests/fuzz/corpus 2>build-fuzz/fuzz.log ||
    { tail -n 40 build-fuzz/fuzz.log >&2; exit 1; }
grep -E '^(stat::number_of_executed_units|stat::new_units_added|#[0-9]+ +DONE)' \
    build-fuzz/fuzz.log || true
