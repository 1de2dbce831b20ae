#!/usr/bin/env bash
# Fails when a program's --help names an option that its manual page lacks.
#
#   check-man-pages.sh MANPAGE PROGRAM [ARGS...]
#
# Runs PROGRAM ARGS --help and takes the options from its option lines (lines that start, after
# blanks, with a dash: "  -h, --help  ..." gives -h and --help), then looks for each in MANPAGE
# with the roff escapes taken out.
set -euo pipefail
[[ $# -ge 2 ]] || { echo "usage: check-man-pages.sh MANPAGE PROGRAM [ARGS...]" >&2; exit 64; }
page=$1
shift

help=$("$@" --help) || { echo "check-man-pages: '$* --help' failed" >&2; exit 1; }
# Font changes and escaped hyphens out, so that "\fB\-\-server\fR" reads "--server".
text=$(sed -e 's/\\f[BIRP]//g' -e 's/\\f(..//g' -e 's/\\-/-/g' -e 's/\\(em/ /g' "$page")

options=()
while IFS= read -r line; do
  [[ $line =~ ^[[:space:]]+- ]] || continue
  read -r -a words <<<"$line"
  for word in "${words[@]}"; do
    [[ $word == -* ]] || break
    word=${word%,}
    word=${word%%=*}
    [[ $word =~ ^--?[A-Za-z0-9][A-Za-z0-9-]*$ ]] && options+=("$word")
  done
done <<<"$help"

[[ ${#options[@]} -gt 0 ]] || { echo "check-man-pages: no options found in '$* --help'" >&2; exit 1; }

missing=()
for option in "${options[@]}"; do
  grep -Eq -- "(^|[^A-Za-z0-9-])${option}([^A-Za-z0-9-]|$)" <<<"$text" || missing+=("$option")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  echo "check-man-pages: $(basename "$page") lacks ${missing[*]} (named by '$* --help')" >&2
  exit 1
fi
echo "check-man-pages: $(basename "$page") names all ${#options[@]} options of --help"
