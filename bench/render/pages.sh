# Sourced by the render benchmarks: bench_pages N FILE [grey] writes a
# PostScript program of N A4 pages of typed text (with a grey square on
# every third page when "grey" is given), for Ghostscript to make a PDF of.
bench_pages() {
  local square=""
  [ "${3:-}" = grey ] &&
    square="  p 3 mod 0 eq { 300 300 moveto 200 0 rlineto 0 200 rlineto closepath 0.5 setgray fill 0 setgray } if"
  cat >"$2" <<PS
/Helvetica findfont 11 scalefont setfont
1 1 $1 {
  /p exch def
  << /PageSize [595 842] >> setpagedevice
  72 780 moveto /Helvetica-Bold findfont 16 scalefont setfont
  (Brevant benchmark - page ) show p 3 string cvs show
  /Helvetica findfont 11 scalefont setfont
  0 1 52 { /l exch def 72 750 l 13 mul sub moveto
    (The quick brown fox jumps over the lazy dog; fax line ) show l 3 string cvs show } for
$square
  showpage
} for
PS
}
