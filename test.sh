#!/usr/bin/env bash
# Copyright 2026 The Talvimer Authors
# SPDX-License-Identifier: MIT
#
# Installs what is missing, builds Talvimer with its tests and runs every test: first the
# suites that load no browser under AddressSanitizer and UndefinedBehaviorSanitizer, then all.
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh
tools/build.sh
tools/sanitize.sh
ctest --test-dir build --output-on-failure --timeout 600
