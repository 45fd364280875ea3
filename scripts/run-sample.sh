#!/usr/bin/env bash
# Runs the module's main job on the built-in sample inventory.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" plain
echo "Module built: $top/build/plain/libtessera3_rhv.so"
