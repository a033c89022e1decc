#!/usr/bin/env bash
# The registry keys an installed machine has, so that start-up finds them:
# the program's keys under the current user and the local machine (with its
# version) and the fax service's sender details key. Values already there
# are kept. Without a built brevant-reg yet it says so and leaves it.
set -euo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
reg="$top/build/bin/brevant-reg"
if [ ! -x "$reg" ]; then
  echo "05-registry: brevant-reg is not built yet; keys not set up"
  exit 0
fi
for key in 'HKCU\Software\Norvane\Pelorin' 'HKCU\Software\Microsoft\Fax\UserInfo' 'HKLM\Software\Norvane\Pelorin'; do
  "$reg" query "$key" >/dev/null 2>&1 || "$reg" add "$key" >/dev/null
done
"$reg" query 'HKLM\Software\Norvane\Pelorin' -v Version >/dev/null 2>&1 ||
  "$reg" add 'HKLM\Software\Norvane\Pelorin' -v Version -d 1.0.0 >/dev/null
echo "05-registry: program keys present"
