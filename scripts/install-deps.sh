#!/usr/bin/env bash
# Installs what building and testing Clipwright needs on Debian 12 (run as root).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends \
  build-essential cmake ninja-build pkg-config \
  googletest libgtest-dev libgmock-dev libcli11-dev \
  ffmpeg clang libclang-rt-14-dev libfaad2 libfaad-dev \
  qt6-base-dev man-db
