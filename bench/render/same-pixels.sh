#!/usr/bin/env bash
# Checks that two builds make the same fax image: renders a 10-page and a
# 100-page PDF with this build's fax printer backend, runs each build's
# console tool ("spool;") on the same page files and compares "Fax.tif" and
# "FaxPreview.tif" page by page and pixel by pixel (tiffcmp). This build's
# tool also runs as the pipeline runs it ("spool;follow;"): started first,
# fed the page files one by one as the fax printer writes them (renamed
# into place), its images compared the same way.
#
#   bench/render/same-pixels.sh OTHER_BIN_DIR     (e.g. a copy of main's build/bin)
set -euo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
bin="${BUILD_DIR:-$top/build}/bin"
other="${1:?usage: same-pixels.sh OTHER_BIN_DIR}"
source "$(dirname "$0")/pages.sh"
work="$(mktemp -d /tmp/brevant-pixels-XXXXXX)"
trap 'rm -rf "$work"' EXIT
export BREVANT_REGISTRY_DIR="$work/reg" BREVANT_RUNTIME_DIR="$work/run" BREVANT_UNATTENDED=1
for pages in 10 100; do
  bench_pages "$pages" "$work/doc.ps" grey
  gs -q -dNOPAUSE -dBATCH -sDEVICE=pdfwrite -o "$work/doc.pdf" "$work/doc.ps"
  # Run by hand, the backend renders as lp (it never renders as root) into
  # a folder of lp's own.
  chmod 0755 "$work"
  mkdir -p "$work/pages"
  rm -f "$work/pages"/*
  [ "$(id -u)" -eq 0 ] && chown lp "$work/pages"
  DEVICE_URI="vestrel:$work/pages/" "$bin/vestrel" 1 "$(id -un)" doc 1 "" "$work/doc.pdf" 2>/dev/null
  for b in this other; do
    dir="$bin"; [ "$b" = other ] && dir="$other"
    mkdir -p "$work/$b/QuorSpool"
    cp "$work/pages"/*.emf "$work/$b/QuorSpool/"
    BREVANT_PROGRAM_DIR="$work/$b" "$dir/quorrender" "spool;silent;"
  done
  spool="$work/follow/QuorSpool/"
  mkdir -p "$spool"
  rm -f "$work/go" "$work/follow"/*.log
  mkfifo "$work/go"
  BREVANT_PROGRAM_DIR="$work/follow" "$bin/quorrender" "spool;silent;follow;" < "$work/go" &
  tool=$!
  exec 3> "$work/go"
  for p in "$work/pages"/*.emf; do
    cp "$p" "$spool$(basename "$p").part"
    mv "$spool$(basename "$p").part" "$spool$(basename "$p")"
  done
  sleep 1
  exec 3>&-
  wait "$tool"
  grep -ho "[0-9]* page(s) encoded while printing" "$work/follow"/*.log | sed "s/^/$pages pages, follow: /" || true
  for b in this follow; do
    for f in Fax.tif FaxPreview.tif; do
      # tiffcmp names each directory it compares and prints any difference
      # in tags or scanlines beside; only the directory lines mean the same.
      diffs=$(tiffcmp "$work/$b/QuorSpool/$f" "$work/other/QuorSpool/$f" | grep -cvE '^Directory [0-9]+:$' || true)
      if [ "$diffs" -eq 0 ]; then
        echo "$pages pages, $b, $f: same pixels"
      else
        echo "$pages pages, $b, $f: DIFFERENT"; exit 1
      fi
    done
  done
done
