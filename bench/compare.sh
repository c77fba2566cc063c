#!/usr/bin/env bash
# Backup and restore through librmanKESTRALON.so (the SBT entry points, driven
# by kestralon-sbttest as RMAN would) against a raw socket copy of the same
# file over the same loopback (socat -u -b 1048576, into a file on the same
# file system, and that file back for the restore rows), one, four and eight
# channels, 256 KiB and 1 MiB blocks, all in one run; then, with the
# appliance's store on a disk, one channel against dd ... conv=fdatasync of
# the same file. Prints the rates, their ratio to the reference (of the
# medians, and the median of the rounds' own ratios), the system calls per
# MiB of the client and of the appliance (strace -c -f, in runs of their
# own), and the peak resident memory of both.
# Given a second build (COMPARE_BEFORE), every figure is taken for both, in
# the same rounds, so that a change is measured against what it changed.
#
#   bench/compare.sh [BUILD_DIR]     (default: builds build-release)
#
# Environment:
#   COMPARE_BEFORE    a build directory to measure beside BUILD_DIR (for
#                     instance main's); its columns come first
#   COMPARE_MB        size moved by each row in MiB (default 2048); n channels
#                     move a file of COMPARE_MB / n MiB each
#   COMPARE_RUNS      timed rounds; the median is printed (default 5)
#   COMPARE_DIR       where the source, the raw copies and the restored files
#                     live, and the store of the loopback rows (default /dev/shm)
#   COMPARE_DISK      a directory on a disk for the store of the disk rows
#                     (default bench-out/disk-store in the tree); "" skips them
#   COMPARE_DISK_MB   size of the disk rows in MiB (default 1024)
#   COMPARE_ADDR      loopback address of the appliance (default 127.0.0.41)
#   COMPARE_BLOCKS    block sizes (default "1M 256K")
#   COMPARE_CHANNELS  channel counts (default "1 4 8")
#   COMPARE_STRACE    0 skips the system-call counts (default 1)
#   COMPARE_OUT       keep the raw figures and strace summaries here
#                     (default bench-out/compare-<time>)
#
# The machine may be shared: within a round the raw copy and each build run
# one after the other, so that all see the same load, and the load average of
# every round is printed with the table.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT_DIR=$(pwd)

MB=${COMPARE_MB:-2048}
RUNS=${COMPARE_RUNS:-5}
DIR=${COMPARE_DIR:-/dev/shm}
DISK=${COMPARE_DISK-$ROOT_DIR/bench-out/disk-store}
DISK_MB=${COMPARE_DISK_MB:-1024}
ADDR=${COMPARE_ADDR:-127.0.0.41}
BLOCKS=${COMPARE_BLOCKS:-"1M 256K"}
CHANNELS=${COMPARE_CHANNELS:-"1 4 8"}
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
# The builds measured, by label.
declare -A BUILDS
LABELS=()
if [ -n "${COMPARE_BEFORE:-}" ]; then
  BUILDS[before]=$(cd "$COMPARE_BEFORE" && pwd); BUILDS[after]=$BUILD; LABELS=(before after)
else
  BUILDS[library]=$BUILD; LABELS=(library)
fi
for l in "${LABELS[@]}"; do
  for f in kestralon-appliance kestralon-sbttest librmanKESTRALON.so; do
    [ -e "${BUILDS[$l]}/$f" ] || { echo "compare.sh: ${BUILDS[$l]}/$f is missing" >&2; exit 2; }
  done
done

mkdir -p "$OUT"
WORK=$(mktemp -d "$DIR/kestralon-compare.XXXXXX")
STORE=""
DISK_STORE=""
if [ -n "$DISK" ]; then mkdir -p "$DISK"; DISK_STORE=$(mktemp -d "$DISK/kestralon-compare.XXXXXX"); fi
mkdir -p "$WORK/store" "$WORK/windir"

. scripts/appliance-lib.sh
appliance_stop() { kes_appliance_stop; }
cleanup() {
  appliance_stop
  rm -rf "$WORK"
  if [ -n "$DISK_STORE" ]; then rm -rf "$DISK_STORE"; fi
}
trap cleanup EXIT

kes_make_users "$WORK" bench
printf 'IO_PATH=1\n' > "$WORK/windir/librmanKESTRALON.ini"
export WINDIR="$WORK/windir"

# A fresh appliance of build $1 for every measured operation, so that its
# peak memory is that operation's alone.
appliance_start() {  # label
  appliance_stop
  kes_appliance_start "${BUILDS[$1]}/kestralon-appliance" "$ADDR" "$STORE" "$WORK/users" "$OUT/appliance-$1.log" &&
    return 0
  echo "compare.sh: the appliance did not start (see $OUT/appliance-$1.log)" >&2
  exit 1
}

# The tester of build $1 as a command line, in TARGV.
tester_argv() {
  TARGV=("${BUILDS[$1]}/kestralon-sbttest" --lib "${BUILDS[$1]}/librmanKESTRALON.so" --quiet
         --password-file "$WORK/password" --env "BACKUP_HOST=$ADDR,BACKUP_SHARE=bench,BACKUP_USERNAME=bench")
}

head -c $(( MB * 1048576 )) /dev/urandom > "$WORK/src.dat"
mb_of() { echo $(( $1 / $2 )); }  # total MiB, channels: MiB per channel
src_of() {  # MiB: a source file of that size (a prefix of src.dat)
  if [ ! -e "$WORK/src-$1.dat" ]; then head -c $(( $1 * 1048576 )) "$WORK/src.dat" > "$WORK/src-$1.dat"; fi
  echo "$WORK/src-$1.dat"
}

now_ns() { date +%s%N; }
# Every timed operation, raw copy or library, comes after writing and freeing
# as much memory as it will fill (kes_warm_mem), so that all of them start
# from the same state.
warm_mem() { kes_warm_mem "$WORK" $(( $1 + 256 )); }  # MiB
rate() { awk -v mb="$1" -v ns="$2" 'BEGIN { printf "%.0f", mb / (ns / 1e9) }'; }
median() { tr ' ' '\n' | grep . | sort -n | awk '{ v[NR] = $1 } END { if (NR == 0) print 0; else if (NR % 2) print v[(NR + 1) / 2]; else printf "%.0f", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
# Median of the rounds' own ratios: lists $1 and $2 hold one figure a round,
# in the same order (a round's reference and library ran back to back).
paired() {
  awk -v a="$1" -v b="$2" 'BEGIN {
    n = split(a, x, " "); m = split(b, y, " "); if (m < n) n = m
    k = 0; for (i = 1; i <= n; i++) if (y[i] > 0) r[++k] = x[i] / y[i]
    if (k == 0) { print "0.00"; exit }
    for (i = 2; i <= k; i++) { v = r[i]; for (j = i - 1; j >= 1 && r[j] > v; j--) r[j + 1] = r[j]; r[j + 1] = v }
    printf "%.2f", (k % 2 ? r[(k + 1) / 2] : (r[k / 2] + r[k / 2 + 1]) / 2) }'
}

# n parallel socat copies; prints the elapsed nanoseconds. The backup copy
# sends the source into new files and keeps them; the restore copy sends
# those back into new files and removes both, as the library's restore reads
# back what its backup has just stored (a file read for the first time since
# it was written costs the kernel more than one read many times before).
PORT_BASE=$(( 20000 + RANDOM % 20000 ))
raw_copy() {  # channels, MiB per channel, backup|restore
  local n=$1 src; src=$(src_of "$2")
  local pids=() i port from to
  for i in $(seq 1 "$n"); do
    port=$(( PORT_BASE + i ))
    if [ "$3" = backup ]; then to=$WORK/raw$i.dat; else to=$WORK/back$i.dat; fi
    socat -u -b 1048576 "TCP-LISTEN:$port,bind=$ADDR,reuseaddr" "OPEN:$to,creat,trunc" &
    pids+=($!)
  done
  for i in $(seq 1 "$n"); do
    port=$(( PORT_BASE + i ))
    for _ in $(seq 1 100); do ss -Hltn "src $ADDR:$port" | grep -q . && break; sleep 0.02; done
  done
  warm_mem $(( n * $2 ))
  local t0 t1; t0=$(now_ns)
  for i in $(seq 1 "$n"); do
    if [ "$3" = backup ]; then from=$src; else from=$WORK/raw$i.dat; fi
    socat -u -b 1048576 "OPEN:$from" "TCP:$ADDR:$(( PORT_BASE + i ))" &
    pids+=($!)
  done
  wait "${pids[@]}"
  t1=$(now_ns)
  if [ "$3" = restore ]; then rm -f "$WORK"/raw*.dat "$WORK"/back*.dat; fi
  echo $(( t1 - t0 ))
}

# n parallel backups (or restores) through build l; prints the elapsed
# nanoseconds. Each tester's peak resident size goes to $WORK/rss.<i>; with
# a fifth argument each runs under strace -c into <that>-<i>.txt.
lib_op() {  # label backup|restore channels MiB-per-channel block tag [strace-prefix]
  local l=$1 op=$2 n=$3 mb=$4 bs=$5 tag=$6 st=${7:-} src; src=$(src_of "$mb")
  local pids=() i t0 t1 pre
  rm -f "$WORK"/rss.*
  tester_argv "$l"
  warm_mem $(( n * mb ))
  t0=$(now_ns)
  for i in $(seq 1 "$n"); do
    if [ -n "$st" ]; then pre=(strace -f -c -U calls,errors,name -o "$st-$i.txt"); else pre=(/usr/bin/time -f %M -o "$WORK/rss.$i"); fi
    if [ "$op" = backup ]; then
      "${pre[@]}" "${TARGV[@]}" -b "$bs" backup "cmp-$tag-$i" "$src" >/dev/null &
    else
      "${pre[@]}" "${TARGV[@]}" -b "$bs" restore "cmp-$tag-$i" "$WORK/restored$i.dat" >/dev/null &
    fi
    pids+=($!)
  done
  local ok=1
  for p in "${pids[@]}"; do wait "$p" || ok=0; done
  t1=$(now_ns)
  [ "$ok" = 1 ] || { echo "compare.sh: $l $op of $n channel(s), block $bs failed" >&2; exit 1; }
  echo $(( t1 - t0 ))
}

lib_remove() {  # label channels tag
  local i
  tester_argv "$1"
  for i in $(seq 1 "$2"); do "${TARGV[@]}" remove "cmp-$3-$i" >/dev/null; done
  rm -f "$WORK"/restored*.dat
}

peak_rss_kb() { awk '{ if ($1 > m) m = $1 } END { print m + 0 }' "$WORK"/rss.*; }
appl_kb() { awk -v k="$1" '$1 == k":" { print $2 }' "/proc/$APPLIANCE_PID/status"; }
drop_cache() { find "$1" -type f -exec dd if={} iflag=nocache count=0 status=none \; ; true; }

# One backup and restore of build l: rates, client and appliance peak memory.
declare -A R CRSS ARSS SYS_C SYS_A
measure() {  # label channels MiB-per-channel block key tag ondisk
  local l=$1 n=$2 mb=$3 bs=$4 key=$5 tag=$6 disk=$7 t base i
  appliance_start "$l"; base=$(appl_kb VmRSS)
  t=$(lib_op "$l" backup "$n" "$mb" "$bs" "$tag"); R["$l backup $key"]+=" $(rate $(( mb * n )) "$t")"
  CRSS["$l backup $key"]+=" $(peak_rss_kb)"; ARSS["$l backup $key"]+=" $(( ($(appl_kb VmHWM) - base) / n ))"
  if [ "$disk" = 1 ]; then drop_cache "$STORE"; fi
  appliance_start "$l"; base=$(appl_kb VmRSS)
  t=$(lib_op "$l" restore "$n" "$mb" "$bs" "$tag"); R["$l restore $key"]+=" $(rate $(( mb * n )) "$t")"
  CRSS["$l restore $key"]+=" $(peak_rss_kb)"; ARSS["$l restore $key"]+=" $(( ($(appl_kb VmHWM) - base) / n ))"
  for i in $(seq 1 "$n"); do
    cmp -s "$(src_of "$mb")" "$WORK/restored$i.dat" || { echo "compare.sh: $l: restored file $i differs from the source" >&2; exit 1; }
  done
  lib_remove "$l" "$n" "$tag"
}

# The store on a disk: dd of the same file with fdatasync, and its read back
# with the cache dropped, are the reference.
dd_ref() {  # MiB
  local t0 t1 w r src; src=$(src_of "$1")
  t0=$(now_ns); dd if="$src" of="$STORE/dd.ref" bs=1M conv=fdatasync status=none; t1=$(now_ns)
  w=$(rate "$1" $(( t1 - t0 )))
  dd if="$STORE/dd.ref" iflag=nocache count=0 status=none
  t0=$(now_ns); dd if="$STORE/dd.ref" of="$WORK/dd.back" bs=1M status=none; t1=$(now_ns)
  r=$(rate "$1" $(( t1 - t0 )))
  rm -f "$STORE/dd.ref" "$WORK/dd.back"
  echo "$w $r"
}

LOADS=()
ROWS=()
echo "compare.sh: ${MB} MiB a row, ${RUNS} rounds, builds: ${LABELS[*]}; files in $DIR; disk store ${DISK_STORE:-none}; figures in $OUT" >&2
for round in $(seq 1 "$RUNS"); do
  LOADS+=("$(cut -d' ' -f1 /proc/loadavg)")
  STORE=$WORK/store
  for n in $CHANNELS; do
    mb=$(mb_of "$MB" "$n")
    for bs in $BLOCKS; do
      key="$n $bs"
      [ "$round" = 1 ] && ROWS+=("$key")
      t=$(raw_copy "$n" "$mb" backup); R["raw backup $key"]+=" $(rate $(( mb * n )) "$t")"
      t=$(raw_copy "$n" "$mb" restore); R["raw restore $key"]+=" $(rate $(( mb * n )) "$t")"
      for l in "${LABELS[@]}"; do measure "$l" "$n" "$mb" "$bs" "$key" "$n-$bs-$round" 0; done
    done
  done
  if [ -n "$DISK_STORE" ]; then
    STORE=$DISK_STORE
    key="disk 1 1M"
    [ "$round" = 1 ] && ROWS+=("$key")
    read -r w r < <(dd_ref "$DISK_MB"); R["raw backup $key"]+=" $w"; R["raw restore $key"]+=" $r"
    for l in "${LABELS[@]}"; do measure "$l" 1 "$DISK_MB" 1M "$key" "disk-$round" 1; done
  fi
done
appliance_stop

# System calls per MiB, in runs of their own (strace slows both sides down).
strace_calls() { awk '$NF == "total" { print $1 }' "$1"; }
per_mib() { awk -v c="$1" -v mb="$2" 'BEGIN { printf "%.1f", c / mb }'; }
SYS_RAW_S="" SYS_RAW_R=""
if [ "$STRACE" = 1 ]; then
  STORE=$WORK/store
  for n in $CHANNELS; do
    mb=$(mb_of "$MB" "$n")
    for bs in $BLOCKS; do
      key="$n $bs"
      for l in "${LABELS[@]}"; do
        tag="$n-$bs-strace"
        for op in backup restore; do
          appliance_start "$l"
          args=()
          for t in /proc/"$APPLIANCE_PID"/task/*; do args+=(-p "${t##*/}"); done
          sfile="$OUT/strace-$l-appliance-$op-$n-$bs.txt"
          strace -f -c -U calls,errors,name -o "$sfile" "${args[@]}" 2>/dev/null &
          spid=$!
          sleep 0.5
          lib_op "$l" "$op" "$n" "$mb" "$bs" "$tag" "$OUT/strace-$l-client-$op-$n-$bs" >/dev/null
          kill -INT "$spid"; wait "$spid" 2>/dev/null || true
          c=0
          for i in $(seq 1 "$n"); do c=$(( c + $(strace_calls "$OUT/strace-$l-client-$op-$n-$bs-$i.txt") )); done
          SYS_C["$l $op $key"]=$(per_mib "$c" $(( mb * n )))
          SYS_A["$l $op $key"]=$(per_mib "$(strace_calls "$sfile")" $(( mb * n )))
        done
        lib_remove "$l" "$n" "$tag"
      done
    done
  done
  appliance_stop
  # The raw copy: sender and receiver.
  port=$(( PORT_BASE + 99 ))
  strace -f -c -U calls,errors,name -o "$OUT/strace-raw-receiver.txt" \
    socat -u -b 1048576 "TCP-LISTEN:$port,bind=$ADDR,reuseaddr" "OPEN:$WORK/raw.dat,creat,trunc" &
  rpid=$!
  for _ in $(seq 1 100); do ss -Hltn "src $ADDR:$port" | grep -q . && break; sleep 0.02; done
  strace -f -c -U calls,errors,name -o "$OUT/strace-raw-sender.txt" \
    socat -u -b 1048576 "OPEN:$WORK/src.dat" "TCP:$ADDR:$port"
  wait "$rpid"
  rm -f "$WORK/raw.dat"
  SYS_RAW_S=$(per_mib "$(strace_calls "$OUT/strace-raw-sender.txt")" "$MB")
  SYS_RAW_R=$(per_mib "$(strace_calls "$OUT/strace-raw-receiver.txt")" "$MB")
fi

# Figures of every build for one cell, joined by " / ".
cells() {  # kind key
  local out="" l v
  for l in "${LABELS[@]}"; do
    case "$1" in
      sysc) v=${SYS_C["$l $2"]:--} ;;
      sysa) v=${SYS_A["$l $2"]:--} ;;
      crss) v=$(( $(echo "${CRSS["$l $2"]}" | median) / 1024 )) ;;
      arss) v=$(awk -v k="$(echo "${ARSS["$l $2"]}" | median)" 'BEGIN { printf "%.1f", k / 1024 }') ;;
    esac
    out+="${out:+ / }$v"
  done
  echo "$out"
}

{
  echo "KESTRALON DM path against a raw socket copy ($(date -u +%Y-%m-%dT%H:%MZ), $(nproc) cores)"
  for l in "${LABELS[@]}"; do echo "build $l: ${BUILDS[$l]}"; done
  echo "${MB} MiB a row (n channels: ${MB}/n MiB each); files and loopback store in $DIR; disk rows: ${DISK_MB} MiB, store in ${DISK:-(skipped)}"
  echo "medians of $RUNS rounds; load average at the rounds: ${LOADS[*]}; $(uptime | sed 's/^ *//')"
  echo "ratio: of the medians; ratio, paired: median of the rounds' own ratios (each round runs the reference and"
  echo "the library back to back, so a machine that slows down or speeds up between rounds moves both)"
  echo
  head="| what | reference MiB/s |"
  sep="|---|---|"
  for l in "${LABELS[@]}"; do head+=" $l MiB/s | $l ratio | $l ratio, paired |"; sep+="---|---|---|"; done
  tag=""; [ "${#LABELS[@]}" -gt 1 ] && tag=" ($(IFS=/; echo "${LABELS[*]}"))"
  head+=" client syscalls/MiB$tag | appliance syscalls/MiB$tag | client peak RSS MiB$tag | appliance peak RSS MiB/channel$tag |"
  sep+="---|---|---|---|"
  echo "$head"; echo "$sep"
  for key in "${ROWS[@]}"; do
    for op in backup restore; do
      k="$op $key"
      ref=$(echo "${R["raw $k"]}" | median)
      case "$key" in
        disk*) what="$op, 1M blocks, store on disk (reference: dd bs=1M$([ "$op" = backup ] && echo ' conv=fdatasync' || echo ', cache dropped'))" ;;
        1\ *) what="$op, ${key#1 } blocks" ;;
        *) what="${key%% *} ${op}s at once, ${key#* } blocks (aggregate)" ;;
      esac
      line="| $what | $ref |"
      for l in "${LABELS[@]}"; do
        v=$(echo "${R["$l $k"]}" | median)
        line+=" $v | $(ratio "$v" "$ref") | $(paired "${R["$l $k"]}" "${R["raw $k"]}") |"
      done
      line+=" $(cells sysc "$k") | $(cells sysa "$k") | $(cells crss "$k") | $(cells arss "$k") |"
      echo "$line"
    done
  done
  if [ "$STRACE" = 1 ]; then
    echo
    echo "raw copy (socat -u -b 1048576) system calls per MiB: sender $SYS_RAW_S, receiver $SYS_RAW_R"
  fi
  echo
  echo "rounds (MiB/s; reference, then ${LABELS[*]}):"
  for key in "${ROWS[@]}"; do
    for op in backup restore; do
      k="$op $key"
      line="  $k: ${R["raw $k"]# }"
      for l in "${LABELS[@]}"; do line+=" | ${R["$l $k"]# }"; done
      echo "$line"
    done
  done
} | tee "$OUT/table.md"
