#!/usr/bin/env bash
# The Windows build's tests: builds the dependencies (cached, see
# scripts/build-win-deps.sh), cross-builds librmanKESTRALON.dll, bfst64.dll
# and the SBT tester, checks the DLL's export table against the Linux
# library's, then drives the Windows tester under wine64 against the Linux
# appliance on a loopback address of its own:
#
#   - the self-test cycle (the tester loads the DLL, runs the cycle, unloads
#     it with FreeLibrary and exits 0);
#   - a file backed up over the BFST path (the default) and over the data
#     mover (IO_PATH=1), each restored byte-identical (SHA-256);
#   - sbtinfo2 and sbtremove2;
#   - sbtcommand "creds ...": a credential stored, checked, used for a
#     backup, deleted;
#   - creds.xml and the library's logs under the Windows directory wine
#     gives the program (KES_WIN_WINDIR), with no password in any log.
#
# Exit status 0 when every check passed, 77 when wine64 or the cross compiler
# is not installed.
#   KES_WIN_TEST_MB   size of the file backed up (default 256 MiB)
#   KES_WIN_DEPS      the dependency prefix (default build-win/deps)
#   KES_LINUX_BUILD   the Linux build tree holding the appliance (default build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
MB=${KES_WIN_TEST_MB:-256}
JOBS=$(nproc)

skip() { echo "win-test: $*: skipped (scripts/setup-debian.sh installs it)"; exit 77; }
for tool in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-objdump; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool (mingw-w64) is not installed"
done
command -v wine64 >/dev/null 2>&1 || [ -x /usr/lib/wine/wine64 ] || skip "wine64 is not installed"

t0=$SECONDS
phase() { echo "win-test: $* ($((SECONDS - t0)) s)"; }
fail() { echo "FAIL $*" >&2; exit 1; }

# ---------------------------------------------------------------- builds
scripts/build-win-deps.sh
deps=${KES_WIN_DEPS:-$root/build-win/deps}
phase "dependencies ready"

win=build-win/x64
cmake -S . -B "$win" -G Ninja -Wno-dev "-DCMAKE_TOOLCHAIN_FILE=$root/cmake/mingw-w64-x86_64.cmake" \
  "-DKES_WIN_DEPS=$deps" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$win" -j"$JOBS" --target rmanKESTRALON bfst64 kestralon-sbttest

linux=${KES_LINUX_BUILD:-build}
if [ ! -f "$linux/CMakeCache.txt" ]; then
  cmake -S . -B "$linux" -G Ninja -Wno-dev -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-O2 >/dev/null
fi
cmake --build "$linux" -j"$JOBS" --target rmanKESTRALON kestralon-appliance
phase "Windows and Linux programs built"

# ---------------------------------------------------------------- exports
# The DLL exports exactly what the Linux library exports, and has its DllMain.
dll_exports=$(x86_64-w64-mingw32-objdump -p "$win/librmanKESTRALON.dll" |
  sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort)
so_exports=$(nm -D --defined-only "$linux/librmanKESTRALON.so" | awk '$2 ~ /^[TW]$/ {print $3}' | sort)
[ -n "$so_exports" ] || fail "exports: nm lists no function of $linux/librmanKESTRALON.so"
if [ "$dll_exports" != "$so_exports" ]; then
  echo "librmanKESTRALON.dll exports:" >&2; echo "$dll_exports" | head -20 >&2
  echo "librmanKESTRALON.so exports:" >&2; echo "$so_exports" >&2
  fail "exports: the DLL's export table differs from the Linux library's"
fi
dll_symbols=$(x86_64-w64-mingw32-nm "$win/librmanKESTRALON.dll")
grep -q ' T DllMain$' <<<"$dll_symbols" || fail "exports: librmanKESTRALON.dll has no DllMain"
echo "ok exports: librmanKESTRALON.dll exports exactly $(echo "$so_exports" | tr '\n' ' ')and has DllMain"

# ---------------------------------------------------------------- appliance
BASE=/dev/shm
avail_kb=$(df -Pk "$BASE" 2>/dev/null | awk 'NR==2 {print $4}')
if [ -z "$avail_kb" ] || [ "$avail_kb" -lt $(((MB * 5 + 64) * 1024)) ]; then BASE=${TMPDIR:-/tmp}; fi
work=$(mktemp -d "$BASE/kes-win-test.XXXXXX")
. scripts/appliance-lib.sh
cleanup() {
  kes_appliance_stop
  rm -rf "$work"
}
trap cleanup EXIT
winpath() { local p=$1; echo "Z:${p//\//\\}"; }

mkdir -p "$work/store" "$work/windir"
kes_make_users "$work"
password=$(cat "$work/password")
# A loopback address of its own: 127.0.x.y away from the unit tests' range.
addr="127.0.$((RANDOM % 100 + 140)).$((RANDOM % 250 + 2))"
kes_appliance_start "$linux/kestralon-appliance" "$addr" "$work/store" "$work/users" "$work/appliance.log" ||
  { cat "$work/appliance.log" >&2; fail "the appliance did not start on $addr"; }
phase "appliance listening on $addr"

windir="$work/windir"
printf 'DEBUG_LEVEL=info\r\n' >"$windir/librmanKESTRALON.ini"
tester() {  # tester arguments...
  KES_WIN_WINDIR="$windir" scripts/wine-run.sh "$root/$win/kestralon-sbttest.exe" --quiet "$@"
}
env_pw=("--password-file" "$(winpath "$work/password")" --env "BACKUP_HOST=$addr,BACKUP_SHARE=rman,BACKUP_USERNAME=rman")
blob_count() { find "$work/store/.bfst" -maxdepth 1 -type f ! -name '.*' ! -name '*.part' 2>/dev/null | wc -l; }

# ---------------------------------------------------------------- self-test
tester "${env_pw[@]}" --blocks 16 --name win-selftest test >"$work/selftest.out" 2>&1 ||
  { cat "$work/selftest.out" >&2; fail "self-test: the cycle failed under wine"; }
echo "ok self-test: the cycle passed, the DLL was unloaded and the tester exited 0"

# ---------------------------------------------------------------- 256 MiB
head -c $((MB * 1048576)) /dev/urandom >"$work/source.dat"
src_sum=$(sha256sum "$work/source.dat" | cut -d' ' -f1)
roundtrip() {  # path name, piece
  local path=$1 piece=$2 sum
  tester "${env_pw[@]}" backup "$piece" "$(winpath "$work/source.dat")" >"$work/$piece.backup" 2>&1 ||
    { cat "$work/$piece.backup" >&2; fail "$path: backup of $piece failed"; }
  tester "${env_pw[@]}" restore "$piece" "$(winpath "$work/restored.dat")" >"$work/$piece.restore" 2>&1 ||
    { cat "$work/$piece.restore" >&2; fail "$path: restore of $piece failed"; }
  sum=$(sha256sum "$work/restored.dat" | cut -d' ' -f1)
  rm -f "$work/restored.dat"
  [ "$sum" = "$src_sum" ] || fail "$path: $piece restored differs from the source ($sum, not $src_sum)"
}
t=$SECONDS
roundtrip BFST win-bfst
blobs=$(blob_count)
[ "$blobs" -gt 0 ] || fail "BFST: the backup did not travel on the BFST path (no blob on the appliance)"
echo "ok BFST: $MB MiB backed up as $blobs blob(s), restored byte-identical ($((SECONDS - t)) s)"

printf 'DEBUG_LEVEL=info\r\nIO_PATH=1\r\n' >"$windir/librmanKESTRALON.ini"
t=$SECONDS
roundtrip DM win-dm
[ "$(blob_count)" -eq "$blobs" ] || fail "DM: the backup with IO_PATH=1 wrote BFST blobs"
[ -f "$work/store/rman/win-dm" ] || fail "DM: the appliance holds no file win-dm"
grep -rq 'IO_PATH=DM' "$windir/KESTRALON" || fail "DM: the library's log does not say IO_PATH=DM"
echo "ok DM: $MB MiB backed up over the data mover (IO_PATH=DM in the log, no blob), restored byte-identical ($((SECONDS - t)) s)"
rm -f "$work/source.dat"
printf 'DEBUG_LEVEL=info\r\n' >"$windir/librmanKESTRALON.ini"

# ---------------------------------------------------------------- info, remove
tester "${env_pw[@]}" info win-bfst win-dm >"$work/info.out" 2>&1 || { cat "$work/info.out" >&2; fail "sbtinfo2 failed"; }
grep -q win-bfst "$work/info.out" && grep -q win-dm "$work/info.out" ||
  { cat "$work/info.out" >&2; fail "sbtinfo2: a piece is missing from the answer"; }
echo "ok sbtinfo2: both pieces described"
tester "${env_pw[@]}" remove win-bfst win-dm >"$work/remove.out" 2>&1 || { cat "$work/remove.out" >&2; fail "sbtremove2 failed"; }
[ ! -e "$work/store/rman/win-dm" ] || fail "sbtremove2: win-dm is still on the appliance"
tester "${env_pw[@]}" info win-bfst >"$work/info2.out" 2>&1 || true
grep -q 'not found' "$work/info2.out" || { cat "$work/info2.out" >&2; fail "sbtinfo2 still describes the removed piece win-bfst"; }
echo "ok sbtremove2: both pieces removed, sbtinfo2 no longer finds them"

# ---------------------------------------------------------------- creds
env_host=(--env "BACKUP_HOST=$addr,BACKUP_SHARE=rman")
tester "${env_host[@]}" command "creds -s -c wintest -H $addr -u rman -p $password" >"$work/creds-s.out" 2>&1 ||
  { cat "$work/creds-s.out" >&2; fail "creds -s failed"; }
[ -s "$windir/KESTRALON/creds.xml" ] || fail "creds -s: no creds.xml under the Windows directory ($windir/KESTRALON)"
tester "${env_host[@]}" command "creds -g -c wintest -H $addr" >"$work/creds-g.out" 2>&1 ||
  { cat "$work/creds-g.out" >&2; fail "creds -g does not find the stored credential"; }
# A store that belongs to another account is refused. Wine gives a file of
# another Linux user the owner SID S-1-22-1-<uid>; changing the owner needs root.
if [ "$(id -u)" = 0 ]; then
  chown 4242 "$windir/KESTRALON/creds.xml"
  if tester "${env_host[@]}" command "creds -g -c wintest -H $addr" >"$work/creds-owner.out" 2>&1; then
    chown 0 "$windir/KESTRALON/creds.xml"
    cat "$work/creds-owner.out" >&2; fail "creds: a creds.xml owned by another user was used"
  fi
  chown 0 "$windir/KESTRALON/creds.xml"
  grep -q 'is owned by user' "$work/creds-owner.out" ||
    { cat "$work/creds-owner.out" >&2; fail "creds: the refusal of a foreign creds.xml does not say why"; }
  echo "ok creds: a creds.xml owned by another account is refused: $(grep -o 'is owned by user [^;]*' "$work/creds-owner.out" | head -1)"
else
  echo "win-test: not root: the owner check of creds.xml is not tried"
fi
head -c 1048576 /dev/urandom >"$work/small.dat"
tester --env "BACKUP_HOST=$addr,BACKUP_SHARE=rman,BACKUP_CREDID=wintest" backup win-creds "$(winpath "$work/small.dat")" \
  >"$work/creds-backup.out" 2>&1 || { cat "$work/creds-backup.out" >&2; fail "a backup with BACKUP_CREDID failed"; }
tester "${env_host[@]}" command "creds -d -c wintest -H $addr" >"$work/creds-d.out" 2>&1 ||
  { cat "$work/creds-d.out" >&2; fail "creds -d failed"; }
if tester "${env_host[@]}" command "creds -g -c wintest -H $addr" >"$work/creds-g2.out" 2>&1; then
  fail "creds -g still finds the deleted credential"
fi
echo "ok creds: stored in $windir/KESTRALON/creds.xml, checked, used for a backup, deleted"

# ---------------------------------------------------------------- logs
logs=$(find "$windir/KESTRALON" -maxdepth 1 -name '*.log' | wc -l)
[ "$logs" -gt 0 ] || fail "logs: no log under the Windows directory ($windir/KESTRALON)"
# creds.xml holds it by design (the file is its owner's only); nothing else may.
leaks=$(grep -rlF "$password" "$windir" "$work"/*.out "$work"/win-* 2>/dev/null | grep -v '/creds\.xml$' || true)
[ -z "$leaks" ] || fail "logs: the password appears in $leaks"
echo "ok logs: $logs log file(s) under the Windows directory, no password in them"
phase "all Windows checks passed"
