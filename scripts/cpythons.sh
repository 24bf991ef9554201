#!/usr/bin/env bash
# Prints "<version> <interpreter>" for every CPython 3.11 or later this machine has, one per
# version: those under pyenv (when it is installed) and python3 / python3.X on PATH.
set -euo pipefail

candidates=()
if command -v pyenv >/dev/null; then
  for py in "$(pyenv root)"/versions/*/bin/python3; do
    [ -x "$py" ] && candidates+=("$py")
  done
fi
while read -r name; do
  candidates+=("$(command -v "$name")")
done < <(compgen -c python3 | grep -xE 'python3(\.[0-9]+)?' | sort -u)

declare -A seen=()
for py in "${candidates[@]}"; do
  # pyenv shims of versions that are not selected fail here and are skipped.
  version=$("$py" -c 'import sys
ok = sys.implementation.name == "cpython" and sys.version_info >= (3, 11)
print("%d.%d.%d" % sys.version_info[:3]) if ok else sys.exit(1)' 2>/dev/null) || continue
  [ -n "${seen[$version]:-}" ] && continue
  seen[$version]=1
  echo "$version $py"
done | sort -V
