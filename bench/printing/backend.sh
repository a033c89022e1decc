#!/usr/bin/env bash
# Fax printer timings.
#  1. The vestrel backend on a 20-page PDF (render + EMF pages into a
#     folder) against Ghostscript alone rendering the same PDF to 1-bit
#     images (PBM files) at the same resolution, in the same run. Target:
#     the backend takes at most 1.3 times Ghostscript's time.
#  2. The wait from submitting a one-page job to a Vestrel-style queue until
#     its page is in the spool folder (needs root and a running cupsd; a
#     private copy of the backend and a queue of its own are used and
#     removed afterwards).
#
#   bench/printing/backend.sh [BUILD_DIR]      (default: build)
set -euo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$top/build}"
backend="$build/bin/vestrel"
runs="${RUNS:-10}"
[ -x "$backend" ] || { echo "build $backend first" >&2; exit 1; }

work="$(mktemp -d /tmp/vestrel-bench-XXXXXX)"
chmod 755 "$work"
queue=""
copy=""
cleanup() {
  [ -n "$queue" ] && lpadmin -x "$queue" 2>/dev/null || true
  [ -n "$copy" ] && rm -f "$copy"
  rm -rf "$work"
}
trap cleanup EXIT

# A 20-page A4 PDF: a heading, a frame and 50 lines of text on each page.
cat >"$work/doc.ps" <<'PS'
%!PS
/Helvetica findfont 11 scalefont setfont
1 1 20 {
  /n exch def
  gsave /Helvetica-Bold findfont 28 scalefont setfont 72 770 moveto (Fax document page ) show n 3 string cvs show grestore
  1 1 50 { /l exch def 72 740 l 13 mul sub moveto
    (The quick brown fox jumps over the lazy dog; line ) show l 3 string cvs show } for
  newpath 60 60 moveto 475 0 rlineto 0 730 rlineto -475 0 rlineto closepath stroke
  showpage
} for
PS
gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pdfwrite -sPAPERSIZE=a4 -o "$work/doc.pdf" "$work/doc.ps"
mkdir -p "$work/gs" "$work/spool"

gs_cmd="rm -f $work/gs/*; gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pbmraw -r204x196 -g1728x2292 -dFIXEDMEDIA -dPDFFitPage -o $work/gs/%03d.pbm -f $work/doc.pdf"
be_cmd="rm -f $work/spool/*; DEVICE_URI=vestrel:$work/spool/ $backend 1 $(id -un) bench 1 '' $work/doc.pdf 2>/dev/null"

# Interleave the two so both see the same machine load. Wall time and CPU
# time (user + system, children included) are both reported: on a shared
# machine the CPU time is the steadier of the two.
gs_wall=(); gs_cpu=(); be_wall=(); be_cpu=()
measure() {  # command -> "wall cpu"
  /usr/bin/time -f "%e %U %S" -o "$work/time" bash -c "$1"
  awk '{printf "%s %.3f\n", $1, $2 + $3}' "$work/time"
}
bash -c "$gs_cmd"; bash -c "$be_cmd"   # warm-up
for _ in $(seq 1 "$runs"); do
  read -r w c < <(measure "$gs_cmd"); gs_wall+=("$w"); gs_cpu+=("$c")
  read -r w c < <(measure "$be_cmd"); be_wall+=("$w"); be_cpu+=("$c")
done
pages=$(ls "$work/spool" | grep -c '\.emf$')
[ "$pages" -eq 20 ] || { echo "backend wrote $pages pages, expected 20" >&2; exit 1; }
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
gw=$(median "${gs_wall[@]}"); gc=$(median "${gs_cpu[@]}")
bw=$(median "${be_wall[@]}"); bc_=$(median "${be_cpu[@]}")
printf 'Ghostscript alone (20 pages to PBM files): wall %.3f s (%.1f pages/s), cpu %.3f s\n' "$gw" "$(echo "20 / $gw" | bc -l)" "$gc"
printf 'vestrel backend   (20 pages to EMF files): wall %.3f s (%.1f pages/s), cpu %.3f s\n' "$bw" "$(echo "20 / $bw" | bc -l)" "$bc_"
printf 'ratio backend / Ghostscript: wall %.2f, cpu %.2f (target <= 1.30; medians of %d runs)\n' \
  "$(echo "$bw / $gw" | bc -l)" "$(echo "$bc_ / $gc" | bc -l)" "$runs"

# One-page job through the scheduler.
if [ "$(id -u)" -ne 0 ] || ! lpstat -r 2>/dev/null | grep -q "scheduler is running"; then
  echo "job wait: skipped (needs root and a running cupsd)"
  exit 0
fi
scheme="vestrel-b$$"
copy="/usr/lib/cups/backend/$scheme"
install -m 0700 "$backend" "$copy"
queue="BrevantBench$$"
lpadmin -p "$queue" -E -v "$scheme:$work/spool/" -P "$top/tools/vestrel/vestrel.ppd" \
  -o printer-error-policy=abort-job -o printer-is-shared=false -o printer-op-policy=authenticated 2>/dev/null
gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pdfwrite -sPAPERSIZE=a4 -dLastPage=1 -o "$work/one.pdf" "$work/doc.pdf"
waits=()
for _ in $(seq 1 "$runs"); do
  rm -f "$work/spool/"*
  t0=$(date +%s.%N)
  lp -d "$queue" "$work/one.pdf" >/dev/null
  for _ in $(seq 1 3000); do
    [ -e "$work/spool/00000001.emf" ] && break
    sleep 0.005
  done
  t1=$(date +%s.%N)
  [ -e "$work/spool/00000001.emf" ] || { echo "the page did not arrive" >&2; exit 1; }
  waits+=("$(echo "$t1 - $t0" | bc -l)")
  # Let the job leave the queue before the next one.
  for _ in $(seq 1 400); do [ -z "$(lpstat -o "$queue" 2>/dev/null)" ] && break; sleep 0.01; done
done
printf 'one-page job, submit to page present: median %.3f s, min %.3f s, max %.3f s\n' \
  "$(median "${waits[@]}")" "$(printf '%s\n' "${waits[@]}" | sort -g | head -1)" \
  "$(printf '%s\n' "${waits[@]}" | sort -g | tail -1)"
