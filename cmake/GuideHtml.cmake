# Builds the program's help file: the user guide (Markdown) as one HTML
# page, with its headings as anchors for the guide's own contents links.
# Run as: cmake -DSRC=guide.md -DOUT=page.html [-DBASE=folder/] -P GuideHtml.cmake
# BASE, when given, is where the page's relative links (pictures, other
# documents) are found.
execute_process(
  COMMAND /usr/bin/python3 -m markdown -x tables -x toc -x fenced_code ${SRC}
  OUTPUT_VARIABLE _body
  RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "The user guide could not be converted to HTML (python3-markdown).")
endif()
set(_base "")
if(BASE)
  set(_base "<base href=\"file://${BASE}\">\n")
endif()
file(WRITE ${OUT}
  "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n${_base}"
  "<title>Brevant user guide</title>\n"
  "<style>body{font-family:sans-serif;max-width:52em;margin:2em auto;padding:0 1em;line-height:1.45}"
  "img{max-width:100%}code,pre{background:#f4f4f4}pre{padding:.6em;overflow:auto}"
  "table{border-collapse:collapse}td,th{border:1px solid #ccc;padding:.2em .5em}</style>\n"
  "</head>\n<body>\n${_body}\n</body>\n</html>\n")
