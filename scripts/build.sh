#!/usr/bin/env bash
# build.sh [plain|asan|tsan]: configures and builds one flavour into build/<flavour>.
set -euo pipefail
flavour=${1:-plain}
top=$(cd "$(dirname "$0")/.." && pwd)
case "$flavour" in
  plain) san="" ; bench=ON ; target=all ;;
  asan)  san="address" ; bench=OFF ; target=all ;;
  # The ThreadSanitizer run covers the threaded programs only: build just those.
  tsan)  san="thread" ; bench=OFF ; target=threaded_tests ;;
  *) echo "unknown build flavour '$flavour'" >&2; exit 2 ;;
esac
dir="$top/build/$flavour"
cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE="$san" -DRHV_BUILD_BENCH="$bench" >/dev/null
cmake --build "$dir" -j"$(nproc)" --target "$target"
