#!/usr/bin/env bash
# Copyright 2026 The Talvimer Authors
# SPDX-License-Identifier: MIT
#
# Installs what is missing, builds Talvimer with its tests and runs every test.
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh
tools/build.sh
ctest --test-dir build --output-on-failure --timeout 600
