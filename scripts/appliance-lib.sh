# Shell helpers for the scripts that run an appliance of their own on a
# loopback address (the main job, the win stage, bench/compare.sh): a users
# file with a fresh password, starting the appliance and waiting for its MI
# port, stopping it, and warming the memory a timed step will fill. Source
# this file; it only defines functions and APPLIANCE_PID.

APPLIANCE_PID=""

# kes_make_users DIR [USER]: DIR/users ("USER:<password>", USER rman by
# default) and DIR/password, both readable by this user only; the password
# never reaches a command line.
kes_make_users() {
  (
    umask 077
    local pw
    pw=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
    printf '%s:%s\n' "${2:-rman}" "$pw" > "$1/users"
    printf '%s\n' "$pw" > "$1/password"
  )
}

# kes_appliance_start BIN ADDR ROOT USERS LOG: starts BIN in the background
# (APPLIANCE_PID) and waits for its MI port. Fails when the appliance ends or
# does not listen within 30 s (a bound that only stops a hang).
kes_appliance_start() {
  "$1" --listen "$2" --root "$3" --users-file "$4" --log-level warning --log-file "$5" &
  APPLIANCE_PID=$!
  local _
  for _ in $(seq 1 300); do
    if (exec 3<>"/dev/tcp/$2/10002") 2>/dev/null; then return 0; fi
    kill -0 "$APPLIANCE_PID" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

kes_appliance_stop() {
  if [ -n "$APPLIANCE_PID" ]; then
    kill "$APPLIANCE_PID" 2>/dev/null || true
    wait "$APPLIANCE_PID" 2>/dev/null || true
  fi
  APPLIANCE_PID=""
}

# kes_warm_mem DIR MIB: writes MIB MiB into a file in DIR and removes it. On a
# virtual machine whose host takes back the memory the guest frees (a balloon
# with free page reporting), the first write to memory that was free for a
# while costs several times a later one (a 2 GiB file written into it took
# 8 s instead of 1; the main job's restore swung from 360 to 1670 MiB/s).
# Timed steps come after warming as much memory as they will fill, so that
# they measure the library and all start from the same state. A full file
# system only makes the warming shorter.
kes_warm_mem() {
  dd if=/dev/zero of="$1/warm" bs=1M count="$2" status=none 2>/dev/null || true
  rm -f "$1/warm"
}
