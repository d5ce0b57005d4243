#!/bin/bash
# What brixd's full coverage (program starts, libraries and scripts) costs, beside fapolicyd, on this machine.
# Every configuration runs in each round, one after the other (interleaved rounds); the medians are compared.
#   Starts: N starts of a dynamically linked program (a copy of /usr/bin/true on a private tmpfs):
#     no daemon; fapolicyd 1.1.7 (Debian; permissive; sample rules; file trust holds the program, libc and the
#     loader) as ../shared/bench/peer-exec-overhead.sh sets it up; brixd log-only watching / with the same three
#     files scanned ("known"); brixd log-only watching / with nothing but the manifest ("first day").
#   Builds: make -j2 of a generated C project of FILES files (default 120) on the root file system, timed as the
#     second build after each daemon's start (a daemon runs for days; the first build's figure is printed too): no daemon,
#     fapolicyd, brixd "known", brixd with the toolchain and /usr/include scanned; and the same project on the
#     private tmpfs under brixd --lockdown (toolchain scanned, the compiler and linker trusted writers as
#     `brixctl suggest` proposes after one log-only build), where the new program must then run.
#   Memory: brixd's resident size after reading MEMFILES (default 10,000) scanned files, and again after as
#     many more.
# Only the private tmpfs is ever enforced on; on / both daemons only log.
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
mount -t tmpfs -o size=512m,mode=0755,exec tmpfs "$m" || { echo "cannot mount tmpfs"; exit 1; }
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
build_in() { # folder: the build's milliseconds
  make -s -C "$1" clean >/dev/null; local a b; a=$(date +%s%N)
  make -s -C "$1" -j2 >/dev/null 2>&1 || { echo "build failed"; return 1; }
  b=$(date +%s%N); echo "$(( (b - a) / 1000000 ))"
}
build_once() { build_in "$p"; }
cp -a "$p" "$m/project"
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
# brixd's databases: a manifest imported once; "known" with the program, libc and the loader scanned;
# "toolchain" with the compiler, its libraries and /usr/include as well; "first" with nothing else.
echo '{"rules":[]}' > "$w/manifest.json"
toolchain=${TOOLCHAIN:-"/usr/bin /usr/lib/gcc /usr/libexec /usr/lib/x86_64-linux-gnu /usr/include /usr/lib/locale /usr/share/locale/locale.alias /etc/ld.so.cache"}
for db in known toolchain first; do
  "$brixctl" --db "$w/$db.db" import agent-manifest "$w/manifest.json" >/dev/null 2>&1 || { echo "manifest import failed"; exit 1; }
done
for db in known toolchain; do
  "$brixctl" --db "$w/$db.db" scan "$m/prog" /usr/lib/x86_64-linux-gnu/libc.so.6 /usr/lib/x86_64-linux-gnu/ld-linux-x86-64.so.2 >/dev/null 2>&1 || { echo "scan failed"; exit 1; }
done
"$brixctl" --db "$w/toolchain.db" scan $toolchain >/dev/null 2>&1
"$w/timer" "$m/prog" 300 >/dev/null
measure() { "$w/timer" "$m/prog" "$n"; }
start_brixd() { # database, then extra options
  local db=$1; shift
  : > "$w/brixd.log"
  # A pin folder of its own: never the machine's brixd's.
  "$brixd" --db "$w/$db.db" --watch "$m" --log-file "$w/brixd.log" --log-level error \
    --stats-file "$w/stats.json" --stats-interval 3600 --bpf-pin-dir "$w/bpf-pins" "$@" >/dev/null 2>&1 &
  pids+=($!); bpid=$!
  for i in $(seq 100); do grep -q "ready" "$w/brixd.log" 2>/dev/null && break; sleep 0.1; done
  sleep 0.3
}
stop_pid() { kill "$1" 2>/dev/null; wait "$1" 2>/dev/null; }
start_fapolicyd() {
  fapolicyd --permissive --debug-deny >"$w/fapolicyd.log" 2>&1 &
  fpid=$!; pids+=($fpid)
  for i in $(seq 100); do grep -q "Loaded\|Starting to listen" "$w/fapolicyd.log" 2>/dev/null && break; sleep 0.2; done
  sleep 1; "$w/timer" "$m/prog" 200 >/dev/null
}
events() { python3 -c 'import json,sys; s=json.load(open(sys.argv[1]))["brixd"]; print(s.get("permissionEvents", s.get("execEvents", 0) + s.get("openEvents", 0)))' "$w/stats.json" 2>/dev/null; }

# The lockdown build: one log-only build with a journal, the rules brixctl suggests from it, imported.
cp "$w/toolchain.db" "$w/lockdown.db"
start_brixd lockdown --journal "$w/journal.jsonl"
build_in "$m/project" >/dev/null; "$m/project/prog"
stop_pid "$bpid"
"$brixctl" --db "$w/lockdown.db" suggest --out "$w/suggested" "$w/journal.jsonl" >"$w/suggest.log" 2>&1
for name in suggested-rules suggested-trustrules; do
  [ -f "$w/suggested/$name.json" ] && "$brixctl" --db "$w/lockdown.db" import --append "$name" "$w/suggested/$name.json" >/dev/null 2>&1
done
# Opens of one build (successful open system calls), for brixd's events per 1,000 opens.
make -s -C "$p" clean >/dev/null
opens=$(strace -f -qq -Z -c -e trace=open,openat,openat2,creat make -s -C "$p" -j2 2>&1 >/dev/null | awk '$NF=="total"{print $(NF-1)}')

: > "$w/results"
build_once >/dev/null  # warm the page cache and the compiler
for r in $(seq "$rounds"); do
  echo "# round $r, load $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$w/results"
  echo "bare $(measure)" | tee -a "$w/results"
  echo "build_bare $(build_once)" | tee -a "$w/results"
  echo "build_tmpfs_bare $(build_in "$m/project")" | tee -a "$w/results"
  if [ $use_fapolicyd = 1 ]; then
    start_fapolicyd
    echo "fapolicyd $(measure)" | tee -a "$w/results"
    echo "build_fapolicyd_first $(build_once)" >> "$w/results"
    echo "build_fapolicyd $(build_once)" | tee -a "$w/results"
    stop_pid "$fpid"
  fi
  start_brixd known --watch /
  "$w/timer" "$m/prog" 200 >/dev/null
  echo "brixd_known $(measure)" | tee -a "$w/results"
  stop_pid "$bpid"
  start_brixd first --watch /
  "$w/timer" "$m/prog" 200 >/dev/null
  echo "brixd_first_day $(measure)" | tee -a "$w/results"
  stop_pid "$bpid"
  # The toolchain's database holds the loader's cache as well: the file
  # every dynamically linked start opens besides the three known to both.
  start_brixd toolchain --watch /
  "$w/timer" "$m/prog" 200 >/dev/null
  echo "brixd_loader_cache $(measure)" | tee -a "$w/results"
  stop_pid "$bpid"
  start_brixd known --watch /
  echo "build_brixd_first $(build_once)" >> "$w/results"
  echo "build_brixd $(build_once)" | tee -a "$w/results"
  stop_pid "$bpid"; echo "events_build_brixd $(events)" >> "$w/results"
  start_brixd toolchain --watch /
  echo "build_brixd_toolchain_first $(build_once)" >> "$w/results"
  echo "build_brixd_toolchain $(build_once)" | tee -a "$w/results"
  stop_pid "$bpid"; echo "events_build_brixd_toolchain $(events)" >> "$w/results"
  cp "$w/stats.json" "$w/stats-toolchain.json"
  start_brixd lockdown --lockdown
  echo "build_brixd_lockdown_first $(build_in "$m/project")" >> "$w/results"
  echo "build_brixd_lockdown $(build_in "$m/project")" | tee -a "$w/results"
  sleep 1  # drift is recorded beside the build, not in its way
  if "$m/project/prog"; then echo "lockdown_ran 1" >> "$w/results"; else
    echo "lockdown_ran 0" >> "$w/results"; sed 's/^/  suggest: /' "$w/suggest.log"; grep -v Finalize "$w/brixd.log" | tail -5; fi
  stop_pid "$bpid"
done
# Memory: brixd watching / with MEMFILES and then as many more scanned files read.
memfiles=${MEMFILES:-10000}
mkdir -p "$w/many"
for i in $(seq $((memfiles * 2))); do echo "$i" > "$w/many/f$i"; done
"$brixctl" --db "$w/known.db" scan "$w/many" >/dev/null 2>&1
start_brixd known --watch /
rss() { awk '/VmRSS/{print $2}' /proc/$bpid/status; }
rss0=$(rss)
seq "$memfiles" | sed "s#^#$w/many/f#" | xargs cat >/dev/null; sleep 1; rss1=$(rss)
seq $((memfiles + 1)) $((memfiles * 2)) | sed "s#^#$w/many/f#" | xargs cat >/dev/null; sleep 1; rss2=$(rss)
stop_pid "$bpid"
echo "memory: brixd resident $rss0 KiB at start, $rss1 KiB after $memfiles files, $rss2 KiB after $((memfiles * 2))"
cp "$w/stats-toolchain.json" "$w/stats.json"
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
ratio() { awk -v x="$1" -v f="$2" -v b="$3" 'BEGIN{ if (f != "" && x != "" && f-b > 0) printf "%.2f", (x-b)/(f-b); else printf "n/a"}'; }
pct() { awk -v x="$1" -v b="$2" 'BEGIN{ if (x != "" && b > 0) printf "%+.1f %%", (x-b)*100/b; else printf "n/a"}'; }
b=$(median bare); fb=$(median fapolicyd); kb=$(median brixd_known); db=$(median brixd_first_day)
lb=$(median brixd_loader_cache)
gb=$(median build_bare); gf=$(median build_fapolicyd); gx=$(median build_brixd); gt=$(median build_brixd_toolchain)
tb=$(median build_tmpfs_bare); tl=$(median build_brixd_lockdown)
echo "load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
printf 'start: bare %s us; added: fapolicyd %s us, brixd known %s us, brixd first day %s us\n' "$b" \
  "$(awk -v x="$fb" -v b="$b" 'BEGIN{printf "%.0f", x-b}')" "$(awk -v x="$kb" -v b="$b" 'BEGIN{printf "%.0f", x-b}')" \
  "$(awk -v x="$db" -v b="$b" 'BEGIN{printf "%.0f", x-b}')"
echo "start of a known program, brixd / fapolicyd added: $(ratio "$kb" "$fb" "$b") (target <= 0.25)"
echo "start of a known program, the loader's cache scanned too (+$(awk -v x="$lb" -v b="$b" 'BEGIN{printf "%.0f", x-b}') us), brixd / fapolicyd added: $(ratio "$lb" "$fb" "$b")"
echo "start, first day, brixd / fapolicyd added: $(ratio "$db" "$fb" "$b") (target <= 0.5)"
echo "build of $files files, make -j2: bare $gb ms, fapolicyd $gf ms ($(pct "$gf" "$gb")), brixd $gx ms ($(pct "$gx" "$gb")), brixd toolchain scanned $gt ms ($(pct "$gt" "$gb"))"
echo "build, brixd / fapolicyd added time: $(ratio "$gx" "$gf" "$gb") (target <= 0.25)"
echo "build, toolchain and /usr/include scanned: $(pct "$gt" "$gb") (target <= +5 %)"
echo "build on the tmpfs under lockdown: bare $tb ms, brixd $tl ms, $(pct "$tl" "$tb") (target <= +5 %); new program ran in $(awk '$1=="lockdown_ran"{s+=$2; n++} END{print s "/" n}' "$w/results") rounds"
echo "first build after each daemon's start: fapolicyd $(pct "$(median build_fapolicyd_first)" "$gb"), brixd $(pct "$(median build_brixd_first)" "$gb"), brixd toolchain scanned $(pct "$(median build_brixd_toolchain_first)" "$gb"), lockdown $(pct "$(median build_brixd_lockdown_first)" "$tb")"
ex=$(median events_build_brixd); et=$(median events_build_brixd_toolchain)
[ -n "$opens" ] && awk -v o="$opens" -v x="$ex" -v t="$et" 'BEGIN{ if (o > 0) printf "events per 1,000 opens of the build (%d opens; brixd'"'"'s first two builds): brixd %.0f, toolchain scanned %.0f\n", o, x*500/o, t*500/o}'
