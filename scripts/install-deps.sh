#!/usr/bin/env bash
# Installs every package the build, the program and the tests need on a fresh Debian 12 machine.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends \
  build-essential cmake ninja-build pkg-config git ca-certificates \
  libavcodec-dev libavformat-dev libavutil-dev libavfilter-dev libswscale-dev libswresample-dev \
  libavcodec-extra \
  libsdl2-dev \
  qt6-base-dev qt6-base-dev-tools libgl-dev \
  fonts-dejavu-core fontconfig \
  libgtest-dev libgmock-dev libbenchmark-dev \
  xvfb xauth
