#!/usr/bin/env bash
# A 10-page (PAGES=100: 100-page) A4 PDF through the whole fax image pipeline (CUPS queue,
# filters, the fax printer backend, the console tool) against Ghostscript
# making a G4 fax TIFF of the same PDF directly, in the same run; then the
# pipeline's time split into its parts.
#
#   bench/render/pipeline.sh [RUNS]        (root, cupsd running, build/ built)
#
# Uses a queue of its own (served by a copy of build/bin/vestrel), so the
# installed "Vestrel" queue is left alone. BUILD_DIR picks another build;
# BASE_BIN (another build's bin folder with render-pipeline and quorrender)
# times that build's whole pipeline in the same runs.
set -euo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
bin="${BUILD_DIR:-$top/build}/bin"
runs="${1:-3}"
pages_in="${PAGES:-10}"
for t in render-pipeline quorrender vestrel; do
  [ -x "$bin/$t" ] || { echo "pipeline.sh: $bin/$t missing; build it first" >&2; exit 1; }
done
[ "$(id -u)" -eq 0 ] || { echo "pipeline.sh: run as root (it adds a CUPS queue)" >&2; exit 1; }
bash "$top/scripts/services.d/10-cups.sh"

work="$(mktemp -d /tmp/brevant-bench-XXXXXX)"
tag="b$$"
queue="BrevantBench$tag"
backend="/usr/lib/cups/backend/vestrel-$tag"
cleanup() {
  cancel -a "$queue" 2>/dev/null || true
  lpadmin -x "$queue" 2>/dev/null || true
  rm -f "$backend"
  rm -rf "$work"
}
trap cleanup EXIT

spool="$work/prog/QuorSpool/"
mkdir -p "$spool" "$work/reg" "$work/run" "$work/tmp" "$work/home"
install -m 0700 "$bin/vestrel" "$backend"
lpadmin -p "$queue" -E -v "vestrel-$tag:$spool" -P "$top/tools/vestrel/vestrel.ppd" \
  -o printer-error-policy=abort-job -o printer-op-policy=authenticated 2>/dev/null
export BREVANT_PROGRAM_DIR="$work/prog" BREVANT_REGISTRY_DIR="$work/reg" BREVANT_RUNTIME_DIR="$work/run"
export TMPDIR="$work/tmp" BREVANT_UNATTENDED=1 BREVANT_FAX_PRINTER="$queue" HOME="$work/home"

# Pages of typed text, made by Ghostscript from a small PostScript program.
source "$top/bench/render/pages.sh"
bench_pages "$pages_in" "$work/ten.ps"
gs -q -dNOPAUSE -dBATCH -sDEVICE=pdfwrite -o "$work/ten.pdf" "$work/ten.ps"

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc; }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
fastest() { sort -n | head -1; }

base="${BASE_BIN:-}"
gs_times=() pipe_times=() base_times=() print_times=() tool_times=() backend_gs_times=()
for i in $(seq 1 "$runs"); do
  t0=$(now)
  gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=tiffg4 -r204x196 -sPAPERSIZE=a4 -dFIXEDMEDIA -dPDFFitPage \
    -o "$work/gs.tif" "$work/ten.pdf"
  gs_times+=("$(elapsed "$t0" "$(now)")")

  t0=$(now)
  "$bin/render-pipeline" "$work/ten.pdf" > "$work/pipe.out"
  pipe_times+=("$(elapsed "$t0" "$(now)")")
  pages=$(tiffinfo "$spool/Fax.tif" 2>/dev/null | grep -c "TIFF Directory")
  ahead=$(grep -o '[0-9]* page(s) encoded while printing' "$work/prog/quorrender.log" 2>/dev/null | tail -1 | cut -d' ' -f1)
  if [ -n "$base" ]; then
    t0=$(now)
    "$base/render-pipeline" "$work/ten.pdf" > "$work/pipe.out"
    base_times+=("$(elapsed "$t0" "$(now)")")
  fi

  # The parts: the print system alone (submit, filters, backend, pages
  # written, job gone), then the console tool alone on those pages.
  rm -f "$spool"/*
  t0=$(now)
  lp -d "$queue" "$work/ten.pdf" > /dev/null
  while [ -n "$(lpstat -o "$queue" 2>/dev/null)" ]; do sleep 0.01; done
  print_times+=("$(elapsed "$t0" "$(now)")")
  t0=$(now)
  "$bin/quorrender" "spool;silent;"
  tool_times+=("$(elapsed "$t0" "$(now)")")

  # What the backend's own Ghostscript run costs, outside CUPS.
  t0=$(now)
  gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pbmraw -r204x196 -g1728x2292 -dFIXEDMEDIA -dPDFFitPage \
    -o "$work/p%03d.pbm" "$work/ten.pdf"
  backend_gs_times+=("$(elapsed "$t0" "$(now)")")
done

g=$(printf '%s\n' "${gs_times[@]}" | median)
p=$(printf '%s\n' "${pipe_times[@]}" | median)
pr=$(printf '%s\n' "${print_times[@]}" | median)
q=$(printf '%s\n' "${tool_times[@]}" | median)
bg=$(printf '%s\n' "${backend_gs_times[@]}" | median)
gf=$(printf '%s\n' "${gs_times[@]}" | fastest)
pf=$(printf '%s\n' "${pipe_times[@]}" | fastest)
printf 'pages in Fax.tif:                         %s (%s-page PDF, medians of %s runs; fastest run in brackets)\n' \
  "$pages" "$pages_in" "$runs"
printf 'gs -sDEVICE=tiffg4 -r204x196:             %.3f s  [%.3f s]\n' "$g" "$gf"
printf 'whole pipeline (render-pipeline):         %.3f s  (%.2fx Ghostscript)  [%.3f s, %.2fx]\n' \
  "$p" "$(echo "$p / $g" | bc -l)" "$pf" "$(echo "$pf / $gf" | bc -l)"
if [ -n "$base" ]; then
  b=$(printf '%s\n' "${base_times[@]}" | median)
  bf=$(printf '%s\n' "${base_times[@]}" | fastest)
  printf 'the other build'"'"'s pipeline (BASE_BIN):   %.3f s  (%.2fx Ghostscript)  [%.3f s, %.2fx]\n' \
    "$b" "$(echo "$b / $g" | bc -l)" "$bf" "$(echo "$bf / $gf" | bc -l)"
  printf '  this build against the other:           %.2fx\n' "$(echo "$p / $b" | bc -l)"
fi
printf '  print system (lp -> queue empty):       %.3f s\n' "$pr"
printf '    of which Ghostscript at fax res:      %.3f s\n' "$bg"
printf '    dispatch, pdftopdf, backend, waits:   %.3f s\n' "$(echo "$pr - $bg" | bc -l)"
printf '  console tool (quorrender spool;):       %.3f s  (overlapped with printing)\n' "$q"
printf 'pages this build'"'"'s console tool had encoded when printing ended (last run): %s\n' "$ahead"
printf 'load average: %s\n' "$(cut -d' ' -f1-3 /proc/loadavg)"
