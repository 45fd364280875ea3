#!/usr/bin/env bash
# Runs the module's round trip on the built-in sample inventory: a backup job, made from job
# documents through the module's factories, backs up VMs of an engine simulator through
# servant processes into a local pool and catalog; then a restore job, made the same way,
# restores them as new VMs. It prints both job results, where the backup went, and checks
# every restored disk against its source byte for byte (exit status 0 when all is well).
# Nothing else needs setting up. Extra arguments go to the sample program (e.g.
# --size-factor 16 for larger disks).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
dir="$top/build/plain"
cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j"$(nproc)" --target rhv_module servant_host sample_road
exec "$dir/hosts/sample_road" "$@"
