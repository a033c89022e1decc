#!/bin/sh
# Every BREVANT_* variable the programs read is read in one place
# (platform/env) and documented in a manual page; no other C++ source reads
# one with getenv. (The integration components, plain C libraries loaded
# into other programs, keep their own.)
set -u
top=${1:?usage: environment.sh SOURCE_FOLDER}
bad=0
names=$(grep -o '"BREVANT_[A-Z_]*"' "$top/platform/env/Environment.cpp" | tr -d '"' | sort -u)
[ -n "$names" ] || { echo "no variables found in platform/env/Environment.cpp"; exit 1; }
for n in $names; do
  grep -q "^\.B.* $n\b\|^\.B $n\$\|^\.BR $n " "$top"/docs/man/*.[1-8] || { echo "$n is not documented in docs/man"; bad=1; }
done
stray=$(grep -rn 'getenv("BREVANT_\|EnvironmentVariable[A-Za-z]*("BREVANT_' --include=*.cpp --include=*.h \
  "$top/app" "$top/common" "$top/platform" "$top/render" "$top/delivery" "$top/receive" "$top/maintenance" \
  "$top/wizard" "$top/printing" "$top/coverpage" "$top/faxjob" "$top/tools" "$top/faxservice" 2>/dev/null | grep -v '/platform/env/')
[ -z "$stray" ] || { echo "read outside platform/env:"; echo "$stray"; bad=1; }
echo "$(echo "$names" | wc -l) variables"
exit $bad
