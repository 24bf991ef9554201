#!/usr/bin/env bash
# Mutation run over the memory orderings: weakens each acquire, release, acq_rel and seq_cst
# on the publish, read, hold, claim, takeover and doorbell paths to relaxed, one at a time,
# rebuilds the TSan build of the C++ suites that exercise that code and runs them. Prints a
# Markdown table of which weakenings the suites catch (a TSan report or a failed test) and
# which pass unnoticed.
# Slow: not part of scripts/test.sh.
#
#   bash scripts/weaken_orderings.sh [seconds per suite run, default 300] [repeats, default 3]
# Writes build/weaken/table.md and a log per site in build/weaken/logs/.
#
# Each mutant is a rebuild of a copy of the tree with relaxed written at that one site (an
# order chosen at run time would not do: compilers treat a non-constant order as seq_cst).
# A failure is run `repeats` times more, weakened and unweakened (a copy of the binaries built
# first), to tell a catch from a flaky test. QUILLMERE_WEAKEN_FROM=<n> and
# QUILLMERE_WEAKEN_TO=<m> limit the run to sites n..m (appending to the table).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bound=${1:-300}
repeats=${2:-3}
work=$root/build/weaken
src=$work/src
bin=$work/build
logs=$work/logs
venv=$root/build/venv
jobs=${QUILLMERE_JOBS:-$(nproc)}
rm -rf "$logs" && mkdir -p "$src" "$logs"
[ -x "$venv/bin/cmake" ] && export PATH=$venv/bin:$PATH

files=(
  quillmere-core/src/writer.hpp quillmere-core/src/writer.cpp quillmere-core/src/reader.hpp
  quillmere-core/src/release_hold.hpp quillmere-core/src/metadata.cpp
  quillmere-core/src/trailer.cpp quillmere-core/src/doorbell.hpp quillmere-core/src/doorbell.cpp
  quillmere/src/roles.cpp quillmere/src/python/binding.hpp
  tools/src/doorbell_wait.cpp tools/src/channel_view.cpp tools/src/segment_view.cpp
  tools/src/python/reader_access.cpp
)
pattern='std::memory_order_\(acquire\|release\|acq_rel\|seq_cst\)'

suites_for() {  # file: the test binaries that run its code in the TSan build
  case $1 in
    */python/*) ;;  # the Python bindings are not part of the TSan build
    quillmere-core/src/doorbell.* | tools/src/*) echo tools_tests ;;
    quillmere/src/*) echo channel_tests ;;
    *) echo core_tests ;;  # the threaded stress and race tests of the ring protocol
  esac
}

# The tracked files, copied where they changed (a fresh mtime: rebuilt); sites.txt lists the
# sites as "id file line order".
git ls-files -z | while IFS= read -r -d '' file; do
  [ -f "$file" ] || continue
  cmp -s "$file" "$src/$file" 2>/dev/null && continue
  mkdir -p "$(dirname "$src/$file")"
  cp "$file" "$src/$file"
done
: >"$work/sites.txt"
id=0
for file in "${files[@]}"; do
  while IFS=: read -r line _; do
    order=$(sed -n "${line}p" "$src/$file" | grep -o "$pattern" | head -n1)
    echo "$id $file $line ${order#std::memory_order_}" >>"$work/sites.txt"
    id=$((id + 1))
  done < <(grep -n "$pattern" "$src/$file")
done

# The TSan configuration of the presets, without debug information (faster rebuilds).
cmake -S "$src" -B "$bin" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMERE_SANITIZE=thread \
  -DQUILLMERE_BUILD_TESTS=ON -DQUILLMERE_BUILD_PYTHON=OFF \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" >/dev/null
targets=(core_tests channel_tests tools_tests)
cmake --build "$bin" -j "$jobs" --target "${targets[@]}" >/dev/null
mkdir -p "$work/unweakened"
for target in "${targets[@]}"; do cp "$bin/tests/cpp/$target" "$work/unweakened/"; done

run_suites() {  # directory of the binaries, log, suites...: prints the outcome
  local dir=$1 log=$2 suite rc
  shift 2
  : >"$log"
  for suite in "$@"; do
    set +e
    TSAN_OPTIONS=halt_on_error=1 timeout "$bound" "$dir/$suite" >>"$log" 2>&1
    rc=$?
    set -e
    if grep -q 'WARNING: ThreadSanitizer' "$log"; then
      echo "TSan: $(grep -m1 -o 'WARNING: ThreadSanitizer: [a-z -]*' "$log" | cut -c 28-) ($suite)"
      return
    elif ((rc == 124)); then
      echo "hang: over ${bound}s ($suite)"
      return
    elif ((rc != 0)); then
      echo "failed: $(grep -m1 -o '\[  FAILED  \] [A-Za-z_/.0-9]*' "$log" | cut -c 14-)"
      return
    fi
  done
  echo passed
}

baseline=$(run_suites "$work/unweakened" "$logs/baseline.log" "${targets[@]}")
echo "baseline: $baseline" >&2
[ "$baseline" = passed ] || { echo "the unweakened build must pass first" >&2; exit 1; }

table=$work/table.md
[ -n "${QUILLMERE_WEAKEN_FROM:-}${QUILLMERE_WEAKEN_TO:-}" ] || {
  echo "| site | weakened to relaxed | suites | outcome |"
  echo "| --- | --- | --- | --- |"
} >"$table"
while read -r site file line order; do
  ((site >= ${QUILLMERE_WEAKEN_FROM:-0} && site <= ${QUILLMERE_WEAKEN_TO:-1000000})) || continue
  read -r -a suites <<<"$(suites_for "$file")"
  if ((${#suites[@]} == 0)); then
    outcome="not run: not in the TSan build"
  else
    log=$logs/site-$site.log
    cp -p "$src/$file" "$work/original"
    sed -i "${line}s/std::memory_order_$order/std::memory_order_relaxed/" "$src/$file"
    if ! cmake --build "$bin" -j "$jobs" --target "${suites[@]}" >"$log.build" 2>&1; then
      outcome="build failed (see $log.build)"
    else
      outcome=$(run_suites "$bin/tests/cpp" "$log" "${suites[@]}")
      if [ "$outcome" != passed ]; then
        caught=1 flaky=0
        for ((i = 0; i < repeats; ++i)); do
          [ "$(run_suites "$bin/tests/cpp" "$log.again" "${suites[@]}")" = passed ] ||
            caught=$((caught + 1))
          [ "$(run_suites "$work/unweakened" "$log.unweakened" "${suites[@]}")" = passed ] ||
            flaky=$((flaky + 1))
        done
        outcome="$outcome; weakened fails $caught/$((repeats + 1)), unweakened $flaky/$repeats"
      fi
    fi
    # Back to the original, newer than the mutant's objects so that they are rebuilt.
    cp "$work/original" "$src/$file"
  fi
  echo "| \`$file:$line\` | $order | ${suites[*]:--} | $outcome |" | tee -a "$table"
done <"$work/sites.txt"
echo "table in $table" >&2
