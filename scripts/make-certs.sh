#!/usr/bin/env bash
# Makes the certificates of remote scans with the openssl command: a CA, and
# certificates that it signs for the HSM service of a client and for the
# machines whose scans attach to it (EC P-256 keys, PEM, keys mode 0600).
#
#   scripts/make-certs.sh DIR ca [COMMON_NAME]
#       DIR/ca.crt and DIR/ca.key (valid ten years)
#   scripts/make-certs.sh DIR issue NAME [SAN ...]
#       DIR/NAME.crt and DIR/NAME.key, signed by DIR/ca.*, valid 825 days,
#       for TLS servers and clients alike. Each SAN is DNS:<name> or IP:<address>;
#       without any the certificate is issued to DNS:NAME.
#
# The service's certificate must name the host name the scans connect to
# ([Client <id>] HostName); a scan machine's certificate must match an entry of
# the service's AllowedPeers when that key is set.
set -euo pipefail
usage() { sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
[ $# -ge 2 ] || usage
dir=$1 what=$2
shift 2
command -v openssl >/dev/null || { echo "make-certs: the openssl command is missing (apt-get install openssl)" >&2; exit 1; }
mkdir -p "$dir"
umask 077
case $what in
  ca)
    cn=${1:-tqhsm CA}
    openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
      -keyout "$dir/ca.key" -out "$dir/ca.crt" -days 3650 -subj "/CN=$cn" \
      -addext "basicConstraints=critical,CA:TRUE" \
      -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
    chmod 644 "$dir/ca.crt"
    ;;
  issue)
    [ $# -ge 1 ] || usage
    name=$1
    shift
    [ -f "$dir/ca.crt" ] && [ -f "$dir/ca.key" ] || { echo "make-certs: no CA in $dir (run: $0 $dir ca)" >&2; exit 1; }
    sans=${*:-DNS:$name}
    sans=${sans// /,}
    ext=$(mktemp)
    trap 'rm -f "$ext" "$dir/$name.csr"' EXIT
    printf '%s\n' "basicConstraints=critical,CA:FALSE" \
      "keyUsage=critical,digitalSignature,keyEncipherment" \
      "extendedKeyUsage=serverAuth,clientAuth" "subjectAltName=$sans" > "$ext"
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
      -keyout "$dir/$name.key" -out "$dir/$name.csr" -subj "/CN=$name" 2>/dev/null
    openssl x509 -req -in "$dir/$name.csr" -CA "$dir/ca.crt" -CAkey "$dir/ca.key" \
      -set_serial "0x$(openssl rand -hex 16)" -days 825 -extfile "$ext" \
      -out "$dir/$name.crt" 2>/dev/null
    chmod 644 "$dir/$name.crt"
    ;;
  *) usage ;;
esac
