#!/usr/bin/env bash
# Checks that the C and C++ files a change touches are laid out as .clang-format
# says: every tracked *.c, *.cpp and *.h that differs from BASE (default: where
# the branch left main; on main itself, every tracked file, since the whole
# tree is kept laid out). Prints the files that are not and exits 1;
# "clang-format -i FILE" lays one out.
# Usage: scripts/check_format.sh [BASE]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
base=${1:-}
if [ -z "$base" ]; then
  base=$(git merge-base HEAD origin/main 2>/dev/null || git merge-base HEAD main 2>/dev/null || true)
  # On main (or a checkout of it) there is no branch to compare with.
  [ "$base" = "$(git rev-parse HEAD)" ] && base=""
fi
if [ -z "$base" ]; then
  mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')
else
  mapfile -t files < <(git diff --name-only --diff-filter=d "$base" -- '*.c' '*.cpp' '*.h')
fi
bad=0
for f in "${files[@]}"; do
  [ -f "$f" ] || continue
  if ! clang-format --style=file --dry-run --Werror "$f" >/dev/null 2>&1; then
    echo "format: $f is not laid out as .clang-format says (clang-format -i $f)"
    bad=1
  fi
done
echo "format: ${#files[@]} files checked"
exit $bad
