#!/usr/bin/env bash
# build.sh [plain|asan|tsan]: configures and builds one flavour into build/<flavour>.
set -euo pipefail
flavour=${1:-plain}
top=$(cd "$(dirname "$0")/.." && pwd)
case "$flavour" in
  plain) san="" ;;
  asan)  san="address" ;;
  tsan)  san="thread" ;;
  *) echo "unknown build flavour '$flavour'" >&2; exit 2 ;;
esac
dir="$top/build/$flavour"
cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE="$san" >/dev/null
cmake --build "$dir" -j"$(nproc)"
