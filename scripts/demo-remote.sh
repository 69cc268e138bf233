#!/usr/bin/env bash
# make demo-remote: a scan for a remote client, on one machine. Makes
# certificates (a CA, one for the client's HSM service, one for the scan
# machine), starts tqhsm-service as the client's HSM service on 127.0.0.1,
# runs tqhsm-scan for remote client 9 over a sample tree seen through a proxy
# path, and shows that at the scan's end (DeInitialize (0)) the volume is on
# the service's watch list; then stops the service with SIGTERM.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
for tool in tqhsm-scan tqhsm-service; do
  [ -x "$build/$tool" ] || { echo "demo-remote: $build/$tool is missing; run make build" >&2; exit 1; }
done
command -v openssl >/dev/null || { echo "demo-remote: the openssl command is missing" >&2; exit 1; }

demo=$(mktemp -d "${TMPDIR:-/tmp}/tqhsm-demo-remote.XXXXXX")
demo=$(cd "$demo" && pwd -P)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; true' EXIT

echo "== certificates (scripts/make-certs.sh, openssl) in $demo/certs"
certs=$demo/certs
bash "$src/scripts/make-certs.sh" "$certs" ca "tqhsm demo CA"
bash "$src/scripts/make-certs.sh" "$certs" issue localhost DNS:localhost IP:127.0.0.1
bash "$src/scripts/make-certs.sh" "$certs" issue scan-machine
ls "$certs"
echo

# The client whose files are scanned: its volume, its HSM service.
mkdir -p "$demo/client/volume" "$demo/client/state"
cat > "$demo/client/tqhsm.ini" <<EOF
; the client's configuration: its HSM service
[Client]
Name = client9

[HSMService]
ListenAddress = 127.0.0.1
Port = 0
Certificate = $certs/localhost.crt
PrivateKey = $certs/localhost.key
CAFile = $certs/ca.crt
AllowedPeers = scan-machine
AllowedRoots = $demo/client
StateDirectory = $demo/client/state
EOF
echo "== tqhsm-service --config $demo/client/tqhsm.ini --check-config"
"$build/tqhsm-service" --config "$demo/client/tqhsm.ini" --check-config
echo
: > "$demo/client/service.out"  # read below while the service starts
"$build/tqhsm-service" --config "$demo/client/tqhsm.ini" --log "$demo/client/service.log" \
  > "$demo/client/service.out" 2>&1 &
pid=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's/^tqhsm-service: listening on 127.0.0.1 port \([0-9]*\)$/\1/p' "$demo/client/service.out")
  [ -n "$port" ] && break
  kill -0 "$pid" 2>/dev/null || { cat "$demo/client/service.out" >&2; exit 1; }
  sleep 0.1
done
[ -n "$port" ] || { echo "demo-remote: the service did not start" >&2; exit 1; }
echo "== the client's HSM service runs (pid $pid), listening on 127.0.0.1 port $port"
echo

# The scan machine sees the client's files through a proxy path: here a tree
# of this machine, on the volume mounted at $mount, stands for them.
tree=$demo/proxy/data
mkdir -p "$tree/docs" "$tree/media" "$demo/results"
now=$(date +%s)
mk() { head -c "$2" /dev/urandom > "$1"; touch -d "@$((now - $3 * 86400))" "$1"; }
mk "$tree/docs/report-2019.pdf" 1200000 900
mk "$tree/docs/notes.txt" 300000 2
mk "$tree/media/holiday-2018.mov" 3000000 1500
mk "$tree/media/cover.png" 90000 700
read -r blocks avail < <(stat -f -c '%b %a' "$demo")
low=$(( (100 * avail + blocks - 1) / blocks + 1 )); [ $low -gt 100 ] && low=100
high=$(( low + 1 )); [ $high -gt 100 ] && high=100
mount=$(df -P "$demo" | awk 'NR==2 {print $6}')
cat > "$demo/scan.ini" <<EOF
; the scan machine's configuration
[FileSystemAgent]
sSKIP_FS_TO_MONITOR = :proc:sysfs:

[Subclient 5]
HighFreeSpace = $high
LowFreeSpace = $low
DaysOld = 30
DaysOldMTime = 30
MinFileSizeKB = 4
RulesFlag = 0

[Client]
Name = scan-machine

[Client 9]
HostName = localhost
Name = client9
ServicePort = $port

[TLS]
Certificate = $certs/scan-machine.crt
PrivateKey = $certs/scan-machine.key
CAFile = $certs/ca.crt

[HSM]
StateDirectory = $demo/scan-machine-state
EOF
echo "== tqhsm-scan --remote-client-id 9 --proxy --map-prefix $mount=$demo/client/volume ... $tree"
echo "   (the volume $mount of the proxy view is $demo/client/volume on the client)"
"$build/tqhsm-scan" --config "$demo/scan.ini" --app-id 5 --job-results "$demo/results" \
  --remote-client-id 9 --proxy --driver-mode 0 --map-prefix "$mount=$demo/client/volume" \
  --log "$demo/scan.log" --no-progress "$tree"
echo
echo "== the client's watch list ($demo/client/state/watched_dirs) after DeInitialize (0)"
cat "$demo/client/state/watched_dirs"
echo
echo "== from the service's log ($demo/client/service.log)"
kill -TERM "$pid"
wait "$pid" || true
pid=
sed -E 's/^[^ ]+ [^ ]+ [0-9]+ //' "$demo/client/service.log" | grep -v startWatchingVolume
grep -qx "$demo/client/volume" "$demo/client/state/watched_dirs" ||
  { echo "demo-remote: the volume is not on the client's watch list" >&2; exit 1; }
echo
echo "(the demo folder stays for a look: rm -rf $demo)"
