#!/bin/sh
# measure-exec.sh BRIXD BRIXCTL [RUNS]: the time brixd adds to a fork and
# exec of a known, cached program.  Mounts a private tmpfs in a new mount
# namespace (nothing else is watched), times RUNS starts of a scanned copy
# of /bin/true without brixd, then with brixd under lockdown, and prints
# both means and their difference.  Needs root and a C compiler.
set -eu
BRIXD=$1 BRIXCTL=$2 RUNS=${3:-5000}
exec unshare -m sh -eu -c '
BRIXD=$1 BRIXCTL=$2 RUNS=$3
WORK=$(mktemp -d /var/tmp/brixd-measure.XXXXXX)
mount --make-rprivate /
mkdir "$WORK/mnt" && mount -t tmpfs tmpfs "$WORK/mnt"
# brixd'"'"'s kernel programs pinned on a BPF file system of this namespace
# only: they go with it, and never touch the machine'"'"'s own brixd.
mkdir "$WORK/bpf" && { mount -t bpf bpf "$WORK/bpf" || true; }
cat > "$WORK/timer.c" <<EOC
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
extern char** environ;
int main(int argc, char** argv) {
  int runs = atoi(argv[2]);
  char* args[] = {argv[1], NULL};
  struct timespec a, b;
  clock_gettime(CLOCK_MONOTONIC, &a);
  for (int i = 0; i < runs; ++i) {
    pid_t pid;
    int status;
    if (posix_spawn(&pid, argv[1], NULL, NULL, args, environ) != 0) return 1;
    waitpid(pid, &status, 0);
    if (status != 0) return 1;
  }
  clock_gettime(CLOCK_MONOTONIC, &b);
  printf("%.2f\n", ((b.tv_sec - a.tv_sec) * 1e9 + (b.tv_nsec - a.tv_nsec)) / runs / 1000.0);
  return 0;
}
EOC
cc -O2 -o "$WORK/timer" "$WORK/timer.c"
cp /bin/true "$WORK/mnt/known"
"$BRIXCTL" --db "$WORK/ac.db" scan "$WORK/mnt/known" >/dev/null
echo "{\"rules\": []}" > "$WORK/manifest.json"
"$BRIXCTL" --db "$WORK/ac.db" import agent-manifest "$WORK/manifest.json" >/dev/null
"$WORK/timer" "$WORK/mnt/known" 200 >/dev/null
base=$("$WORK/timer" "$WORK/mnt/known" "$RUNS")
"$BRIXD" --db "$WORK/ac.db" --watch "$WORK/mnt" --lockdown --log-file "$WORK/log" \
  --stats-file "$WORK/stats.json" --stats-interval 3600 --bpf-pin-dir "$WORK/bpf/brixd" &
pid=$!
i=0; until grep -q "ready: " "$WORK/log" 2>/dev/null; do i=$((i+1)); [ $i -lt 100 ] || exit 1; sleep 0.1; done
"$WORK/timer" "$WORK/mnt/known" 200 >/dev/null
with=$("$WORK/timer" "$WORK/mnt/known" "$RUNS")
kill $pid; wait $pid || true
grep -o "BPF LSM[^(]*" "$WORK/log" | head -1
rm -rf "$WORK/bpf/brixd"; umount "$WORK/bpf" 2>/dev/null || true
echo "runs $RUNS; without brixd ${base} us; with brixd ${with} us; added $(echo "$with - $base" | bc) us per exec"
grep -o -E "\"(meanMicros|verdictCacheHits|cacheHits|execEvents)\":[[:space:]0-9.]*" "$WORK/stats.json" | tr -d "[:space:]"; echo
python3 -c "import json,sys; l=json.load(open(sys.argv[1]))[\"brixd\"][\"latency\"]; print(\"decision latency buckets (below us: count):\", [(b[\"belowMicros\"], b[\"count\"]) for b in l[\"buckets\"] if b[\"count\"]], \"max us\", round(l[\"maxMicros\"]))" "$WORK/stats.json" || true
umount "$WORK/mnt"; rm -rf "$WORK"
' sh "$BRIXD" "$BRIXCTL" "$RUNS"
