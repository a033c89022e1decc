#!/usr/bin/env bash
# Start-up cost of a whole brevant process for a command word that does
# nothing, against /bin/true in the same run (hyperfine medians).
# Usage: bench/foundation/startup.sh [build dir]
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
hyperfine -N --warmup 20 --runs 300 --export-json "$world/h.json" \
  "$bin/brevant nothing" "/bin/true" >/dev/null
python3 - "$world/h.json" <<'PY'
import json, sys
r = {x["command"]: x for x in json.load(open(sys.argv[1]))["results"]}
b = next(v for k, v in r.items() if "brevant" in k)
t = r["/bin/true"]
print("brevant nothing: median %.2f ms" % (b["median"] * 1e3))
print("/bin/true:       median %.2f ms" % (t["median"] * 1e3))
print("difference:      %.2f ms (goal <= 5 ms)" % ((b["median"] - t["median"]) * 1e3))
PY
