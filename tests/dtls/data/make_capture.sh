#!/bin/bash
# Records a DTLS 1.2 PSK session between OpenSSL's s_client and s_server on
# loopback, with the client's key log, for the record-layer tests.
# Usage: make_capture.sh CIPHER OUTPUT_STEM   (e.g. PSK-AES128-CCM psk_ccm)
# Needs openssl and tcpdump, run as root. Writes STEM.pcap and STEM.keys.
set -euo pipefail
cipher=${1:-PSK-AES128-CCM}
stem=${2:-psk_ccm}
out=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$tmp"' EXIT
port=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
psk=00112233445566778899aabbccddeeff

# Neither extended master secret nor tickets, as the engine's own peers see
# it: the master secret is then the plain PRF of the PSK pre-master secret.
cat >"$tmp/openssl.cnf" <<CNF
openssl_conf = openssl_init
[openssl_init]
ssl_conf = ssl_sect
[ssl_sect]
system_default = system_default_sect
[system_default_sect]
Options = -ExtendedMasterSecret
CNF
export OPENSSL_CONF=$tmp/openssl.cnf

tcpdump -i lo -U -s 0 -w "$tmp/cap.pcap" "udp port $port" 2>"$tmp/tcpdump.err" &
until grep -q "listening on" "$tmp/tcpdump.err"; do sleep 0.1; done

# Each side sends one line once the handshake is surely done, then stays
# open long enough to receive the other's line.
(sleep 1; echo "hello from the server"; sleep 2) |
    openssl s_server -dtls1_2 -accept "127.0.0.1:$port" -nocert -psk $psk -psk_identity gw1 \
        -cipher "$cipher" -no_ticket -naccept 1 -quiet >"$tmp/server.out" 2>&1 &
server=$!
sleep 0.5
(sleep 0.5; echo "hello from the client"; sleep 2) |
    openssl s_client -dtls1_2 -connect "127.0.0.1:$port" -psk $psk -psk_identity gw1 \
        -cipher "$cipher" -keylogfile "$tmp/keys.log" -quiet >"$tmp/client.out" 2>&1 || true
wait $server || true
sleep 0.5
kill %1
wait || true

grep -q "hello from the client" "$tmp/server.out"
grep -q "hello from the server" "$tmp/client.out"
cp "$tmp/cap.pcap" "$out/$stem.pcap"
cp "$tmp/keys.log" "$out/$stem.keys"
echo "wrote $out/$stem.pcap and $out/$stem.keys"
