#!/bin/sh
# tshark's dissection of the DHCP (4), DHCPv6 (6) or both (46) messages of a capture, one
# field a line, tab-separated: frame number, field name, position in the
# frame, size, shown value, raw value (hex), label.
set -eu
keep4='^dhcp\.(type|hw\.type|hw\.len|hops|id|secs|flags\.bc|ip\.[a-z]+|hw\.mac_addr|cookie|fqdn\.(e|name)|option\.(type|length|value|dhcp|subnet_mask|router|domain_name_server|hostname|broadcast_address|requested_ip_address|ip_address_lease_time|option_overload|dhcp_server_id|request_list_item|dhcp_max_message_size|renewal_time_value|rebinding_time_value|captive_portal))$'
keep6='^dhcpv6\.(msgtype|xid|option\.(type|length))$'
case "$2" in
4) filter=dhcp keep=$keep4 ;;
6) filter=dhcpv6 keep=$keep6 ;;
46) filter='dhcp or dhcpv6' keep="$keep4|$keep6" ;;
*) echo "usage: $0 capture 4|6|46" >&2; exit 2 ;;
esac
tshark -r "$1" -Y "$filter" -T pdml 2>/dev/null | awk -v keep="$keep" '
function attr(line, key,    m) {
    if (match(line, " " key "=\"[^\"]*\"")) {
        m = substr(line, RSTART + length(key) + 3, RLENGTH - length(key) - 4)
        gsub(/&quot;/, "\"", m); gsub(/&apos;/, "\047", m); gsub(/&lt;/, "<", m)
        gsub(/&gt;/, ">", m); gsub(/&amp;/, "\\&", m)
        return m
    }
    return ""
}
/<field name="num"/ { frame = attr($0, "show") }
/<field name="/ {
    name = attr($0, "name")
    if (name !~ keep && name !~ /^_ws\.(malformed|expert)/)
        next
    printf "%s\t%s\t%s\t%s\t%s\t%s\t%s\n", frame, name, attr($0, "pos"), attr($0, "size"),
        attr($0, "show"), attr($0, "value"), attr($0, "showname")
}'
