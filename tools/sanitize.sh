#!/usr/bin/env bash
# Copyright 2026 The Talvimer Authors
# SPDX-License-Identifier: MIT
#
# Builds the suites that never load Qt WebEngine with AddressSanitizer and
# UndefinedBehaviorSanitizer into build-asan/ and runs them. Fails on any failing test and on
# any sanitizer report, even one a death test's child would otherwise keep to itself.
#
#   tools/sanitize.sh              configure, build and run
#   tools/sanitize.sh --no-build   run what build-asan/ already holds
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-asan

build_wanted=1
[[ "${1:-}" == "--no-build" ]] && build_wanted=0

# Every executable the encoder suite declares, so that a suite added there is picked up too.
mapfile -t encoder_targets < <(sed -n 's/^[[:space:]]*add_executable(\([A-Za-z0-9_]*\).*/\1/p' \
  tests/encoder/CMakeLists.txt)
if [[ ${#encoder_targets[@]} -eq 0 ]]; then
  echo "sanitize: no encoder test target in tests/encoder/CMakeLists.txt" >&2
  exit 1
fi
targets=("${encoder_targets[@]}" query_url_test layout_arithmetic_test shell_state_test)

if [[ $build_wanted -eq 1 ]]; then
  # Debug info without optimisation keeps the reports' stacks whole; benchmarks need no check.
  cmake -S . -B "$build" -DTALVIMER_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
    -DTALVIMER_BUILD_BENCHMARKS=OFF -DBUILD_TESTING=ON >/dev/null
  cmake --build "$build" -j"${SANITIZE_JOBS:-2}" --target "${targets[@]}"
fi

export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
failed=()
for target in "${targets[@]}"; do
  binary=$(find "$build/tests" -type f -name "$target" -perm -u+x | head -n 1)
  if [[ -z "$binary" ]]; then
    echo "sanitize: $target was not built" >&2
    failed+=("$target")
    continue
  fi
  options=$ASAN_OPTIONS
  if [[ "$target" == shell_state_test ]]; then
    # Its death test wants a huge allocation to fail into the new handler and so into the
    # fatal stop, as it does without a sanitizer, instead of ASan aborting on the spot.
    options=$ASAN_OPTIONS:allocator_may_return_null=1
  fi
  echo "== $target"
  status=0
  ASAN_OPTIONS=$options "$binary" --gtest_brief=1 >"$logs/$target.log" 2>&1 || status=$?
  # Any report fails the suite, even one whose process still ended with status 0.
  if grep -Eq 'ERROR: (Address|Leak)Sanitizer|runtime error:|SUMMARY: (Address|Undefined)' \
    "$logs/$target.log" && [[ $status -eq 0 ]]; then
    status=1
  fi
  if [[ $status -ne 0 ]]; then
    cat "$logs/$target.log"
    echo "sanitize: $target FAILED (status $status)" >&2
    failed+=("$target")
  else
    tail -n 1 "$logs/$target.log"
  fi
done

if [[ ${#failed[@]} -ne 0 ]]; then
  echo "sanitize: failed: ${failed[*]}" >&2
  exit 1
fi
echo "sanitize: ${#targets[@]} suites clean under AddressSanitizer and UndefinedBehaviorSanitizer"
