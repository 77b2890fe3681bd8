#!/usr/bin/env bash
# Installs what is needed, builds the program and runs its main job: the sample movie is
# converted with the default profile (the stored choice, else profile 1) into the output folder
# (the stored one, else ~/Videos/videoconverter; KAVLO_OUTPUT_DIR overrides it).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKAVLO_BUILD_TESTS=OFF -DKAVLO_BUILD_BENCH=OFF
cmake --build build

sample="build/sample/kavlo-sample.mov"
if [ ! -s "$sample" ]; then
  mkdir -p "$(dirname "$sample")"
  ./build/bin/kavlo-fixtures sample "$sample"
fi

args=(--json)
if [ -n "${KAVLO_OUTPUT_DIR:-}" ]; then
  args+=(--output-dir "$KAVLO_OUTPUT_DIR")
fi
report="$(./build/bin/kavlo-convert "${args[@]}" "$sample")"
output="$(printf '%s\n' "$report" | sed -n 's/.*"output":"\([^"]*\)".*/\1/p')"
echo "Converted $sample"
echo "Output: $output"
