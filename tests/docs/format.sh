#!/bin/sh
# The C++ sources are laid out as .clang-format says: a change that was not
# run through clang-format fails here, naming the file and line.
set -u
top=${1:?usage: format.sh SOURCE_FOLDER}
cd "$top" || exit 1
command -v clang-format >/dev/null || { echo "clang-format is not installed (scripts/deps.d/base.list)"; exit 1; }
if git rev-parse --git-dir >/dev/null 2>&1; then
  files=$(git ls-files '*.cpp' '*.h')
else
  files=$(find . \( -name 'build*' -prune \) -o \( -name '*.cpp' -o -name '*.h' \) -print)
fi
# shellcheck disable=SC2086
clang-format --dry-run --Werror $files && echo "$(printf '%s\n' $files | wc -l) files laid out as .clang-format says"
