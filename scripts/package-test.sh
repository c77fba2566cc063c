#!/usr/bin/env bash
# The packages as an operator gets them: builds them from a clean clone of the
# current commit, checks them with lintian, installs them into this machine
# with dpkg, starts the installed appliance with the command line of its
# installed systemd unit, backs a file up and restores it byte-identical with
# the installed tester through the installed library, then removes the
# packages and checks that the backups and stored credentials stay.
#
# Needs root (or passwordless sudo); skipped otherwise (exit status 77). Refuses to run where
# the packages or their data directories are already present, so that it
# never touches a real installation. Everything it adds to the machine is
# taken away again when it ends, also after a failure.
set -euo pipefail
cd "$(dirname "$0")/.."
SRC=$PWD

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  if sudo -n true 2>/dev/null; then
    SUDO=(sudo -n)
  else
    echo "package: SKIPPED: installing packages needs root or passwordless sudo"
    exit 77
  fi
fi
as_root() { "${SUDO[@]}" "$@"; }

PACKAGES=(kestralon-rman kestralon-appliance)
DIRS=(/var/opt/kestralon /var/lib/kestralon /etc/kestralon)
for p in "${PACKAGES[@]}"; do
  if dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null | grep -qv '^not-installed$'; then
    echo "package: SKIPPED: $p is installed on this machine; this stage would replace and remove it"
    exit 77
  fi
done
for d in "${DIRS[@]}"; do
  if [ -e "$d" ]; then
    echo "package: SKIPPED: $d exists on this machine; this stage would change it"
    exit 77
  fi
done
for tool in dpkg-buildpackage lintian help2man setpriv git; do
  command -v "$tool" >/dev/null || { echo "package: $tool is missing; run scripts/setup-debian.sh" >&2; exit 1; }
done

fail() { echo "package: FAILED: $*" >&2; exit 1; }
alive() { ps -p "$1" >/dev/null 2>&1; }
step() { echo "-- $*"; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/kestralon-package.XXXXXX")
had_user=0; getent passwd kestralon >/dev/null && had_user=1
had_group=0; getent group kestralon >/dev/null && had_group=1
had_rman_group=0; getent group kestralon-rman >/dev/null && had_rman_group=1
APPLIANCE_PID=""
cleanup() {
  local rc=$?
  set +e
  if [ -n "$APPLIANCE_PID" ] && alive "$APPLIANCE_PID"; then
    as_root kill -KILL "$APPLIANCE_PID"
    wait "$APPLIANCE_PID" 2>/dev/null
  fi
  for p in "${PACKAGES[@]}"; do
    if dpkg-query -W "$p" >/dev/null 2>&1; then as_root dpkg --purge "$p" >/dev/null; fi
  done
  as_root rm -rf "${DIRS[@]}"
  [ $had_user -eq 1 ] || ! getent passwd kestralon >/dev/null || as_root userdel kestralon
  [ $had_group -eq 1 ] || ! getent group kestralon >/dev/null || as_root groupdel kestralon
  [ $had_rman_group -eq 1 ] || ! getent group kestralon-rman >/dev/null || as_root groupdel kestralon-rman
  if [ $rc -ne 0 ] && [ -f "$WORK/appliance.log" ]; then
    echo "---- appliance log" >&2
    tail -n 30 "$WORK/appliance.log" >&2
  fi
  as_root rm -rf "$WORK"
  exit $rc
}
trap cleanup EXIT

COMMIT=$(git -C "$SRC" rev-parse HEAD)
if [ -n "$(git -C "$SRC" status --porcelain --untracked-files=no)" ]; then
  echo "package: note: uncommitted changes are not in the packages; they are built from commit ${COMMIT:0:12}"
fi
step "clean clone of ${COMMIT:0:12}"
git clone -q --no-checkout "$SRC" "$WORK/src"
git -C "$WORK/src" checkout -q --detach "$COMMIT"

step "building the packages"
"$WORK/src/scripts/build-deb.sh" "$WORK/dist"
RMAN_DEB=$(ls "$WORK"/dist/kestralon-rman_*.deb)
APPL_DEB=$(ls "$WORK"/dist/kestralon-appliance_*.deb)

step "lintian"
lintian --fail-on error "$RMAN_DEB" "$APPL_DEB" || fail "lintian reports errors"

step "dpkg -i"
as_root dpkg -i "$RMAN_DEB" "$APPL_DEB" || fail "the packages do not install"
UNIT=$(dpkg -L kestralon-appliance | grep '/systemd/system/kestralon-appliance\.service$') ||
  fail "the appliance package installs no systemd unit"
if command -v systemctl >/dev/null && [ -d /run/systemd/system ]; then
  # A machine that runs systemd started the service on installation.
  as_root systemctl stop kestralon-appliance.service
fi

step "installed ownership and modes"
check_stat() {  # path expected "owner:group mode"
  local got
  got=$(as_root stat -c '%U:%G %a' "$1") || fail "$1 is missing"
  [ "$got" = "$2" ] || fail "$1 is $got, expected $2"
}
check_stat /var/opt/kestralon "root:kestralon-rman 2770"
check_stat /var/lib/kestralon "kestralon:kestralon 750"
check_stat /etc/kestralon/users "kestralon:kestralon 600"
check_stat /etc/kestralon/appliance.conf "root:root 644"
test -x /usr/bin/kestralon-sbttest && test -x /usr/sbin/kestralon-appliance || fail "programs missing"
test -f /opt/kestralon/lib/librmanKESTRALON.so && test -f /opt/kestralon/lib/libbfst64.so || fail "libraries missing"
# (from the packages: a slim system may exclude manual pages from installation)
listing=$(dpkg-deb -c "$RMAN_DEB"; dpkg-deb -c "$APPL_DEB")
grep -q '/man1/kestralon-sbttest\.1\.gz$' <<<"$listing" && grep -q '/man8/kestralon-appliance\.8\.gz$' <<<"$listing" ||
  fail "manual pages missing"

if command -v systemd-analyze >/dev/null; then
  step "systemd-analyze verify $UNIT"
  out=$(as_root systemd-analyze verify "$UNIT" 2>&1) || { echo "$out" >&2; fail "systemd-analyze rejects the unit"; }
  if grep -F "kestralon" <<<"$out" >&2; then fail "systemd-analyze warns about the unit"; fi
fi

# The service as systemd would start it: the unit's user, group, umask and
# command line, nothing else.
unit_key() { sed -n "s/^$1=//p" "$UNIT" | tail -n 1; }
EXEC=$(unit_key ExecStart)
SVC_USER=$(unit_key User)
SVC_GROUP=$(unit_key Group)
SVC_UMASK=$(unit_key UMask)
[ -n "$EXEC" ] && [ -n "$SVC_USER" ] || fail "the unit lacks ExecStart= or User="
read -r -a EXEC_ARGV <<<"$EXEC"
CONF=/etc/kestralon/appliance.conf
[ "${EXEC_ARGV[*]}" = "/usr/sbin/kestralon-appliance --config $CONF" ] ||
  fail "the unit runs '$EXEC', not the installed appliance with $CONF"
ADDR=$(sed -nE 's/^[[:space:]]*listen[[:space:]]*=[[:space:]]*([^[:space:]]+).*/\1/p' "$CONF" | tail -n 1)
ADDR=${ADDR:-127.0.0.1}
if (exec 3<>"/dev/tcp/$ADDR/10002") 2>/dev/null; then
  fail "something already listens on $ADDR port 10002; stop it to run this stage"
fi

step "starting: $EXEC (as $SVC_USER)"
# (not through as_root: $! must be the process itself, not a subshell)
"${SUDO[@]}" sh -c 'umask "$1"; u=$2 g=$3; shift 3; exec setpriv --reuid="$u" --regid="$g" --init-groups -- "$@"' sh \
  "${SVC_UMASK:-0022}" "$SVC_USER" "${SVC_GROUP:-$SVC_USER}" "${EXEC_ARGV[@]}" 2>"$WORK/appliance.log" &
APPLIANCE_PID=$!
# Bounded wait for the control port; it only stops a hang.
for _ in $(seq 1 100); do
  if (exec 3<>"/dev/tcp/$ADDR/10002") 2>/dev/null; then break; fi
  alive "$APPLIANCE_PID" || fail "the installed appliance did not start"
  sleep 0.1
done
(exec 3<>"/dev/tcp/$ADDR/10002") 2>/dev/null || fail "the installed appliance does not listen on $ADDR port 10002"

# The tester runs as an unprivileged member of kestralon-rman, the way the
# database's user does, with the default library directory /var/opt/kestralon.
dba() { as_root env -u WINDIR setpriv --reuid=nobody --regid=nogroup --groups=kestralon-rman -- "$@"; }
# The library keeps its default configuration: backups on the BFST path.
as_root rm -f /var/opt/kestralon/librmanKESTRALON.ini
PASSWORD=$(as_root sed -n 's/^rman://p' /etc/kestralon/users)
[ -n "$PASSWORD" ] || fail "/etc/kestralon/users has no user rman"

step "storing a credential, backing up and restoring with /usr/bin/kestralon-sbttest"
dba kestralon-sbttest --quiet --env "BACKUP_HOST=$ADDR" command "creds -s -c pkgtest -H $ADDR -u rman -p $PASSWORD" ||
  fail "storing a credential failed"
head -c $((3 * 1048576 + 4321)) /dev/urandom >"$WORK/source.dat"
ENV="BACKUP_HOST=$ADDR,BACKUP_SHARE=rman,BACKUP_CREDID=pkgtest"
PIECE="pkgtest-$(date +%s)"
dba kestralon-sbttest --quiet --env "$ENV" backup "$PIECE" - <"$WORK/source.dat" || fail "backup failed"
dba kestralon-sbttest --quiet --env "$ENV" restore "$PIECE" - >"$WORK/restored.dat" || fail "restore failed"
cmp "$WORK/source.dat" "$WORK/restored.dat" || fail "the restored file differs from the source"
echo "   restored $(stat -c %s "$WORK/restored.dat") bytes, byte-identical"
check_stat /var/opt/kestralon/KESTRALON/creds.xml "nobody:kestralon-rman 600"
as_root test -f "/var/lib/kestralon/rman/$PIECE" || fail "no backup file in /var/lib/kestralon/rman"
as_root sh -c 'ls /var/lib/kestralon/.bfst | grep -qv "^\."' || fail "the backup did not travel on the BFST path"

step "SIGTERM"
as_root kill -TERM "$APPLIANCE_PID"
for _ in $(seq 1 100); do
  alive "$APPLIANCE_PID" || break
  sleep 0.1
done
if alive "$APPLIANCE_PID"; then fail "the appliance did not stop within 10 s of SIGTERM"; fi
status=0
wait "$APPLIANCE_PID" || status=$?
APPLIANCE_PID=""
[ $status -eq 0 ] || fail "the appliance exited with status $status after SIGTERM"

step "dpkg -r"
as_root dpkg -r kestralon-appliance kestralon-rman >/dev/null || fail "the packages do not remove"
test ! -e /usr/sbin/kestralon-appliance && test ! -e /opt/kestralon/lib/librmanKESTRALON.so ||
  fail "dpkg -r left programs behind"
as_root test -f "/var/lib/kestralon/rman/$PIECE" || fail "dpkg -r removed the backups"
as_root test -f /var/opt/kestralon/KESTRALON/creds.xml || fail "dpkg -r removed creds.xml"
as_root test -f /etc/kestralon/users || fail "dpkg -r removed the users file"
echo "package: the packages build, install, back up and restore byte-identical, and remove keeping the data"
