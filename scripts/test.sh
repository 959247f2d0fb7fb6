#!/usr/bin/env bash
# Builds everything and runs the whole test suite. The link tests also run
# under ThreadSanitizer in a second build (build-tsan/).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
ctest --test-dir build --output-on-failure -j2 --timeout 600
if [ -f tests/net/CMakeLists.txt ]; then
  cmake -S . -B build-tsan -G Ninja -DCORVANE_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build build-tsan --target net_tests corvane-server
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir build-tsan --output-on-failure -j2 -L net --timeout 600
fi
