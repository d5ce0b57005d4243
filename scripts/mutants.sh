#!/usr/bin/env bash
# mutants.sh: does the test suite catch the faults it should?
#
# Applies the faults listed in scripts/mutants.txt one at a time to the
# sources, rebuilds incrementally, runs the suite until its first failure
# and says per fault: killed (with the first failing test), survived, not
# applicable (its text is not found exactly once) or build failed.  Each
# changed file is put back from a copy taken before the change, whatever
# happens (also on Ctrl-C or kill); nothing else in the tree is touched.
#
# Usage: scripts/mutants.sh [-b BUILD_DIR] [-l LIST] [-j JOBS] [-p EARLIER] [-c] [-f] [NAME...]
#   -b  a configured build folder (default: build)
#   -l  the list of faults (default: scripts/mutants.txt)
#   -j  parallel jobs for the build and for ctest (default: 2)
#   -c  check only: say which faults apply, build nothing
#   -p  the output of an earlier run: the test that killed a fault then is
#       tried first now (a renamed or removed test just costs time)
#   -f  skip each fault's `tests` regex and run the whole suite at once
#   NAME...  only these faults (default: all)
# A survivor costs a whole suite run; a killed fault usually seconds.  The
# exit status is 0 when no fault survived and none failed to build.
set -u

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=build
LIST=$ROOT/scripts/mutants.txt
JOBS=2
CHECK=0
FULL=0
EARLIER=""
while getopts "b:l:j:p:cfh" opt; do
  case $opt in
    b) BUILD=$OPTARG ;;
    l) LIST=$OPTARG ;;
    j) JOBS=$OPTARG ;;
    p) EARLIER=$OPTARG ;;
    c) CHECK=1 ;;
    f) FULL=1 ;;
    *) sed -n '2,/^set -u/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
case $LIST in /*) ;; *) LIST=$PWD/$LIST ;; esac
if [ "$CHECK" = 0 ] && [ ! -f "$BUILD/CMakeCache.txt" ]; then
  echo "mutants.sh: $BUILD is not a configured build folder" >&2
  exit 2
fi
[ -f "$LIST" ] || { echo "mutants.sh: no list at $LIST" >&2; exit 2; }

WORK=$(mktemp -d /tmp/brix-mutants.XXXXXX)
CURRENT=""   # the file that holds a fault right now
CHILD=""     # the running build or ctest (a process group of its own)

restore() {
  if [ -n "$CURRENT" ]; then
    # Written over in place, not renamed: the new time makes the next
    # build recompile it.
    cat "$WORK/original" > "$ROOT/$CURRENT" && CURRENT=""
  fi
}
stop_child() {
  [ -n "$CHILD" ] && kill -TERM -- "-$CHILD" 2>/dev/null
  CHILD=""
}
finish() {
  stop_child
  restore
  if [ -n "$CURRENT" ]; then
    echo "mutants.sh: could not put back $CURRENT; its original is $WORK/original" >&2
  else
    rm -rf "$WORK"
  fi
}
trap finish EXIT
trap 'stop_child; restore; exit 130' INT
trap 'stop_child; restore; exit 143' TERM

# Background jobs get a process group of their own, so a signal to this
# script can end a build or a suite run with all its children.
set -m
run() {
  "$@" &
  CHILD=$!
  wait "$CHILD"
  local rc=$?
  CHILD=""
  return $rc
}

# The list is read by a small helper: one place that knows its format.
cat > "$WORK/list.py" <<'EOF'
import sys

def entries(path):
    out, cur = [], None
    with open(path) as f:
        for raw in f:
            line = raw.rstrip("\n")
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            if line.startswith("[") and line.rstrip().endswith("]"):
                cur = {"name": line.strip()[1:-1], "from": None, "to": None}
                out.append(cur)
                continue
            key, sep, value = line.partition(" =")
            if not sep or cur is None:
                sys.exit("bad line in %s: %s" % (path, line))
            value = value[1:] if value.startswith(" ") else value
            if key in ("from+", "to+"):
                base = key[:-1]
                cur[base] = (cur[base] or "") + "\n" + value
            else:
                cur[key] = value
    return out

cmd, path = sys.argv[1], sys.argv[2]
items = entries(path)
if cmd == "table":  # one line per fault: name, file, tests
    for e in items:
        print("\t".join([e["name"], e.get("file") or "", e.get("tests") or ""]))
    sys.exit(0)
found = [e for e in items if e["name"] == sys.argv[3]]
if not found:
    sys.exit("no fault named %s" % sys.argv[3])
e = found[0]
if cmd == "apply":  # apply NAME ROOT: exit 3 unless the text occurs once
    target = sys.argv[4] + "/" + e["file"]
    try:
        text = open(target).read()
    except OSError as error:
        print("cannot read %s: %s" % (e["file"], error.strerror))
        sys.exit(3)
    count = text.count(e["from"]) if e["from"] else 0
    if count != 1:
        print("its text occurs %d times in %s" % (count, e["file"]))
        sys.exit(3)
    with open(target, "w") as f:
        f.write(text.replace(e["from"], e["to"] or "", 1))
EOF
PYTHON=/usr/bin/python3
[ -x "$PYTHON" ] || PYTHON=python3
helper() { "$PYTHON" "$WORK/list.py" "$@"; }

# Read once: the name, file and tests regex of every fault.
declare -A FILE_OF TESTS_OF
ALL=()
while IFS=$'\t' read -r name file tests; do
  ALL+=("$name")
  FILE_OF[$name]=$file
  TESTS_OF[$name]=$tests
done < <(helper table "$LIST")
if [ $# -gt 0 ]; then NAMES=("$@"); else NAMES=("${ALL[@]}"); fi
declare -A KILLER_OF
if [ -n "$EARLIER" ]; then
  while read -r name _ _ test _; do
    KILLER_OF[${name%:}]=$test
  done < <(grep -E '^[^ ]+: killed by ' "$EARLIER")
fi
[ ${#NAMES[@]} -gt 0 ] || { echo "mutants.sh: no faults listed" >&2; exit 2; }

# The first test ctest reports as anything but passed.
first_failure() {
  grep -E 'Test +#[0-9]+: ' "$1" | grep -vE ' Passed +[0-9.]+ sec' | head -1 |
    sed -E 's/.*Test +#[0-9]+: ([^ ]+).*/\1/'
}

suite() {  # suite LOG [REGEX]: 0 when every test passed
  local args=(--test-dir "$BUILD" --stop-on-failure -j "$JOBS")
  [ -n "${2:-}" ] && args+=(-R "$2")
  run ctest "${args[@]}" > "$1" 2>&1
}

if [ "$CHECK" = 0 ]; then
  echo "building the unchanged tree in $BUILD"
  if ! run cmake --build "$BUILD" -j "$JOBS" > "$WORK/build.log" 2>&1; then
    tail -20 "$WORK/build.log"
    echo "mutants.sh: the unchanged tree does not build" >&2
    exit 2
  fi
fi

killed=0 survived=0 skipped=0 broken=0
survivors=()
for name in "${NAMES[@]}"; do
  file=${FILE_OF[$name]:-}
  if [ -z "$file" ]; then
    echo "$name: not applicable (not in $LIST)"
    skipped=$((skipped + 1))
    continue
  fi
  if ! cp "$ROOT/$file" "$WORK/original" 2>/dev/null; then
    echo "$name: not applicable (no file $file)"
    skipped=$((skipped + 1))
    continue
  fi
  CURRENT=$file
  if ! why=$(helper apply "$LIST" "$name" "$ROOT"); then
    CURRENT=""
    echo "$name: not applicable ($why)"
    skipped=$((skipped + 1))
    continue
  fi
  if [ "$CHECK" = 1 ]; then
    restore
    echo "$name: applies to $file"
    continue
  fi
  started=$SECONDS
  if ! run cmake --build "$BUILD" -j "$JOBS" > "$WORK/build.log" 2>&1; then
    restore
    echo "$name: build failed ($(grep -m1 -E 'error' "$WORK/build.log"))"
    broken=$((broken + 1))
    continue
  fi
  built=$((SECONDS - started))
  verdict=""
  hint=""
  [ "$FULL" = 0 ] && hint=${TESTS_OF[$name]}
  killer=""
  [ "$FULL" = 0 ] && killer=${KILLER_OF[$name]:-}
  if [ -n "$killer" ] && ! suite "$WORK/ctest.log" "^${killer//./\\.}\$"; then
    verdict="killed by $(first_failure "$WORK/ctest.log")"
  elif [ -n "$hint" ] && ! suite "$WORK/ctest.log" "$hint"; then
    verdict="killed by $(first_failure "$WORK/ctest.log")"
  elif ! suite "$WORK/ctest.log"; then
    verdict="killed by $(first_failure "$WORK/ctest.log")"
  fi
  restore
  if [ -n "$verdict" ]; then
    killed=$((killed + 1))
  else
    verdict=survived
    survived=$((survived + 1))
    survivors+=("$name")
  fi
  echo "$name: $verdict (build ${built}s, tests $((SECONDS - started - built))s)"
done

if [ "$CHECK" = 0 ]; then
  # Leave the build folder matching the restored sources.
  run cmake --build "$BUILD" -j "$JOBS" > "$WORK/build.log" 2>&1 ||
    echo "mutants.sh: the restored tree did not rebuild; see $BUILD" >&2
fi
total=${#NAMES[@]}
if [ "$CHECK" = 1 ]; then
  echo "mutants: $total listed, $((total - skipped)) apply, $skipped not applicable"
  [ "$skipped" = 0 ]
  exit
fi
echo "mutants: $total listed, $killed killed, $survived survived," \
     "$skipped not applicable, $broken build failed"
[ ${#survivors[@]} -gt 0 ] && echo "survivors: ${survivors[*]}"
[ "$survived" = 0 ] && [ "$broken" = 0 ]
