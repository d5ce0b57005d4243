#!/bin/bash
# What brixd's full coverage (program starts, libraries and scripts) costs, beside fapolicyd, on this machine.
#   1. Per start of a dynamically linked program (a copy of /usr/bin/true on a private tmpfs), in interleaved
#      rounds: no daemon; fapolicyd 1.1.7 (Debian; permissive; sample rules; file trust) as
#      ../shared/bench/peer-exec-overhead.sh sets it up; brixd log-only watching / (full coverage).
#   2. A real build: make -j2 of a generated C project of FILES files (default 120) in a folder on the root
#      file system, with and without brixd log-only watching /, in interleaved rounds.
# Both daemons run log-only / permissive only: nothing is ever refused on /.
# usage: brixd-coverage-overhead.sh BUILD_DIR [N] [ROUNDS] [FILES]   (BUILD_DIR holds brixd and brixctl)
# Installs fapolicyd guarded by policy-rc.d (no automatic start) when it is missing; set NO_FAPOLICYD=1 to skip it.
set -u
build=$(readlink -f "${1:?usage: brixd-coverage-overhead.sh BUILD_DIR [N] [ROUNDS] [FILES]}")
n=${2:-3000}; rounds=${3:-3}; files=${4:-120}
brixd=$build/brixd; brixctl=$build/brixctl
[ -x "$brixd" ] && [ -x "$brixctl" ] || { echo "no brixd/brixctl in $build"; exit 1; }
use_fapolicyd=1; [ "${NO_FAPOLICYD:-0}" = 1 ] && use_fapolicyd=0
if [ $use_fapolicyd = 1 ] && ! command -v fapolicyd >/dev/null; then
  printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d; chmod +x /usr/sbin/policy-rc.d
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq fapolicyd >/dev/null 2>&1 || { echo "fapolicyd install failed"; exit 1; }
fi
w=$(mktemp -d /var/lib/brixd-coverage.XXXXXX); m=$w/mnt; mkdir -p "$m"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; sleep 0.3; umount "$m" 2>/dev/null; rm -rf "$w"; }
trap cleanup EXIT
mount -t tmpfs -o size=32m,exec tmpfs "$m" || { echo "cannot mount tmpfs"; exit 1; }
cp /usr/bin/true "$m/prog"
cat > "$w/spawnloop.c" <<'C'
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
extern char** environ;
int main(int argc, char** argv) {
  int n = atoi(argv[2]);
  char* args[] = {argv[1], NULL};
  struct timespec a, b;
  clock_gettime(CLOCK_MONOTONIC, &a);
  for (int i = 0; i < n; ++i) {
    pid_t p; int st;
    if (posix_spawn(&p, argv[1], NULL, NULL, args, environ) != 0) return 1;
    waitpid(p, &st, 0);
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) return 1;
  }
  clock_gettime(CLOCK_MONOTONIC, &b);
  printf("%.1f\n", ((b.tv_sec - a.tv_sec) * 1e9 + (b.tv_nsec - a.tv_nsec)) / 1e3 / n);
  return 0;
}
C
cc -O2 -o "$w/timer" "$w/spawnloop.c" || exit 1

# The C project: FILES sources sharing a few headers, one program linked from them.
p=$w/project; mkdir -p "$p/include"
for h in $(seq 8); do
  printf '#pragma once\n#include <stdio.h>\n#include <string.h>\n#include <stdlib.h>\nstatic inline int h%d(int x) { return x * %d + (int)strlen("h"); }\n' "$h" "$h" > "$p/include/h$h.h"
done
for i in $(seq "$files"); do
  {
    for h in $(seq 8); do echo "#include \"h$h.h\""; done
    echo "int f$i(int x) { char b[64]; snprintf(b, sizeof b, \"%d\", x); return h1(atoi(b)) + h$(( i % 8 + 1 ))(x) + $i; }"
  } > "$p/f$i.c"
done
{
  echo "int main(void) { int s = 0;"
  for i in $(seq "$files"); do echo "  extern int f$i(int); s += f$i($i);"; done
  echo "  return s == 0; }"
} > "$p/main.c"
cat > "$p/Makefile" <<'MK'
SRCS := $(wildcard *.c)
OBJS := $(SRCS:.c=.o)
CFLAGS := -O1 -Iinclude
prog: $(OBJS)
	$(CC) -o $@ $(OBJS)
%.o: %.c
	$(CC) $(CFLAGS) -c -o $@ $<
clean:
	rm -f $(OBJS) prog
MK
build_once() { make -s -C "$p" clean >/dev/null; local a b; a=$(date +%s%N); make -s -C "$p" -j2 >/dev/null 2>&1 || { echo "build failed"; return 1; }; b=$(date +%s%N); echo "$(( (b - a) / 1000000 ))"; }

if [ $use_fapolicyd = 1 ]; then
  cd /etc/fapolicyd || exit 1
  rm -f rules.d/*.rules
  for r in 10-languages 20-dracut 21-updaters 30-patterns 40-bad-elf 41-shared-obj 42-trusted-elf 70-trusted-lang 72-shell 90-deny-execute 95-allow-open; do
    cp /usr/share/fapolicyd/sample-rules/$r.rules rules.d/
  done
  sed -i 's/^trust = .*/trust = file/; s/^uid = .*/uid = root/; s/^gid = .*/gid = root/' fapolicyd.conf
  : > fapolicyd.trust
  for f in "$m/prog" /usr/lib/x86_64-linux-gnu/libc.so.6 /usr/lib/x86_64-linux-gnu/ld-linux-x86-64.so.2; do
    fapolicyd-cli --file add "$f" >/dev/null 2>&1
  done
  fagenrules --load >/dev/null 2>&1
  cd "$w"
fi
# brixd's database: the program and the system's libraries scanned, a manifest imported once.
echo '{"rules":[]}' > "$w/manifest.json"
"$brixctl" --db "$w/ac.db" import agent-manifest "$w/manifest.json" >/dev/null 2>&1 || { echo "manifest import failed"; exit 1; }
"$brixctl" --db "$w/ac.db" scan "$m" /usr/lib/x86_64-linux-gnu/libc.so.6 /usr/lib/x86_64-linux-gnu/ld-linux-x86-64.so.2 >/dev/null 2>&1 || { echo "scan failed"; exit 1; }
"$w/timer" "$m/prog" 300 >/dev/null
measure() { "$w/timer" "$m/prog" "$n"; }
start_brixd() { # extra options
  : > "$w/brixd.log"
  # A pin folder of its own: never the machine's brixd's.
  "$brixd" --db "$w/ac.db" --watch "$m" --watch / --log-file "$w/brixd.log" --log-level error \
    --stats-file "$w/stats.json" --stats-interval 3600 --bpf-pin-dir "$w/bpf-pins" "$@" >/dev/null 2>&1 &
  pids+=($!); bpid=$!
  for i in $(seq 100); do grep -q "ready" "$w/brixd.log" 2>/dev/null && break; sleep 0.1; done
  sleep 0.3; "$w/timer" "$m/prog" 200 >/dev/null
}
stop_pid() { kill "$1" 2>/dev/null; wait "$1" 2>/dev/null; }
start_fapolicyd() {
  fapolicyd --permissive --debug-deny >"$w/fapolicyd.log" 2>&1 &
  fpid=$!; pids+=($fpid)
  for i in $(seq 100); do grep -q "Loaded\|Starting to listen" "$w/fapolicyd.log" 2>/dev/null && break; sleep 0.2; done
  sleep 1; "$w/timer" "$m/prog" 200 >/dev/null
}
: > "$w/results"
build_once >/dev/null  # warm the page cache and the compiler
for r in $(seq "$rounds"); do
  echo "bare $(measure)" | tee -a "$w/results"
  echo "build_bare $(build_once)" | tee -a "$w/results"
  if [ $use_fapolicyd = 1 ]; then
    start_fapolicyd
    echo "fapolicyd $(measure)" | tee -a "$w/results"
    stop_pid "$fpid"
  fi
  start_brixd
  echo "brixd_full_root $(measure)" | tee -a "$w/results"
  echo "build_brixd $(build_once)" | tee -a "$w/results"
  stop_pid "$bpid"
done
python3 - "$w/stats.json" <<'PY' 2>/dev/null || true
import json, sys
s = json.load(open(sys.argv[1]))["brixd"]
print("last brixd run: " + ", ".join(f"{k} {v}" for k, v in s.items() if not isinstance(v, dict)))
for name in ("latency", "cachedLatency"):
  lat = s.get(name)
  if not lat: continue
  total, seen, marks = lat["count"], 0, {}
  for bucket in lat["buckets"]:
    seen += bucket["count"]
    for q in (0.5, 0.99):
      if q not in marks and total and seen >= q * total: marks[q] = bucket["belowMicros"]
  print(f"{name}: {total} decisions, mean {lat['meanMicros']:.1f} us, p50 below {marks.get(0.5)} us, p99 below {marks.get(0.99)} us")
PY
median() { awk -v k="$1" '$1==k && $2!=""{print $2}' "$w/results" | sort -n | awk '{a[NR]=$1} END{if (NR) print a[int((NR+1)/2)]}'; }
b=$(median bare)
for k in fapolicyd brixd_full_root; do
  v=$(median $k); [ -n "$v" ] || continue
  awk -v k=$k -v v="$v" -v b="$b" 'BEGIN{printf "start  %-16s %.1f us, added %.1f us (bare %.1f us)\n", k, v, v-b, b}'
done
fb=$(median fapolicyd); bb=$(median brixd_full_root)
[ -n "$fb" ] && awk -v f="$fb" -v x="$bb" -v b="$b" 'BEGIN{ if (f-b > 0) printf "brixd adds %.2f of what fapolicyd adds per start (target <= 0.25)\n", (x-b)/(f-b)}'
gb=$(median build_bare); gx=$(median build_brixd)
awk -v a="$gb" -v x="$gx" -v f="$files" 'BEGIN{printf "build of %d files with make -j2: %d ms bare, %d ms with brixd, %+.1f %% (target <= 5 %%)\n", f, a, x, (x-a)*100/a}'
