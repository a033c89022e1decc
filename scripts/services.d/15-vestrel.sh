#!/usr/bin/env bash
# Creates (or updates in place) the fax printer queue "Vestrel" with the
# backend of this build, writing each user's pages where that user's Brevant
# of this build reads them (see scripts/setup-printer). Without a built
# backend yet it says so and leaves it.
set -euo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
if [ ! -x "$top/build/bin/vestrel" ]; then
  echo "15-vestrel: the vestrel backend is not built yet; queue not set up"
  exit 0
fi
bash "$top/scripts/setup-printer"
