#!/usr/bin/env bash
# Records real DHCP and DHCPv6 exchanges for the codec tests: dnsmasq serves in
# one network namespace, busybox udhcpc and dhclient ask from another, and
# tshark captures on the server's side of the veth pair. Writes dhcp.pcap and
# tshark's dissection of it (dhcp4.tshark, dhcp6.tshark) beside this script.
# Needs root, dnsmasq, busybox, isc-dhcp-client and tshark.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
srv=ugwrec-srv-$$
cli=ugwrec-cli-$$
pids=()

cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    ip netns del "$srv" 2>/dev/null || true
    ip netns del "$cli" 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT

# Waits (bounded) until a file holds a pattern.
wait_for() {
    for _ in $(seq 100); do
        grep -q "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "timed out waiting for '$2' in $1" >&2
    return 1
}

ip netns add "$srv"
ip netns add "$cli"
for ns in "$srv" "$cli"; do
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.accept_dad=0 net.ipv6.conf.default.accept_dad=0
    ip -n "$ns" link set lo up
done
ip link add vs netns "$srv" address 02:00:00:00:00:01 type veth peer name vc netns "$cli" address 02:00:00:00:00:02
ip -n "$srv" addr add 192.0.2.1/24 dev vs
ip -n "$srv" addr add 2001:db8:1::1/64 dev vs nodad
ip -n "$srv" link set vs up
ip -n "$cli" link set vc up

# Clients configure the leased address so that their unicast RELEASE can leave.
cat >"$tmp/client.sh" <<'SCRIPT'
#!/bin/sh
case "$1$reason" in
bound | BOUND) ip addr add "${ip:-$new_ip_address}/24" dev "${interface:-vc}" ;;
esac
exit 0
SCRIPT
chmod +x "$tmp/client.sh"

ip netns exec "$srv" tshark -i vs -f 'udp port 67 or udp port 68 or udp port 546 or udp port 547' \
    -F pcap -w "$tmp/cap.pcap" 2>"$tmp/tshark.err" &
pids+=($!)
wait_for "$tmp/tshark.err" "Capture started"

ip netns exec "$srv" dnsmasq --no-daemon --conf-file=/dev/null --port=0 --interface=vs \
    --bind-interfaces --dhcp-authoritative --dhcp-leasefile="$tmp/leases" \
    --dhcp-range=192.0.2.100,192.0.2.150,255.255.255.0,1h \
    --dhcp-range=2001:db8:1::100,2001:db8:1::1ff,64,1h \
    --dhcp-option=option:router,192.0.2.1 \
    --dhcp-option=option:dns-server,192.0.2.1,192.0.2.2 \
    --dhcp-option=option:domain-name,example.test \
    --dhcp-option=114,"http://portal.example.test/welcome" \
    --dhcp-option=option6:dns-server,[2001:db8:1::1] \
    --dhcp-option=option6:domain-search,example.test \
    --log-dhcp --log-facility="$tmp/dnsmasq.log" >/dev/null 2>&1 &
pids+=($!)
wait_for "$tmp/dnsmasq.log" "DHCPv6, IP range"

# busybox udhcpc: host name, FQDN and a request list with 114; releases on exit.
ip netns exec "$cli" busybox udhcpc -i vc -f -q -R -n -t 3 -T 2 -s "$tmp/client.sh" \
    -x hostname:station-1 -F station-1.example.test -O 114 -V ugw-test

# dhclient with a stale lease for another network: INIT-REBOOT, NAK, then a
# fresh lease, released afterwards.
ip -n "$cli" addr flush dev vc scope global
cat >"$tmp/dhclient4.leases" <<'LEASE'
lease {
  interface "vc";
  fixed-address 198.51.100.7;
  option subnet-mask 255.255.255.0;
  option dhcp-server-identifier 198.51.100.1;
  renew 4 2037/01/01 00:00:01;
  rebind 4 2037/01/01 00:00:01;
  expire 4 2037/01/01 00:00:01;
}
LEASE
cat >"$tmp/dhclient4.conf" <<'CONF'
send host-name "station-2";
request subnet-mask, routers, domain-name-servers, domain-name, broadcast-address;
CONF
ip netns exec "$cli" dhclient -4 -d -1 -sf "$tmp/client.sh" -cf "$tmp/dhclient4.conf" \
    -lf "$tmp/dhclient4.leases" -pf "$tmp/dhclient4.pid" vc 2>"$tmp/dhclient4.log" &
pids+=($!)
wait_for "$tmp/dhclient4.log" "bound to"
ip netns exec "$cli" dhclient -4 -r -sf /bin/true -cf "$tmp/dhclient4.conf" \
    -lf "$tmp/dhclient4.leases" -pf "$tmp/dhclient4.pid" vc 2>>"$tmp/dhclient4.log"

# DHCPv6: solicit, advertise, request, reply, then release.
printf 'send fqdn.fqdn "station-3.example.test.";\n' >"$tmp/dhclient6.conf"
ip netns exec "$cli" dhclient -6 -d -1 -sf /bin/true -cf "$tmp/dhclient6.conf" \
    -lf "$tmp/dhclient6.leases" -pf "$tmp/dhclient6.pid" vc 2>"$tmp/dhclient6.log" &
pids+=($!)
wait_for "$tmp/dhclient6.log" "Bound to lease"
ip netns exec "$cli" dhclient -6 -r -sf /bin/true -cf "$tmp/dhclient6.conf" \
    -lf "$tmp/dhclient6.leases" -pf "$tmp/dhclient6.pid" vc 2>>"$tmp/dhclient6.log"
wait_for "$tmp/dnsmasq.log" "release received"

sleep 0.3 # let tshark write the last frames
kill "${pids[0]}"
wait "${pids[0]}" 2>/dev/null || true
cp "$tmp/cap.pcap" "$here/dhcp.pcap"
"$here/dhcp_tshark.sh" "$here/dhcp.pcap" 4 >"$here/dhcp4.tshark"
"$here/dhcp_tshark.sh" "$here/dhcp.pcap" 6 >"$here/dhcp6.tshark"
echo "recorded $(wc -l <"$here/dhcp4.tshark") DHCP and $(wc -l <"$here/dhcp6.tshark") DHCPv6 messages"
