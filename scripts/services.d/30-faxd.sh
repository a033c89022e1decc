#!/usr/bin/env bash
# Starts the fax service (brevant-faxd) in the background with its state
# folder, unless it already answers. Writes the fax service's folders into
# the registry first (scripts/setup-faxservice). Without a built daemon yet
# (services start before the first build) it says so and leaves it.
set -euo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
faxd="${BREVANT_FAXD:-}"
for c in "$faxd" "$top/build/bin/brevant-faxd" "$(command -v brevant-faxd || true)"; do
  if [ -n "$c" ] && [ -x "$c" ]; then faxd="$c"; break; fi
done
if [ -z "$faxd" ] || [ ! -x "$faxd" ]; then
  echo "30-faxd: brevant-faxd is not built yet; not started"
  exit 0
fi
if "$faxd" status >/dev/null 2>&1; then
  echo "30-faxd: brevant-faxd already running"
  exit 0
fi
bash "$top/scripts/setup-faxservice" || true
# --daemon returns once the service listens (or failed to start).
if "$faxd" --daemon; then
  echo "30-faxd: brevant-faxd started"
else
  echo "30-faxd: brevant-faxd did not start (see its faxd.log in the state folder)" >&2
  exit 1
fi
