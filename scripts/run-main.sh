#!/usr/bin/env bash
# Installs what is needed, builds the program and runs its main job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKAVLO_BUILD_TESTS=OFF -DKAVLO_BUILD_BENCH=OFF
cmake --build build
out="${KAVLO_OUTPUT_DIR:-$HOME/Videos/videoconverter}"
mkdir -p "$out"
./build/bin/kavlo-fixtures sample "$out/kavlo-sample.mov"
