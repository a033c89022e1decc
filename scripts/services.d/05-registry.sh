#!/usr/bin/env bash
# The registry keys an installed machine has, so that start-up finds them:
# the program's keys under the current user and the local machine (with its
# version) and the fax service's sender details key. Values already there
# are kept. The shipped cover page templates go where every user's wizard
# looks for the common ones, as the package puts them: into
# $BUILD_DIR/share/brevant/Coverpages (BUILD_DIR defaults to build/), named
# by the machine's "Common AppData" and "Common Documents" folders unless
# those already name folders that exist. Without a built brevant-reg yet it
# says so and leaves it.
set -euo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
build="${BUILD_DIR:-$top/build}"
reg="$build/bin/brevant-reg"
if [ ! -x "$reg" ]; then
  echo "05-registry: brevant-reg is not built yet; keys not set up"
  exit 0
fi
for key in 'HKCU\Software\Norvane\Pelorin' 'HKCU\Software\Microsoft\Fax\UserInfo' 'HKLM\Software\Norvane\Pelorin'; do
  "$reg" query "$key" >/dev/null 2>&1 || "$reg" add "$key" >/dev/null
done
"$reg" query 'HKLM\Software\Norvane\Pelorin' -v Version >/dev/null 2>&1 ||
  "$reg" add 'HKLM\Software\Norvane\Pelorin' -v Version -d 1.0.0 >/dev/null

# The common templates, readable by every user; the older fax service looks
# in "Common AppData" + ServerCoverPageDir, the newer one in "Common
# Documents" + "My Faxes/Common Coverpages".
share="$(cd "$build" && pwd)/share/brevant"
install -d -m 0755 "$share/Coverpages" "$share/My Faxes"
install -m 0644 "$top"/coverpage/*.cov "$share/Coverpages/"
ln -sfn ../Coverpages "$share/My Faxes/Common Coverpages"
value() { { "$reg" query "$1" -v "$2" 2>/dev/null || true; } | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"; }
shell='HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders'
for name in 'Common AppData' 'Common Documents'; do
  folder="$(value "$shell" "$name")"
  if [ -z "$folder" ] || [ ! -d "$folder" ]; then
    "$reg" add "$shell" -v "$name" -d "$share" -f >/dev/null
    setup=yes
  fi
done
if [ -n "${setup:-}" ] || [ -z "$(value 'HKLM\Software\Microsoft\Fax\Setup' ServerCoverPageDir)" ]; then
  "$reg" add 'HKLM\Software\Microsoft\Fax\Setup' -v ServerCoverPageDir -d Coverpages -f >/dev/null
fi
echo "05-registry: program keys present; common cover pages in $(value "$shell" 'Common AppData')"
