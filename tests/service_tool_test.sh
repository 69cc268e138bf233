#!/usr/bin/env bash
# tqhsm-service end to end, as an administrator runs it: certificates made with
# the openssl command, --check-config, the service started by hand on
# 127.0.0.1, a real tqhsm-scan for remote client 9 (a proxy scan whose volume
# has a budget) whose volume lands on the service's watch list at its end, a
# scan with a certificate of another CA, a volume outside the allowed roots,
# SIGTERM, and a scan against the stopped service. Also the systemd unit that
# make install puts in place.
set -euo pipefail
src=$1
build=$2
scan=$build/tqhsm-scan
service=$build/tqhsm-service
for t in "$scan" "$service"; do [ -x "$t" ] || { echo "no $t"; exit 1; }; done
command -v openssl >/dev/null || { echo "no openssl command"; exit 77; }
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tqhsm-service-test.XXXXXX")
tmp=$(cd "$tmp" && pwd -P)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; for f in "$tmp"/*.log; do echo "== $f"; tail -n 20 "$f"; done; exit 1; }

certs=$tmp/certs
bash "$src/scripts/make-certs.sh" "$certs" ca "test CA"
bash "$src/scripts/make-certs.sh" "$certs" issue localhost DNS:localhost IP:127.0.0.1
bash "$src/scripts/make-certs.sh" "$certs" issue scanner1
bash "$src/scripts/make-certs.sh" "$certs/rogue" ca "rogue CA"
bash "$src/scripts/make-certs.sh" "$certs/rogue" issue scanner1
cat "$certs/ca.crt" "$certs/rogue/ca.crt" > "$certs/both.crt"

mkdir -p "$tmp/host" "$tmp/tree/a" "$tmp/results" "$tmp/svc-state"
svcini=$tmp/service.ini
cat > "$svcini" <<EOF
[Client]
Name = svc-client
[HSMService]
ListenAddress = 127.0.0.1
Port = 0
Certificate = $certs/localhost.crt
PrivateKey = $certs/localhost.key
CAFile = $certs/ca.crt
AllowedPeers = scanner1
AllowedRoots = $tmp/host
StateDirectory = $tmp/svc-state
RequestTimeout = 5
EOF

# --check-config: a good configuration, then broken ones, then bad usage.
out=$("$service" --config "$svcini" --check-config) || fail "--check-config of a good configuration"
grep -q "the configuration is good" <<<"$out" || fail "no verdict: $out"
grep -q "allowed roots:   $tmp/host" <<<"$out" || fail "no roots: $out"
sed -e '/^AllowedRoots/d' -e "s|^Certificate = .*|Certificate = $certs/rogue/scanner1.crt|" \
  "$svcini" > "$tmp/bad.ini"
set +e
err=$("$service" --config "$tmp/bad.ini" --check-config 2>&1)
rc=$?
set -e
[ $rc = 1 ] || fail "--check-config of a broken configuration exits $rc"
grep -q "AllowedRoots is missing or empty" <<<"$err" || fail "missing roots not named: $err"
set +e
"$service" --config "$tmp/bad.ini" >/dev/null 2>"$tmp/bad-start.err"
rc=$?
"$service" --bogus >/dev/null 2>&1
usage=$?
set -e
[ $rc = 1 ] || fail "a service with a broken configuration starts (exit $rc)"
grep -q "AllowedRoots is missing" "$tmp/bad-start.err" || fail "start does not say why"
[ $usage = 2 ] || fail "bad usage exits $usage"

# The service, started by hand.
: > "$tmp/service.out"
"$service" --config "$svcini" --log "$tmp/service.log" > "$tmp/service.out" 2>&1 &
pid=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's/^tqhsm-service: listening on 127.0.0.1 port \([0-9]*\)$/\1/p' "$tmp/service.out")
  [ -n "$port" ] && break
  kill -0 "$pid" 2>/dev/null || fail "the service ended: $(cat "$tmp/service.out")"
  sleep 0.1
done
[ -n "$port" ] || fail "the service does not say where it listens"

# The scan machine: a tree of old files on a volume with a budget.
now=$(date +%s)
for f in a/one.bin a/two.bin three.bin; do
  head -c 200000 /dev/urandom > "$tmp/tree/$f"
  touch -d "@$((now - 400 * 86400))" "$tmp/tree/$f"
done
read -r blocks avail < <(stat -f -c '%b %a' "$tmp")
low=$(( (100 * avail + blocks - 1) / blocks + 1 )); [ $low -gt 100 ] && low=100
high=$(( low + 1 )); [ $high -gt 100 ] && high=100
mount=$(df -P "$tmp" | awk 'NR==2 {print $6}')
scanini() {  # file certificate key ca
  cat > "$1" <<EOF
[FileSystemAgent]
sSKIP_FS_TO_MONITOR = :proc:sysfs:
[Subclient 5]
HighFreeSpace = $high
LowFreeSpace = $low
DaysOld = 30
DaysOldMTime = 30
RulesFlag = 0
[Client]
Name = scan-machine
[Client 9]
HostName = localhost
Name = nas9
ServicePort = $port
[TLS]
Certificate = $2
PrivateKey = $3
CAFile = $4
[HSM]
StateDirectory = $tmp/scan-state
EOF
}
scanini "$tmp/scan.ini" "$certs/scanner1.crt" "$certs/scanner1.key" "$certs/ca.crt"
runscan() {  # config map-to log
  "$scan" --config "$1" --app-id 5 --job-results "$tmp/results" --remote-client-id 9 --proxy \
    --driver-mode 0 --map-prefix "$mount=$2" --log "$3" --no-progress "$tmp/tree" > "$3.out"
}

runscan "$tmp/scan.ini" "$tmp/host" "$tmp/scan1.log" || fail "the remote scan failed"
grep -q "run:               ended normally" "$tmp/scan1.log.out" || fail "no normal end"
grep -q "result 1:          3 collected" "$tmp/scan1.log.out" || fail "the files were not collected"
[ "$(cat "$tmp/svc-state/watched_dirs")" = "$(printf 'tqhsm-watched-dirs 1\n%s' "$tmp/host")" ] ||
  fail "the service's watch list: $(cat "$tmp/svc-state/watched_dirs" 2>&1)"
grep -qx "svc-client $tmp/host" "$tmp/svc-state/migrated_trees" || fail "not recorded as migrated"
[ ! -e "$tmp/scan-state/watched_dirs" ] || fail "the scan machine's own watch list was touched"
grep -q "Watch request of scanner1 at 127.0.0.1:[0-9]* (client nas9) for $tmp/host: watched." \
  "$tmp/service.log" || fail "the service did not log the request"

# A certificate of another CA: Initialize fails with the reason; the service goes on.
scanini "$tmp/rogue.ini" "$certs/rogue/scanner1.crt" "$certs/rogue/scanner1.key" "$certs/both.crt"
if runscan "$tmp/rogue.ini" "$tmp/host" "$tmp/scan2.log"; then fail "a scan with a rogue certificate ran"; fi
grep -q "Failed to attach to On demand service \[TQHSMService\].Error \[certificate rejected by the service at localhost:$port" \
  "$tmp/scan2.log" || fail "no reason for the refused certificate"
kill -0 "$pid" || fail "the service ended after a rogue peer"

# A volume outside the allowed roots is refused; the scan's log says why.
runscan "$tmp/scan.ini" /etc "$tmp/scan3.log" || fail "the scan failed"
grep -q "Failed volume path '/etc' lies outside the allowed roots of this service ($tmp/host)." \
  "$tmp/scan3.log" || fail "no reason for the refused volume"
grep -c "$tmp/host" "$tmp/svc-state/watched_dirs" | grep -qx 1 || fail "the watch list changed"

# SIGTERM: a clean end.
kill -TERM "$pid"
set +e
wait "$pid"
rc=$?
set -e
pid=
[ $rc = 0 ] || fail "the service ends with $rc after SIGTERM"
grep -q "SIGTERM received: stopping." "$tmp/service.log" || fail "SIGTERM not logged"
grep -q "TQHSMService stopped." "$tmp/service.log" || fail "no stop logged"

# The service is down: Initialize fails with the transport's reason.
if runscan "$tmp/scan.ini" "$tmp/host" "$tmp/scan4.log"; then fail "a scan ran without its service"; fi
grep -q "Failed to attach to On demand service \[TQHSMService\].Error \[connection refused by localhost:$port" \
  "$tmp/scan4.log" || fail "no reason for the refused connection"

# make install puts the systemd unit in place, pointing at the installed tool.
if grep -q '^TQHSM_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
  echo "sanitizer build: the unit is checked in the normal build"
else
  bash "$src/scripts/install-prefix.sh" "$build" "$tmp/prefix" >/dev/null
  unit=$tmp/prefix/lib/systemd/system/tqhsm-service.service
  [ -f "$unit" ] || fail "no unit installed"
  grep -qx "ExecStart=$tmp/prefix/bin/tqhsm-service --config /etc/tqhsm/tqhsm.ini" "$unit" ||
    fail "ExecStart: $(grep ExecStart "$unit")"
  [ -x "$tmp/prefix/bin/tqhsm-service" ] || fail "the tool is not installed"
  if command -v systemd-analyze >/dev/null 2>&1; then
    out=$(systemd-analyze verify "$unit" 2>&1) || fail "systemd-analyze verify: $out"
  fi
fi
echo "service tool test passed"
