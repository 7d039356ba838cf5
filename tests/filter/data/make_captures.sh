#!/bin/bash
# Makes the packet captures the filter tests read, with real tools:
#   lo.pcap  DNS queries from dig (UDP and TCP), HTTP requests from curl, TLS
#            ClientHellos from openssl s_client with SNI, IPv4 options from ping.
#   veth.pcap IPv6 with extension headers between two network namespaces:
#            fragments (ping -s over a 1280-byte MTU), MLD reports (hop-by-hop
#            router alert), neighbour discovery, and a UDP DNS query sent with
#            hop-by-hop and destination options set through the socket API.
# Next to each capture, <name>.tsv holds what tshark decodes from it.
# Needs root, tshark, dig, curl, openssl, python3, iproute2, ping.
set -euo pipefail
out=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    ip netns del ugwfa 2>/dev/null || true
    ip netns del ugwfb 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# Starts a capture (command after the log name) and waits until it runs.
start_capture() {
    local log=$1; shift
    "$@" 2>"$log" &
    pids+=($!)
    for _ in $(seq 100); do grep -q "Capture started" "$log" && return 0; sleep 0.1; done
    echo "capture did not start" >&2; cat "$log" >&2; exit 1
}

# dumpcap writes what it holds only after a moment: give it one before stopping.
stop_capture() { sleep 1; kill "$1"; wait "$1" 2>/dev/null || true; }

wait_port() { # proto port
    for _ in $(seq 100); do
        ss -ln"$1" | grep -q ":$2 " && return 0; sleep 0.1
    done
    echo "nothing listens on $1 $2" >&2; exit 1
}

# ---- loopback: DNS, HTTP, TLS, IPv4 options ------------------------------
cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
    -subj /CN=secure.example.com 2>/dev/null
python3 -m http.server 80 --bind 127.0.0.1 >/dev/null 2>&1 & pids+=($!)
python3 -m http.server 8080 --bind ::1 >/dev/null 2>&1 & pids+=($!)
sleep 60 | openssl s_server -quiet -accept 443 -cert cert.pem -key key.pem -www >/dev/null 2>&1 & pids+=($!)
# A TCP listener on 53 that takes a query and closes: dig +tcp needs a peer.
python3 - <<'PY' & pids+=($!)
import socket
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", 53)); s.listen(4)
while True:
    c, _ = s.accept(); c.recv(4096); c.close()
PY
wait_port t 80; wait_port t 8080; wait_port t 443; wait_port t 53

start_capture capture-lo.log tshark -i lo -F pcap -w "$out/lo.pcap" \
    -f 'port 53 or port 80 or port 8080 or port 443 or icmp'
q="+tries=1 +time=1"
dig @127.0.0.1 $q www.Example.COM A >/dev/null || true
dig @127.0.0.1 $q mail.example.org MX +norecurse +cdflag +adflag >/dev/null || true
dig @::1 $q ipv6.example.net AAAA >/dev/null || true
dig @127.0.0.1 $q -p 5353 other-port.example.com TXT >/dev/null || true
dig @127.0.0.1 $q +tcp tcp.example.com SRV >/dev/null || true
dig @127.0.0.1 $q +opcode=status status.example.com >/dev/null || true
curl -s -o /dev/null http://127.0.0.1/ -H 'Host: WWW.Example.com:80'
curl -s -o /dev/null --http1.0 --resolve plain.example.org:80:127.0.0.1 http://plain.example.org/
curl -s -o /dev/null -g 'http://[::1]:8080/' -H 'Host: v6.example.org:8080'
openssl s_client -connect 127.0.0.1:443 -servername secure.example.com </dev/null >/dev/null 2>&1 || true
openssl s_client -tls1_2 -connect 127.0.0.1:443 -servername Old.Example.COM </dev/null >/dev/null 2>&1 || true
openssl s_client -connect 127.0.0.1:443 -noservername </dev/null >/dev/null 2>&1 || true
ping -c1 -R 127.0.0.1 >/dev/null
ping -c1 -T tsonly 127.0.0.1 >/dev/null || true
stop_capture "${pids[-1]}"

# ---- two namespaces over veth: IPv6 extension headers ---------------------
ip netns add ugwfa
ip netns add ugwfb
ip link add ugwva netns ugwfa type veth peer name ugwvb netns ugwfb
for ns in ugwfa ugwfb; do
    ip -n $ns link set lo up
done
ip -n ugwfa link set ugwva mtu 1280
ip -n ugwfb link set ugwvb mtu 1280
# Capturing needs the link up; the peer stays down until the capture runs, so
# duplicate-address detection and MLD reports come after it started.
ip -n ugwfa link set ugwva up
start_capture capture-veth.log ip netns exec ugwfa tshark -i ugwva -F pcap -w "$out/veth.pcap"
ip -n ugwfa addr add 2001:db8::1/64 dev ugwva
ip -n ugwfb addr add 2001:db8::2/64 dev ugwvb
ip -n ugwfa addr add 192.0.2.1/24 dev ugwva
ip -n ugwfb addr add 192.0.2.2/24 dev ugwvb
ip -n ugwfb link set ugwvb up
for _ in $(seq 100); do
    [ -z "$(ip -n ugwfa -6 addr show tentative)$(ip -n ugwfb -6 addr show tentative)" ] && break
    sleep 0.1
done
ip netns exec ugwfa ping -6 -c1 -W2 2001:db8::2 >/dev/null
ip netns exec ugwfa ping -6 -c1 -W2 -s 2000 2001:db8::2 >/dev/null
ip netns exec ugwfa ping -c1 -W2 -s 2000 192.0.2.2 >/dev/null
ip netns exec ugwfa python3 - <<'PY'
import socket, struct
s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
pad = bytes([1, 4, 0, 0, 0, 0])  # PadN filling an 8-byte header
s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_HOPOPTS, bytes([0, 0]) + pad)
s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_DSTOPTS, bytes([0, 0]) + pad)
q = struct.pack("!HHHHHH", 0x1234, 0x0100, 1, 0, 0, 0)
for label in (b"ext", b"Example", b"org"):
    q += bytes([len(label)]) + label
q += b"\0" + struct.pack("!HH", 28, 1)
s.sendto(q, ("2001:db8::2", 53))
PY
stop_capture "${pids[-1]}"

# ---- what tshark sees --------------------------------------------------------
fields=(frame.number ip.src ip.dst ipv6.src ipv6.dst ip.frag_offset ipv6.fraghdr.offset
        ip.opt.type udp.srcport udp.dstport tcp.srcport tcp.dstport tcp.flags tcp.len
        tcp.option_kind icmp.type icmpv6.type icmpv6.nd.ns.target_address
        icmpv6.nd.na.target_address dns.count.queries dns.qry.name dns.qry.type dns.flags
        http.host tls.handshake.extensions_server_name)
args=()
for f in "${fields[@]}"; do args+=(-e "$f"); done
for cap in lo veth; do
    tshark -r "$out/$cap.pcap" -o ip.defragment:FALSE -o ipv6.defragment:FALSE \
        -o tcp.desegment_tcp_streams:FALSE -d tcp.port==8080,http \
        -T fields -E header=y -E separator=/t -E occurrence=a -E aggregator=, \
        "${args[@]}" >"$out/$cap.tsv" 2>/dev/null
done
chmod 644 "$out"/*.pcap
echo "wrote $out/lo.pcap $out/veth.pcap and their .tsv"
