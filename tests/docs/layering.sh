#!/bin/sh
# Which part of the tree may include which (docs/architecture.md): every
# quoted include of a C++ source under a folder on the left must name a
# header under one of the folders on the right. The layer over Linux knows
# nothing of the program; the fax service's protocol, client and daemon
# know nothing of the desktop; the program's own code includes nothing
# from the sibling programs in tools/.
set -u
top=${1:?usage: layering.sh SOURCE_FOLDER}
cd "$top" || exit 1
bad=0
# folder|allowed folders (space-separated prefixes); "!" marks forbidden ones
rules='platform|platform/
faxservice/protocol|platform/ faxservice/protocol/
faxservice/client|platform/ faxservice/protocol/ faxservice/client/
faxservice/daemon|platform/ faxservice/protocol/ faxservice/daemon/
app|!tools/ !tests/
common|!tools/ !tests/ !render/ !delivery/ !receive/ !wizard/ !app/
faxjob|!tools/ !tests/
render|!tools/ !tests/
delivery|!tools/ !tests/
receive|!tools/ !tests/
printing|!tools/ !tests/
maintenance|!tools/ !tests/
wizard|!tools/ !tests/'
checked=0
while IFS='|' read -r folder allowed; do
  [ -d "$folder" ] || { echo "no folder $folder"; bad=1; continue; }
  hits=$(grep -rn --include='*.cpp' --include='*.h' --include='*.c' '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$folder")
  [ -n "$hits" ] || continue
  out=$(printf '%s\n' "$hits" | while IFS= read -r hit; do
    header=$(printf '%s' "$hit" | sed 's/^[^"]*"\([^"]*\)".*$/\1/')
    case $header in */*) ;; *) continue ;; esac  # the generated Version.h and the like
    ok=0
    deny=0
    for a in $allowed; do
      case $a in
        !*) case $header in "${a#!}"*) deny=1 ;; esac ;;
        *) case $header in "$a"*) ok=1 ;; esac ;;
      esac
    done
    # A folder with only forbidden folders listed may include anything else.
    case $allowed in '!'*) [ $deny -eq 0 ] && ok=1 ;; esac
    [ $ok -eq 1 ] && [ $deny -eq 0 ] || printf '%s\n' "$hit"
  done)
  checked=$((checked + 1))
  if [ -n "$out" ]; then
    echo "$folder includes against its rule ($allowed; docs/architecture.md):"
    printf '%s\n' "$out"
    bad=1
  fi
done <<RULES
$rules
RULES
echo "$checked folders checked"
exit $bad
