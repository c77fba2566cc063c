#!/usr/bin/env bash
# The end-to-end job: builds everything, starts the appliance service on a
# loopback address, and backs a real file up through librmanKESTRALON.so with
# the SBT tester, shows what the library reports about it, restores it,
# proves it byte-identical, removes it and prints the rates of both directions.
# The library keeps its default configuration: the backup travels on the BFST
# path (libbfst64.so to the appliance's port 1062), the restore on the data
# mover.
# The password never appears on a command line: the appliance reads it from
# its users file, the tester from a password file, both private to the user.
#   MAIN_JOB_MB     size of the file in MiB (default 256)
#   MAIN_JOB_ADDR   loopback address of the appliance (default 127.0.0.9)
#   MAIN_JOB_BUILD  use the programs already built in this directory instead
#                   of building build-release
#   MAIN_JOB_WORK   work in this (empty) directory and keep it afterwards
set -euo pipefail
cd "$(dirname "$0")/.."
MB=${MAIN_JOB_MB:-256}
ADDR=${MAIN_JOB_ADDR:-127.0.0.9}
if [ -n "${MAIN_JOB_BUILD:-}" ]; then
  BUILD=$MAIN_JOB_BUILD
else
  BUILD=build-release
  cmake -S . -B "$BUILD" -G Ninja -Wno-dev -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$BUILD" -j"$(nproc)" --target rmanKESTRALON kestralon-appliance kestralon-sbttest
fi

# Work in tmpfs when there is room, so the disk is not what is measured.
BASE=/dev/shm
avail_kb=$(df -Pk "$BASE" 2>/dev/null | awk 'NR==2 {print $4}')
if [ -z "$avail_kb" ] || [ "$avail_kb" -lt $(( (MB * 3 + 64) * 1024 )) ]; then BASE=${TMPDIR:-/tmp}; fi
if [ -n "${MAIN_JOB_WORK:-}" ]; then
  WORK=$MAIN_JOB_WORK
  KEEP_WORK=1
else
  WORK=$(mktemp -d "$BASE/kestralon-main-job.XXXXXX")
  KEEP_WORK=0
fi
. scripts/appliance-lib.sh
cleanup() {
  kes_appliance_stop
  if [ "$KEEP_WORK" = 0 ]; then rm -rf "$WORK"; fi
}
trap cleanup EXIT

mkdir -p "$WORK/store" "$WORK/windir"
kes_make_users "$WORK"
printf 'DEBUG_LEVEL=info\n' > "$WORK/windir/librmanKESTRALON.ini"
export WINDIR="$WORK/windir"

echo "== starting the appliance on $ADDR (MI port 10002)"
if ! kes_appliance_start "$BUILD/kestralon-appliance" "$ADDR" "$WORK/store" "$WORK/users" "$WORK/appliance.log"; then
  cat "$WORK/appliance.log" >&2 || true
  echo "main-job: the appliance did not start on $ADDR (its log is above)" >&2
  exit 1
fi

echo "== making a ${MB} MiB file of random data"
head -c $((MB * 1048576)) /dev/urandom > "$WORK/source.dat"
SRC_SUM=$(sha256sum "$WORK/source.dat" | cut -d' ' -f1)

TESTER=("$BUILD/kestralon-sbttest" --lib "$BUILD/librmanKESTRALON.so" --quiet --password-file "$WORK/password"
        --env "BACKUP_HOST=$ADDR,BACKUP_SHARE=rman,BACKUP_USERNAME=rman")
PIECE="main-job-$(date +%s)"

# The memory each timed step fills is written and freed first, as in the
# benchmarks (kes_warm_mem says why).
warm_mem() { kes_warm_mem "$WORK" $(( MB + 64 )); }

echo "== backup of $PIECE (BFST path)"
warm_mem
"${TESTER[@]}" backup "$PIECE" "$WORK/source.dat" | tee "$WORK/backup.out"
BLOBS=$(find "$WORK/store/.bfst" -maxdepth 1 -type f ! -name '.*' ! -name '*.part' | wc -l)
if [ "$BLOBS" -eq 0 ]; then
  echo "MAIN JOB FAILED: the backup did not travel on the BFST path (no blob on the appliance)"
  exit 1
fi
echo "   the appliance holds the piece as $BLOBS blob(s) of the BFST path"
echo "== info"
"${TESTER[@]}" info "$PIECE"
echo "== restore (data mover)"
warm_mem
"${TESTER[@]}" restore "$PIECE" "$WORK/restored.dat" | tee "$WORK/restore.out"
DST_SUM=$(sha256sum "$WORK/restored.dat" | cut -d' ' -f1)
echo "   source   sha256 $SRC_SUM"
echo "   restored sha256 $DST_SUM"
echo "== remove"
"${TESTER[@]}" remove "$PIECE"

BACKUP_RATE=$(grep -o '[0-9.]* MiB/s' "$WORK/backup.out" | tail -1)
RESTORE_RATE=$(grep -o '[0-9.]* MiB/s' "$WORK/restore.out" | tail -1)
echo
if [ "$SRC_SUM" = "$DST_SUM" ]; then
  echo "MAIN JOB PASSED: ${MB} MiB backed up at ${BACKUP_RATE}, restored at ${RESTORE_RATE}, byte-identical (SHA-256)"
else
  echo "MAIN JOB FAILED: the restored file differs from the source"
  exit 1
fi
