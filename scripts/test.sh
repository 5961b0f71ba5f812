#!/usr/bin/env bash
# Installs what the build and the tests need, then builds and runs the whole suite: the normal
# build with every test (the end-to-end tests need root and are skipped without it), a short
# fuzzing run of the frame reader, then the unit tests and the core end-to-end tests again
# with the programs built under AddressSanitizer with UndefinedBehaviorSanitizer, and under
# ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

"$(dirname "$0")/install-deps.sh"

jobs=$(nproc)

build() {  # build <dir> <sanitizer> [<target>...]
    cmake -S . -B "$1" -DBENCH_WERROR=ON -DBENCH_SANITIZE="$2" >/dev/null
    local targets=()
    for target in "${@:3}"; do
        targets+=(--target "$target")
    done
    cmake --build "$1" -j "$jobs" "${targets[@]}"
}

# What the sanitizer runs need: the unit tests and the core end-to-end tests with the programs
# they drive; the other end-to-end binaries would only lengthen the build.
sanitized=(unit_transport unit_modifier unit_wire unit_apps unit_engine unit_tools e2e_core_test)

echo "== normal build: all tests"
build build none
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 300

echo "== fuzzing the frame reader"
scripts/fuzz.sh

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: unit and core end-to-end tests"
build build-asan address "${sanitized[@]}"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs" --timeout 300 -L 'unit|core'

echo "== ThreadSanitizer: unit and core end-to-end tests"
build build-tsan thread "${sanitized[@]}"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-tsan --output-on-failure -j "$jobs" --timeout 300 -L 'unit|core'

echo "== all tests passed"
