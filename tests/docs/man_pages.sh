#!/bin/sh
# Formats every manual page of the folder given with groff's man macros and
# all warnings on (-ww), output thrown away (-z). Any warning, any error, a
# folder without pages or a machine without groff fails.
set -u
dir=${1:?usage: man_pages.sh MAN_FOLDER}
if ! command -v groff >/dev/null 2>&1; then
  echo "groff is not installed (Debian package groff-base)"
  exit 1
fi
pages=0
bad=0
for page in "$dir"/*.[1-8]; do
  [ -f "$page" ] || continue
  pages=$((pages + 1))
  out=$(groff -man -ww -z "$page" 2>&1)
  rc=$?
  if [ "$rc" -ne 0 ] || [ -n "$out" ]; then
    printf '%s (groff status %s):\n%s\n' "$page" "$rc" "$out"
    bad=$((bad + 1))
  fi
done
if [ "$pages" -eq 0 ]; then
  echo "no manual pages in $dir"
  exit 1
fi
echo "$pages manual pages, $bad with warnings"
[ "$bad" -eq 0 ]
