#!/usr/bin/env bash
# Copyright 2026 The Talvimer Authors
# SPDX-License-Identifier: MIT
#
# Configures and builds Talvimer into build/.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build build -j"$(nproc)"
