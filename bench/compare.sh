#!/usr/bin/env bash
# Backup and restore through librmanKESTRALON.so (the SBT entry points, driven
# by kestralon-sbttest as RMAN would) against a raw socket copy of the same
# file over the same loopback (socat -u -b 1048576, into a file on the same
# file system), one and four channels, 256 KiB and 1 MiB blocks, all in one
# run. Prints the rates, their ratio to the raw copy, the system calls per
# MiB of the client and of the appliance (strace -c -f, in a run of their
# own), and the peak resident memory of both.
#
#   bench/compare.sh [BUILD_DIR]     (default: builds build-release)
#
# Environment:
#   COMPARE_MB        size of the one-channel file in MiB (default 2048); the
#                     four-channel runs move the same total, a quarter each
#   COMPARE_RUNS      timed rounds; the median is printed (default 5)
#   COMPARE_DIR       where the source, the raw copies and the restored files
#                     live (default /dev/shm)
#   COMPARE_ROOT      the appliance's store (default inside COMPARE_DIR); put
#                     it on a disk to compare with dd ... conv=fdatasync,
#                     which is then measured too
#   COMPARE_ADDR      loopback address of the appliance (default 127.0.0.41)
#   COMPARE_BLOCKS    block sizes (default "1M 256K")
#   COMPARE_CHANNELS  channel counts (default "1 4")
#   COMPARE_STRACE    0 skips the system-call counts (default 1)
#   COMPARE_OUT       keep the raw figures and strace summaries here
#                     (default bench-out/compare-<time>)
#
# The machine may be shared: rounds alternate raw copy and library so that
# both see the same load, and the load average is printed with the table.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT_DIR=$(pwd)

MB=${COMPARE_MB:-2048}
RUNS=${COMPARE_RUNS:-5}
DIR=${COMPARE_DIR:-/dev/shm}
ADDR=${COMPARE_ADDR:-127.0.0.41}
BLOCKS=${COMPARE_BLOCKS:-"1M 256K"}
CHANNELS=${COMPARE_CHANNELS:-"1 4"}
STRACE=${COMPARE_STRACE:-1}
OUT=${COMPARE_OUT:-$ROOT_DIR/bench-out/compare-$(date +%Y%m%d-%H%M%S)}

for tool in socat /usr/bin/time ss; do
  command -v "$tool" >/dev/null || { echo "compare.sh: $tool is missing (scripts/setup-debian.sh installs it)" >&2; exit 2; }
done
if [ "$STRACE" = 1 ] && ! command -v strace >/dev/null; then
  echo "compare.sh: strace is missing (scripts/setup-debian.sh installs it)" >&2; exit 2
fi

if [ $# -ge 1 ]; then
  BUILD=$(cd "$1" && pwd)
else
  BUILD=$ROOT_DIR/build-release
  cmake -S . -B "$BUILD" -G Ninja -Wno-dev -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$BUILD" -j"$(nproc)" --target rmanKESTRALON kestralon-appliance kestralon-sbttest >/dev/null
fi
for f in kestralon-appliance kestralon-sbttest librmanKESTRALON.so; do
  [ -e "$BUILD/$f" ] || { echo "compare.sh: $BUILD/$f is missing" >&2; exit 2; }
done

mkdir -p "$OUT"
WORK=$(mktemp -d "$DIR/kestralon-compare.XXXXXX")
STORE=${COMPARE_ROOT:-$WORK/store}
DISK_ROOT=0
[ -n "${COMPARE_ROOT:-}" ] && DISK_ROOT=1
mkdir -p "$STORE" "$WORK/windir"
if [ "$DISK_ROOT" = 1 ]; then STORE=$(mktemp -d "$STORE/kestralon-compare.XXXXXX"); fi

APPLIANCE_PID=""
cleanup() {
  if [ -n "$APPLIANCE_PID" ]; then kill "$APPLIANCE_PID" 2>/dev/null || true; wait "$APPLIANCE_PID" 2>/dev/null || true; fi
  rm -rf "$WORK"
  if [ "$DISK_ROOT" = 1 ]; then rm -rf "$STORE"; fi
}
trap cleanup EXIT

(
  umask 077
  PASSWORD=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
  printf 'bench:%s\n' "$PASSWORD" > "$WORK/users"
  printf '%s\n' "$PASSWORD" > "$WORK/password"
)
printf 'IO_PATH=1\n' > "$WORK/windir/librmanKESTRALON.ini"
export WINDIR="$WORK/windir"

# A fresh appliance for every measured operation, so that its peak memory is
# that operation's alone.
appliance_start() {
  if [ -n "$APPLIANCE_PID" ]; then kill "$APPLIANCE_PID" 2>/dev/null || true; wait "$APPLIANCE_PID" 2>/dev/null || true; fi
  "$BUILD/kestralon-appliance" --listen "$ADDR" --root "$STORE" --users-file "$WORK/users" \
    --log-level warning --log-file "$OUT/appliance.log" &
  APPLIANCE_PID=$!
  for _ in $(seq 1 100); do
    if ss -Hltn "src $ADDR:10002" | grep -q .; then return 0; fi
    sleep 0.05
  done
  echo "compare.sh: the appliance did not start (see $OUT/appliance.log)" >&2
  exit 1
}

TESTER=("$BUILD/kestralon-sbttest" --lib "$BUILD/librmanKESTRALON.so" --quiet --password-file "$WORK/password"
        --env "BACKUP_HOST=$ADDR,BACKUP_SHARE=bench,BACKUP_USERNAME=bench")

MB4=$(( MB / 4 ))
head -c $(( MB * 1048576 )) /dev/urandom > "$WORK/src1.dat"
head -c $(( MB4 * 1048576 )) "$WORK/src1.dat" > "$WORK/src4.dat"

now_ns() { date +%s%N; }
rate() { awk -v mb="$1" -v ns="$2" 'BEGIN { printf "%.0f", mb / (ns / 1e9) }'; }
median() { tr ' ' '\n' | grep . | sort -n | awk '{ v[NR] = $1 } END { if (NR == 0) print 0; else if (NR % 2) print v[(NR + 1) / 2]; else printf "%.0f", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
bytes_of() { case "$1" in *K) echo $(( ${1%K} * 1024 ));; *M) echo $(( ${1%M} * 1048576 ));; *) echo "$1";; esac; }
src_of() { if [ "$1" = 1 ]; then echo "$WORK/src1.dat"; else echo "$WORK/src4.dat"; fi; }
mb_of() { if [ "$1" = 1 ]; then echo "$MB"; else echo "$MB4"; fi; }

# n parallel socat copies of the source into files next to it; prints the
# elapsed nanoseconds.
PORT_BASE=$(( 20000 + RANDOM % 20000 ))
raw_copy() {  # channels
  local n=$1 src; src=$(src_of "$n")
  local pids=() i port
  for i in $(seq 1 "$n"); do
    port=$(( PORT_BASE + i ))
    socat -u -b 1048576 "TCP-LISTEN:$port,bind=$ADDR,reuseaddr" "OPEN:$WORK/raw$i.dat,creat,trunc" &
    pids+=($!)
  done
  for i in $(seq 1 "$n"); do
    port=$(( PORT_BASE + i ))
    for _ in $(seq 1 100); do ss -Hltn "src $ADDR:$port" | grep -q . && break; sleep 0.02; done
  done
  local t0 t1; t0=$(now_ns)
  for i in $(seq 1 "$n"); do
    socat -u -b 1048576 "OPEN:$src" "TCP:$ADDR:$(( PORT_BASE + i ))" &
    pids+=($!)
  done
  wait "${pids[@]}"
  t1=$(now_ns)
  rm -f "$WORK"/raw*.dat
  echo $(( t1 - t0 ))
}

# n parallel backups (or restores) through the library; prints the elapsed
# nanoseconds. Each tester's peak resident size goes to $WORK/rss.<i>.
lib_op() {  # backup|restore channels block tag
  local op=$1 n=$2 bs=$3 tag=$4 src; src=$(src_of "$n")
  local pids=() i t0 t1
  t0=$(now_ns)
  for i in $(seq 1 "$n"); do
    if [ "$op" = backup ]; then
      /usr/bin/time -f %M -o "$WORK/rss.$i" "${TESTER[@]}" -b "$bs" backup "cmp-$tag-$i" "$src" >/dev/null &
    else
      /usr/bin/time -f %M -o "$WORK/rss.$i" "${TESTER[@]}" -b "$bs" restore "cmp-$tag-$i" "$WORK/restored$i.dat" >/dev/null &
    fi
    pids+=($!)
  done
  local ok=1
  for p in "${pids[@]}"; do wait "$p" || ok=0; done
  t1=$(now_ns)
  [ "$ok" = 1 ] || { echo "compare.sh: $op of $n channel(s), block $bs failed" >&2; exit 1; }
  echo $(( t1 - t0 ))
}

lib_remove() {  # channels tag
  local i
  for i in $(seq 1 "$1"); do "${TESTER[@]}" remove "cmp-$2-$i" >/dev/null; done
  rm -f "$WORK"/restored*.dat
}

peak_rss_kb() { awk '{ if ($1 > m) m = $1 } END { print m + 0 }' "$WORK"/rss.*; }
appl_kb() { awk -v k="$1" '$1 == k":" { print $2 }' "/proc/$APPLIANCE_PID/status"; }

# The store on a disk: dd of the same file with fdatasync is the floor.
dd_ref() {
  local t0 t1 w r
  t0=$(now_ns); dd if="$WORK/src1.dat" of="$STORE/dd.ref" bs=1M conv=fdatasync status=none; t1=$(now_ns)
  w=$(rate "$MB" $(( t1 - t0 )))
  dd if="$STORE/dd.ref" iflag=nocache count=0 status=none
  t0=$(now_ns); dd if="$STORE/dd.ref" of="$WORK/dd.back" bs=1M status=none; t1=$(now_ns)
  r=$(rate "$MB" $(( t1 - t0 )))
  rm -f "$STORE/dd.ref" "$WORK/dd.back"
  echo "$w $r"
}
drop_store_cache() { [ "$DISK_ROOT" = 1 ] && find "$STORE" -type f -exec dd if={} iflag=nocache count=0 status=none \; ; true; }

declare -A R_RAW R_LIB RSS_C RSS_A SYS_C SYS_A
LOADS=()
DD_W=() DD_R=()
echo "compare.sh: ${MB} MiB, ${RUNS} rounds, files in $DIR, store in $STORE; figures in $OUT" >&2
for round in $(seq 1 "$RUNS"); do
  LOADS+=("$(cut -d' ' -f1 /proc/loadavg)")
  if [ "$DISK_ROOT" = 1 ]; then read -r w r < <(dd_ref); DD_W+=("$w"); DD_R+=("$r"); fi
  for n in $CHANNELS; do
    mb=$(( $(mb_of "$n") * n ))
    for bs in $BLOCKS; do
      tag="$n-$bs-$round"
      key="$n $bs"
      raw=$(raw_copy "$n"); R_RAW["backup $key"]+=" $(rate "$mb" "$raw")"
      appliance_start; base=$(appl_kb VmRSS)
      t=$(lib_op backup "$n" "$bs" "$tag"); R_LIB["backup $key"]+=" $(rate "$mb" "$t")"
      RSS_C["backup $key"]+=" $(peak_rss_kb)"; RSS_A["backup $key"]+=" $(( ($(appl_kb VmHWM) - base) / n ))"
      drop_store_cache
      raw=$(raw_copy "$n"); R_RAW["restore $key"]+=" $(rate "$mb" "$raw")"
      appliance_start; base=$(appl_kb VmRSS)
      t=$(lib_op restore "$n" "$bs" "$tag"); R_LIB["restore $key"]+=" $(rate "$mb" "$t")"
      RSS_C["restore $key"]+=" $(peak_rss_kb)"; RSS_A["restore $key"]+=" $(( ($(appl_kb VmHWM) - base) / n ))"
      if [ "$round" = 1 ]; then
        for i in $(seq 1 "$n"); do
          cmp -s "$(src_of "$n")" "$WORK/restored$i.dat" || { echo "compare.sh: restored file $i differs from the source" >&2; exit 1; }
        done
      fi
      lib_remove "$n" "$tag"
    done
  done
done

# System calls per MiB, in runs of their own (strace slows both sides down).
strace_calls() { awk '$NF == "total" { print $1 }' "$1"; }
per_mib() { awk -v c="$1" -v mb="$2" 'BEGIN { printf "%.1f", c / mb }'; }
SYS_RAW_S="" SYS_RAW_R=""
if [ "$STRACE" = 1 ]; then
  for n in $CHANNELS; do
    mb=$(( $(mb_of "$n") * n ))
    for bs in $BLOCKS; do
      key="$n $bs"; tag="$n-$bs-strace"
      for op in backup restore; do
        appliance_start
        args=()
        for t in /proc/"$APPLIANCE_PID"/task/*; do args+=(-p "${t##*/}"); done
        strace -f -c -U calls,errors,name -o "$OUT/strace-appliance-$op-$n-$bs.txt" "${args[@]}" 2>/dev/null &
        spid=$!
        sleep 0.5
        src=$(src_of "$n")
        pids=()
        for i in $(seq 1 "$n"); do
          if [ "$op" = backup ]; then
            strace -f -c -U calls,errors,name -o "$OUT/strace-client-$op-$n-$bs-$i.txt" \
              "${TESTER[@]}" -b "$bs" backup "cmp-$tag-$i" "$src" >/dev/null &
          else
            strace -f -c -U calls,errors,name -o "$OUT/strace-client-$op-$n-$bs-$i.txt" \
              "${TESTER[@]}" -b "$bs" restore "cmp-$tag-$i" "$WORK/restored$i.dat" >/dev/null &
          fi
          pids+=($!)
        done
        wait "${pids[@]}"
        kill -INT "$spid"; wait "$spid" 2>/dev/null || true
        c=0
        for i in $(seq 1 "$n"); do c=$(( c + $(strace_calls "$OUT/strace-client-$op-$n-$bs-$i.txt") )); done
        SYS_C["$op $key"]=$(per_mib "$c" "$mb")
        SYS_A["$op $key"]=$(per_mib "$(strace_calls "$OUT/strace-appliance-$op-$n-$bs.txt")" "$mb")
      done
      lib_remove "$n" "$tag"
    done
  done
  # The raw copy: sender and receiver.
  port=$(( PORT_BASE + 99 ))
  strace -f -c -U calls,errors,name -o "$OUT/strace-raw-receiver.txt" \
    socat -u -b 1048576 "TCP-LISTEN:$port,bind=$ADDR,reuseaddr" "OPEN:$WORK/raw.dat,creat,trunc" &
  rpid=$!
  for _ in $(seq 1 100); do ss -Hltn "src $ADDR:$port" | grep -q . && break; sleep 0.02; done
  strace -f -c -U calls,errors,name -o "$OUT/strace-raw-sender.txt" \
    socat -u -b 1048576 "OPEN:$WORK/src1.dat" "TCP:$ADDR:$port"
  wait "$rpid"
  rm -f "$WORK/raw.dat"
  SYS_RAW_S=$(per_mib "$(strace_calls "$OUT/strace-raw-sender.txt")" "$MB")
  SYS_RAW_R=$(per_mib "$(strace_calls "$OUT/strace-raw-receiver.txt")" "$MB")
fi

{
  echo "KESTRALON DM path against a raw socket copy ($(date -u +%Y-%m-%dT%H:%MZ), $(nproc) cores)"
  echo "build: $BUILD; ${MB} MiB of random data (four channels: ${MB4} MiB each); files in $DIR; store in ${COMPARE_ROOT:-$DIR}"
  echo "medians of $RUNS rounds; load average at the rounds: ${LOADS[*]}"
  echo
  echo "| what | library MiB/s | raw copy MiB/s | ratio | client syscalls/MiB | appliance syscalls/MiB | client peak RSS MiB | appliance peak RSS MiB/channel |"
  echo "|---|---|---|---|---|---|---|---|"
  for n in $CHANNELS; do
    for bs in $BLOCKS; do
      for op in backup restore; do
        k="$op $n $bs"
        lib=$(echo "${R_LIB[$k]}" | median); raw=$(echo "${R_RAW[$k]}" | median)
        ratio=$(awk -v a="$lib" -v b="$raw" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
        rc=$(echo "${RSS_C[$k]}" | median); ra=$(echo "${RSS_A[$k]}" | median)
        what="$op, $bs blocks"
        [ "$n" = 1 ] || what="$n ${op}s at once, $bs blocks (aggregate)"
        printf '| %s | %s | %s | %s | %s | %s | %s | %s |\n' "$what" "$lib" "$raw" "$ratio" "${SYS_C[$k]:--}" \
          "${SYS_A[$k]:--}" "$(( rc / 1024 ))" "$(awk -v k="$ra" 'BEGIN { printf "%.1f", k / 1024 }')"
      done
    done
  done
  if [ "$STRACE" = 1 ]; then
    echo "| raw copy (socat -u -b 1048576) | | | | sender $SYS_RAW_S | receiver $SYS_RAW_R | | |"
  fi
  if [ "$DISK_ROOT" = 1 ]; then
    echo
    echo "store on disk: dd bs=1M conv=fdatasync writes $(echo "${DD_W[*]}" | median) MiB/s, reads back (cache dropped) $(echo "${DD_R[*]}" | median) MiB/s"
  fi
  echo
  echo "rounds (MiB/s, library / raw):"
  for k in "${!R_LIB[@]}"; do echo "  $k: ${R_LIB[$k]# } / ${R_RAW[$k]# }"; done | sort
} | tee "$OUT/table.md"
