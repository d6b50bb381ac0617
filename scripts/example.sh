#!/usr/bin/env bash
# Builds hdrweights and scans the bundled example messages with the example
# configuration (rule file examples/kelv, key from examples/client-cert.pem).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target hdrweights_cli hdrweights_module
"$build/bin/hdrweights" scan --config "$root/examples/server.xml" "$root/examples/messages"
