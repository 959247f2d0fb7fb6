#!/usr/bin/env bash
# Installs what is missing, configures and builds everything into build/
# (programs in build/bin/). Extra arguments go to the CMake configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja "$@" >/dev/null
cmake --build build
