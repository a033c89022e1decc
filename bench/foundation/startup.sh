#!/usr/bin/env bash
# Start-up cost of a whole brevant process for a command word that does
# nothing, against /bin/true in the same run (hyperfine medians).
# Usage: bench/foundation/startup.sh [build dir]
# BASE_BIN (another build's bin folder) times that build's brevant beside.
set -euo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
bin="${1:-$top/build}/bin"
world="$(mktemp -d)"
trap 'rm -rf "$world"' EXIT
export BREVANT_REGISTRY_DIR="$world/reg" BREVANT_PROGRAM_DIR="$world/prog" BREVANT_RUNTIME_DIR="$world/run"
mkdir -p "$BREVANT_PROGRAM_DIR"
# An installed machine: the keys start-up reads exist.
for k in 'HKCU\Software\Norvane\Pelorin' 'HKCU\Software\Microsoft\Fax\UserInfo' \
         'HKLM\Software\Microsoft\Fax\Inbox' 'HKLM\Software\Microsoft\Fax\SentItems'; do
  "$bin/brevant-reg" add "$k" >/dev/null
done
base=()
[ -n "${BASE_BIN:-}" ] && base=("$BASE_BIN/brevant nothing")
hyperfine -N --warmup 20 --runs 300 --export-json "$world/h.json" \
  "$bin/brevant nothing" "${base[@]}" "/bin/true" >/dev/null
python3 - "$world/h.json" <<'PY'
import json, sys
r = {x["command"]: x for x in json.load(open(sys.argv[1]))["results"]}
t = r["/bin/true"]
print("/bin/true:       median %.2f ms" % (t["median"] * 1e3))
for k, b in r.items():
    if "brevant" not in k:
        continue
    print("%s: median %.2f ms, %.2f ms over /bin/true (goal <= 5 ms)" %
          (k.split()[0], b["median"] * 1e3, (b["median"] - t["median"]) * 1e3))
PY
