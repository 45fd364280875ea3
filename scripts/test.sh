#!/usr/bin/env bash
# test.sh [plain|asan|tsan]: installs what is missing, builds, and runs every test.
set -euo pipefail
flavour=${1:-plain}
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" "$flavour"
export ASAN_OPTIONS=${ASAN_OPTIONS:-fast_unwind_on_malloc=0:detect_leaks=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$top/scripts/lsan.supp}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
cd "$top/build/$flavour"
select=()
[ "$flavour" = tsan ] && select=(-L threaded)
ctest --output-on-failure -j"$(nproc)" --timeout 300 "${select[@]}"
