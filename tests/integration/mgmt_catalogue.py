#!/usr/bin/env python3
# A management client written from the message catalogue alone: it runs
# every type through a daemon's socket, as a privileged client and, in a
# child that gives up its ids, as an unprivileged one, and checks that each
# request gets its answer with exactly its size, or a Status, and that the
# rows of the answers hold the objects the caller says exist.
#
# usage: mgmt_catalogue.py SOCKET UUID MAC PEER [NAME=VALUE]...
#   UUID: a service, 32 hex digits; MAC: a station with a tunnel flow,
#   12 hex digits; PEER: that flow's peer socket address, 56 hex digits.
#   vap=BSSID, client=MAC: a VAP of the service and an 802.11 station on it;
#   lease=IPv4: the station's DHCP lease; group=IPv4, group6=IPv6: groups the
#   station joined; nobody=UID:GID: the unprivileged ids (65534:65534).
import errno
import os
import socket
import struct
import sys

# type, name, fixed size, list (count offset/row size/first row), kind,
# answer, who may ask.
CATALOGUE = """
  0 Status              8 -            rep  -               -
  1 Get-Mempool        40 -            req  New-Mempool     any
  2 New-Mempool        92 88/44/92     rep  -               -
  3 Dump-Mempools       8 -            req  Mempools        any
  4 Mempools           12 8/80/12      rep  -               -
  5 Get-Fabric          8 -            req  New-Fabric      any
  6 New-Fabric         12 8/48/12      rep  -               -
  7 Get-XSK             8 -            req  New-XSK         any
  8 New-XSK            12 8/60/12      rep  -               -
  9 Get-Control       264 -            req  New-Control     any
 10 Add-Control       456 -            req  New-Control     priv
 11 New-Control       456 -            ev   -               -
 12 Remove-Control    264 -            req  Delete-Control  priv
 13 Delete-Control    456 -            ev   -               -
 14 Modify-Control    456 -            req  New-Control     priv
 15 Dump-Controls       8 -            req  Controls        any
 16 Controls           12 8/448/12     rep  -               -
 17 Get-Port           12 -            req  New-Port        any
 18 Add-Port           56 -            req  New-Port        priv
 19 New-Port           56 -            rep  -               -
 20 Remove-Port        12 -            req  Delete-Port     priv
 21 Delete-Port        56 -            rep  -               -
 22 Modify-Port        56 -            req  New-Port        priv
 23 Dump-Ports          8 -            req  Ports           any
 24 Ports              12 8/48/12      rep  -               -
 25 Get-Socket         20 -            req  New-Socket      any
 26 Add-Socket         64 -            req  New-Socket      priv
 27 New-Socket         64 -            rep  -               -
 28 Remove-Socket      20 -            req  Delete-Socket   priv
 29 Delete-Socket      64 -            rep  -               -
 30 Dump-Sockets        8 -            req  Sockets         any
 31 Sockets            12 8/56/12      rep  -               -
 32 Get-NAS           262 -            req  New-NAS         both
 33 Add-NAS           896 -            req  New-NAS         priv
 34 New-NAS          1312 -            rep  -               -
 35 Remove-NAS        262 -            req  Delete-NAS      priv
 36 Delete-NAS       1312 -            rep  -               -
 37 Modify-NAS        896 -            req  New-NAS         priv
 38 Dump-NASes          8 -            req  NASes           any
 39 NASes              12 8/256/12     rep  -               -
 40 Get-Hostset        12 -            req  New-Hostset     any
 41 Add-Hostset        12 -            req  New-Hostset     priv
 42 New-Hostset        16 12/260/16    rep  -               -
 43 Remove-Hostset     12 -            req  Delete-Hostset  priv
 44 Delete-Hostset     16 12/260/16    rep  -               -
 45 Add-Host          266 -            req  Status          priv
 46 Remove-Host       266 -            req  Status          priv
 47 Dump-Hostsets       8 -            req  Hostsets        any
 48 Hostsets           12 8/4/12       rep  -               -
 49 Get-Filter        516 -            req  New-Filter      any
 50 Add-Filter        516 -            req  New-Filter      priv
 51 New-Filter         12 8/528/12     rep  -               -
 52 Remove-Filter     516 -            req  Delete-Filter   priv
 53 Delete-Filter      12 8/528/12     rep  -               -
 54 Add-Rule         1048 -            req  Status          priv
 55 Remove-Rule       520 -            req  Status          priv
 56 Dump-Filters      262 -            req  Filters         any
 57 Filters            12 8/254/12     rep  -               -
 58 Get-Service        24 -            req  New-Service     both
 59 Add-Service      1184 -            req  New-Service     priv
 60 New-Service      1300 -            ev   -               -
 61 Remove-Service     24 -            req  Delete-Service  priv
 62 Delete-Service   1300 -            ev   -               -
 63 Modify-Service   1184 -            req  New-Service     priv
 64 Rename-Service     40 -            req  New-Service     priv
 65 Dump-Services       8 -            req  Services        any
 66 Services           16 8/768/16     rep  -               -
 67 Get-VAP            30 -            req  New-VAP         both
 68 New-VAP           544 -            ev   -               -
 69 Delete-VAP        544 -            ev   -               -
 70 Dump-VAPs          24 -            req  VAPs            any
 71 VAPs               16 8/128/16     rep  -               -
 72 Get-Tunnel         52 -            req  New-Tunnel      any
 73 New-Tunnel        128 -            ev   -               -
 74 Delete-Tunnel     128 -            ev   -               -
 75 Dump-Tunnels       24 -            req  Tunnels         any
 76 Tunnels            16 8/120/16     rep  -               -
 77 Get-Flow           48 -            req  New-Flow        any
 78 New-Flow         1924 1920/528/1924 ev   -               -
 79 Delete-Flow      1924 1920/528/1924 ev   -               -
 80 Dump-Flows         64 -            req  Flows           any
 81 Flows              16 8/584/16     rep  -               -
 82 Get-Access         30 -            req  New-Access      any
 83 New-Access       1060 1056/528/1060 rep  -               -
 84 Dump-Accesses     278 -            req  Accesses        any
 85 Accesses           12 8/1048/12    rep  -               -
 86 Get-Key            40 -            req  New-Key         any
 87 New-Key           368 -            rep  -               -
 88 Dump-Keys          30 -            req  Keys            any
 89 Keys               12 8/36/12      rep  -               -
 90 Clear-Cache       284 -            req  Status          priv
 91 Get-FTAuth         36 -            req  New-FTAuth      any
 92 New-FTAuth         84 -            rep  -               -
 93 Dump-FTAuths       30 -            req  FTAuths         any
 94 FTAuths            12 8/76/12      rep  -               -
 95 Dump-Leases        30 -            req  Leases          any
 96 Leases             12 8/104/12     rep  -               -
 97 Write-Leases        8 -            req  Status          priv
 98 Dump-Leases6       30 -            req  Leases6         any
 99 Leases6            12 8/112/12     rep  -               -
100 Write-Leases6       8 -            req  Status          priv
101 Dump-Groups        30 -            req  Groups          any
102 Groups             12 8/76/12      rep  -               -
103 Dump-Groups6       30 -            req  Groups6         any
104 Groups6            12 8/88/12      rep  -               -
"""

TYPES = {}
BY_NAME = {}
for line in CATALOGUE.strip().splitlines():
    n, name, size, lst, kind, answer, who = line.split()
    row = None
    if lst != "-":
        row = tuple(int(x) for x in lst.split("/"))
    TYPES[int(n)] = dict(name=name, size=int(size), list=row, kind=kind, answer=answer, who=who)
    BY_NAME[name] = int(n)

REQUEST, WANT_ACK, NAK, MORE = 0, 0x1, 0x4, 0x8
PAYLOAD = 4092
FAILURES = []


def fail(what):
    FAILURES.append(what)
    print("FAIL " + what, flush=True)


def size_of(msg):
    """The size a message must have, judged from its type and list count."""
    if len(msg) < 4:
        return 0
    t = struct.unpack_from("=I", msg, 0)[0]
    if t not in TYPES:
        return 0
    e = TYPES[t]
    if not e["list"] or len(msg) < e["list"][0] + 4:
        return e["size"]
    at, row, first = e["list"]
    return first + struct.unpack_from("=I", msg, at)[0] * row


class Client:
    def __init__(self, path):
        self.s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.s.bind(b"\0mgmt-catalogue-%d-%d" % (os.getpid(), id(self)))
        self.s.connect(path)
        self.s.settimeout(20)
        self.seq = 0

    def ask(self, msg):
        self.seq = (self.seq + 1) & 0xFFFF
        assert len(msg) <= PAYLOAD
        self.s.send(struct.pack(">BBH", REQUEST, WANT_ACK, self.seq) + bytes(msg))
        out = b""
        while True:
            d = self.s.recv(4096)
            kind, flags, seq = struct.unpack(">BBH", d[:4])
            if seq != self.seq:
                continue
            if flags & NAK:
                raise RuntimeError("request refused by the IPC layer")
            out += d[4:]
            if not flags & MORE:
                return out


def request(name, fields=(), flags=0):
    t = BY_NAME[name]
    m = bytearray(TYPES[t]["size"])
    struct.pack_into("=II", m, 0, t, flags)
    for at, value in fields:
        m[at:at + len(value)] = value
    return m


def status_of(reply):
    if len(reply) >= 8 and struct.unpack_from("=I", reply, 0)[0] == 0:
        return struct.unpack_from("=I", reply, 4)[0]
    return None


def rows_of(reply):
    """The rows of a list answer, cut by its type's geometry."""
    e = TYPES[struct.unpack_from("=I", reply, 0)[0]]
    at, row, first = e["list"]
    n = struct.unpack_from("=I", reply, at)[0]
    return [reply[first + i * row:first + (i + 1) * row] for i in range(n)]


def holds(data, fields):
    return all(data[at:at + len(v)] == v for at, v in fields)


def main():
    path = sys.argv[1]
    uuid = bytes.fromhex(sys.argv[2])
    mac = bytes.fromhex(sys.argv[3])
    peer = bytes.fromhex(sys.argv[4])
    opt = dict(a.split("=", 1) for a in sys.argv[5:])
    nobody = tuple(int(x) for x in opt.get("nobody", "65534:65534").split(":"))
    vap = bytes.fromhex(opt["vap"]) if "vap" in opt else None
    sta = bytes.fromhex(opt["client"]) if "client" in opt else None
    c = Client(path)

    keys = {
        "Get-Service": [(8, uuid)],
        "Get-NAS": [(8, b"nas1")],
        "Get-VAP": [(8, uuid), (24, vap or bytes(6))],
        "Dump-VAPs": [(8, uuid)],
        "Get-Tunnel": [(8, uuid), (24, peer)],
        "Dump-Tunnels": [(8, uuid)],
        "Get-Flow": [(8, peer), (42, mac)],
        "Dump-Flows": [(8, uuid), (58, mac)],
        "Get-Access": [(8, uuid), (24, mac)],
        "Dump-Accesses": [(262, uuid)],
        "Get-Key": [(8, uuid)],
        "Dump-Keys": [(8, uuid)],
        "Get-FTAuth": [(8, uuid), (30, mac)],
        "Dump-FTAuths": [(8, uuid)],
        "Dump-Leases": [(8, uuid)],
        "Dump-Leases6": [(8, uuid)],
        "Dump-Groups": [(8, uuid)],
        "Dump-Groups6": [(8, uuid)],
    }
    # Answers the daemon must give for the objects named above.
    must_answer = {"Get-Service", "Dump-Services", "Dump-VAPs", "Get-Tunnel", "Dump-Tunnels",
                   "Get-Flow", "Dump-Flows", "Dump-Accesses", "Dump-Keys", "Dump-FTAuths",
                   "Dump-Leases", "Dump-Leases6", "Dump-Groups", "Dump-Groups6", "Dump-Ports",
                   "Dump-Sockets", "Dump-NASes", "Dump-Hostsets", "Dump-Mempools"}
    if vap:
        must_answer.add("Get-VAP")
    # Statuses a request may get instead of its answer here.
    may_fail = {errno.ENOENT, errno.EINVAL, errno.EOPNOTSUPP, errno.EIO, errno.EBUSY,
                errno.EEXIST, errno.ENODEV, errno.EBADMSG}

    # What the answers must hold: in the record at a message offset, or in
    # some row of a list, by offsets inside the row.
    flow_row = [(6, mac), (18, uuid), (360, peer)]
    record = {"Get-Flow": [(8 + at, v) for at, v in flow_row]}
    some_row = {"Dump-Flows": flow_row}
    every_row = {"Dump-Flows": [(6, mac), (18, uuid)]}  # asked by MAC and UUID
    if vap:
        record["Get-VAP"] = [(8, uuid), (8 + 18, vap)]
        some_row["Dump-VAPs"] = [(0, uuid), (18, vap)]
    if "lease" in opt:
        some_row["Dump-Leases"] = [(0, uuid), (16, mac),
                                   (88, socket.inet_pton(socket.AF_INET, opt["lease"]))]
    if "group" in opt:
        some_row["Dump-Groups"] = [(0, uuid), (44, socket.inet_pton(socket.AF_INET, opt["group"])),
                                   (48, mac)]
    if "group6" in opt:
        some_row["Dump-Groups6"] = [(0, uuid),
                                    (44, socket.inet_pton(socket.AF_INET6, opt["group6"])),
                                    (60, mac)]
    must_answer.update(record, some_row)

    def check_objects(who, name, reply):
        if name in record and not holds(reply, record[name]):
            fail("%s %s: not the record asked for" % (who, name))
        if name in some_row or name in every_row:
            rows = rows_of(reply)
            if name in some_row and not any(holds(r, some_row[name]) for r in rows):
                fail("%s %s: none of %d rows is the object" % (who, name, len(rows)))
            if name in every_row and not all(holds(r, every_row[name]) for r in rows):
                fail("%s %s: a row outside the filter" % (who, name))

    def check_by_mac(conn, who):
        # The station's own leases and groups: through its flow, not the
        # service's index.
        mac_at = {"Dump-Leases": 16, "Dump-Groups": 48, "Dump-Groups6": 60}
        for name in sorted(set(mac_at) & set(some_row)):
            r = conn.ask(request(name, [(8, uuid), (24, mac)]))
            if status_of(r) is not None or len(r) != size_of(r):
                fail("%s %s by MAC: %d bytes, status %s" % (who, name, len(r), status_of(r)))
                continue
            rows = rows_of(r)
            if not any(holds(x, some_row[name]) for x in rows):
                fail("%s %s by MAC: none of %d rows is the object" % (who, name, len(rows)))
            if not all(holds(x, [(mac_at[name], mac)]) for x in rows):
                fail("%s %s by MAC: another station" % (who, name))

    def check_80211(conn, who):
        # The 802.11 station's flow by BSSID and MAC, and in the service's
        # lists by (UUID, BSSID) and by UUID alone.
        want = [(0, vap), (6, sta), (18, uuid)]
        r = conn.ask(request("Get-Flow", [(36, vap), (42, sta)]))
        if status_of(r) is not None or len(r) != size_of(r) or not holds(r[8:], want):
            fail("%s Get-Flow by BSSID: %d bytes, status %s" % (who, len(r), status_of(r)))
        for how, fields in (("by BSSID", [(8, uuid), (52, vap)]), ("of the service", [(8, uuid)])):
            r = conn.ask(request("Dump-Flows", fields))
            if status_of(r) is not None or len(r) != size_of(r):
                fail("%s Dump-Flows %s: %d bytes, status %s" % (who, how, len(r), status_of(r)))
                continue
            rows = rows_of(r)
            if not any(holds(x, want) for x in rows):
                fail("%s Dump-Flows %s: no 802.11 flow" % (who, how))
            if len(fields) == 1 and not any(holds(x, flow_row) for x in rows):
                fail("%s Dump-Flows %s: no tunnel flow" % (who, how))
            if len(fields) == 2 and not all(x[0:6] == vap for x in rows):
                fail("%s Dump-Flows %s: another BSSID" % (who, how))

    def check_all(client, privileged):
        who = "privileged" if privileged else "unprivileged"
        for t in sorted(TYPES):
            e = TYPES[t]
            name = e["name"]
            if e["kind"] != "req":
                # Replies and events are never requests.
                st = status_of(client.ask(request(name)))
                if st in (None, 0):
                    fail("%s %s as a request: status %s" % (who, name, st))
                continue
            reply = client.ask(request(name, keys.get(name, ())))
            st = status_of(reply)
            if e["who"] == "priv" and not privileged:
                if st != errno.EPERM or len(reply) != 8:
                    fail("%s %s: %d bytes, status %s, not EPERM" % (who, name, len(reply), st))
                continue
            if st is not None and len(reply) != 8:
                fail("%s %s: Status of %d bytes" % (who, name, len(reply)))
            if st is not None and os.environ.get("CATALOGUE_TRACE"):
                print("%s %s -> status %d" % (who, name, st))
            if st is not None and e["answer"] != "Status":
                if name in must_answer or st not in may_fail:
                    fail("%s %s: status %d instead of %s" % (who, name, st, e["answer"]))
                continue
            if st is None and os.environ.get("CATALOGUE_TRACE"):
                print("%s %s -> %d bytes" % (who, name, len(reply)))
            got = struct.unpack_from("=I", reply, 0)[0]
            if got != BY_NAME[e["answer"]]:
                fail("%s %s: type %d, not %s" % (who, name, got, e["answer"]))
            elif len(reply) != size_of(reply):
                fail("%s %s: %d bytes, its size is %d" % (who, name, len(reply), size_of(reply)))
            secret = {"Get-Service": (893, 32), "Get-VAP": (253, 32)}.get(name)
            if secret and not privileged and any(reply[secret[0]:secret[0] + secret[1]]):
                fail("%s %s: a key at %d" % (who, name, secret[0]))
            if got == BY_NAME[e["answer"]]:
                check_objects(who, name, reply)
            if name == "Get-NAS" and not privileged:
                # The shared secrets of the server rows.
                for base, size in ((264, 164), (592, 152)):
                    for i in range(2):
                        at = base + i * size + 36
                        if any(reply[at:at + 65]):
                            fail("%s Get-NAS: a secret at %d" % (who, at))
        check_by_mac(client, who)
        if vap and sta:
            check_80211(client, who)

    check_all(c, True)
    full = c.ask(request("Get-Service", keys["Get-Service"]))
    if not any(full[893:925]):
        fail("privileged Get-Service: no key at 893")
    if vap and not any(c.ask(request("Get-VAP", keys["Get-VAP"]))[253:285]):
        fail("privileged Get-VAP: no key at 253")
    nas = c.ask(request("Get-NAS", keys["Get-NAS"]))
    if status_of(nas) is None and not any(nas[264 + 36:264 + 36 + 65]):
        fail("privileged Get-NAS: no secret at %d" % (264 + 36))

    pid = os.fork()
    if pid == 0:
        os.setgroups([])
        os.setgid(nobody[1])
        os.setuid(nobody[0])
        check_all(Client(path), False)
        os._exit(1 if FAILURES else 0)
    _, st = os.waitpid(pid, 0)
    if st != 0:
        FAILURES.append("unprivileged client")
    print("checked %d types" % len(TYPES), flush=True)
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
