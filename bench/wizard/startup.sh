#!/usr/bin/env bash
# Start-up cost of `brevant`: a command word that opens no window must stay
# close to /bin/true (the window library is not loaded), and the time until
# the first wizard page is drawn (window library loaded, page built; run
# unattended off screen, so it ends once the page is up).
set -euo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
bin="${BUILD_DIR:-$top/build}/bin"
world="$(mktemp -d)"
trap 'rm -rf "$world"' EXIT
export BREVANT_PROGRAM_DIR="$world/prog" BREVANT_REGISTRY_DIR="$world/reg" BREVANT_RUNTIME_DIR="$world/run"
mkdir -p "$BREVANT_PROGRAM_DIR" "$BREVANT_REGISTRY_DIR" "$BREVANT_RUNTIME_DIR"
hyperfine -N --warmup 20 --runs "${RUNS:-200}" \
  "/bin/true" \
  "$bin/brevant help" \
  "$bin/brevant pause" \
  "env BREVANT_UNATTENDED=1 QT_QPA_PLATFORM=offscreen $bin/brevant new;0;Ann#Bob#;5551234#5559876#;"
