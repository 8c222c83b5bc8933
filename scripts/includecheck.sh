#!/usr/bin/env bash
# Checks every #include "…" of the product's sources against the library graph written down in
# docs/ARCHITECTURE.md (the table after "<!-- include graph -->"): a library may include its own
# headers and those of the libraries it may use, directly or through one of them. Headers that are
# not in the tree (forms, the configured header, system headers) are not ours to check.
# Usage: scripts/includecheck.sh [SOURCE_DIR]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"
doc=docs/ARCHITECTURE.md
[ -f "$doc" ] || { echo "includecheck: $doc missing" >&2; exit 1; }

declare -A folder_of=() uses_of=() reach=()
names=()
while IFS='|' read -r _ name folder uses _; do
  name=$(xargs <<<"$name")
  folder=$(tr -d '`' <<<"$folder" | xargs)
  uses=$(tr -d '`—,' <<<"$uses" | xargs)
  if [ "$name" = library ] || [[ $name == -* ]]; then continue; fi
  if [ ! -e "$folder" ]; then
    echo "includecheck: $doc names $folder for $name, which does not exist" >&2
    exit 1
  fi
  names+=("$name")
  folder_of[$name]=$folder
  uses_of[$name]=$uses
done < <(sed -n '/<!-- include graph -->/,/^$/p' "$doc" | grep '^|')
if ((${#names[@]} == 0)); then
  echo "includecheck: no include graph table in $doc" >&2
  exit 1
fi

# What a library may reach: the ones it uses, and what those may reach.
closure() {
  local name=$1 dep
  if [ -n "${reach[$name]+x}" ]; then return; fi
  reach[$name]=" "
  local all=" "
  for dep in ${uses_of[$name]}; do
    if [ -z "${folder_of[$dep]+x}" ]; then
      echo "includecheck: $name uses $dep, which the table does not list" >&2
      exit 1
    fi
    closure "$dep"
    all+="$dep ${reach[$dep]} "
  done
  reach[$name]=$all
}
for n in "${names[@]}"; do closure "$n"; done

# The library a path belongs to: the longest folder (or file) in the table that holds it.
owner() {
  local path=$1 best="" len=0 n f
  for n in "${names[@]}"; do
    f=${folder_of[$n]}
    if [[ $path == "$f" || ($f == */ && $path == "$f"*) ]] && ((${#f} > len)); then
      best=$n
      len=${#f}
    fi
  done
  printf '%s' "$best"
}

bad=0
checked=0
while IFS= read -r file; do
  from=$(owner "$file")
  if [ -z "$from" ]; then
    echo "includecheck: $file belongs to no library in $doc"
    bad=$((bad + 1))
    continue
  fi
  checked=$((checked + 1))
  dir=$(dirname "$file")
  top=${file%%/*}
  while IFS=: read -r line inc; do
    target=""
    for path in "$dir/$inc" "$inc" "$top/$inc" "client/$inc" "server/$inc"; do
      if [ -f "$path" ]; then
        target=$(realpath --relative-to=. "$path")
        break
      fi
    done
    [ -n "$target" ] || continue
    to=$(owner "$target")
    if [ "$to" != "$from" ] && [[ ${reach[$from]} != *" $to "* ]]; then
      echo "includecheck: $file:$line includes $inc: $from may not use ${to:-a file outside the table}"
      bad=$((bad + 1))
    fi
  done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" \
    | sed -E 's/^([0-9]+):[^"]*"([^"]+)".*/\1:\2/' || true)
done < <(find base client janus live media protocol server tools \( -name '*.cpp' -o -name '*.h' \) | sort)

echo "includecheck: $checked files against ${#names[@]} libraries, $bad not allowed"
((bad == 0))
