// Arbitrary replies through every request function: [function][force]
// then the reply, sent as the answer's fragments.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/uclient.h"
#include "utility/gwc.h"

namespace
{

uint8_t rec[6][1048];
const uint8_t key16[16] = {1};
const uint8_t mac[6] = {2};

int call(gwc_connection *c, unsigned which, Ary *a)
{
    sockaddr_in6 sa = {};
    sa.sin6_family = AF_INET6;
    auto *addr = reinterpret_cast<const sockaddr *>(&sa);
    void *r0 = rec[0], *r1 = rec[1], *r2 = rec[2], *r3 = rec[3], *r4 = rec[4], *r5 = rec[5];
    switch (which % 60) {
    case 0:
        return gwc_get_mempool(c, "p", r0, a);
    case 1:
        return gwc_dump_mempools(c, a);
    case 2:
        return gwc_get_fabric(c, a);
    case 3:
        return gwc_get_xsk(c, a);
    case 4:
        return gwc_get_control(c, "h", r0);
    case 5:
        return gwc_add_control(c, r0);
    case 6:
        return gwc_remove_control(c, "h", r0);
    case 7:
        return gwc_modify_control(c, r0);
    case 8:
        return gwc_dump_controls(c, a);
    case 9:
        return gwc_get_port(c, 1, r0);
    case 10:
        return gwc_add_port(c, r0);
    case 11:
        return gwc_remove_port(c, 1, r0);
    case 12:
        return gwc_modify_port(c, r0);
    case 13:
        return gwc_dump_ports(c, a);
    case 14:
        return gwc_get_socket(c, 1, 2, 3, r0);
    case 15:
        return gwc_add_socket(c, r0);
    case 16:
        return gwc_remove_socket(c, 1, 2, 3, r0);
    case 17:
        return gwc_dump_sockets(c, a);
    case 18:
        return gwc_get_nas(c, "n", r0, r1, r2, r3);
    case 19:
        return gwc_add_nas(c, r0, r1, r2, r3);
    case 20:
        return gwc_remove_nas(c, "n", r0, r1, r2, r3);
    case 21:
        return gwc_modify_nas(c, r0, r1, r2, r3);
    case 22:
        return gwc_dump_nases(c, a);
    case 23:
        return gwc_get_hostset(c, 1, a);
    case 24:
        return gwc_add_hostset(c, 1);
    case 25:
        return gwc_remove_hostset(c, 1, a);
    case 26:
        return gwc_add_host(c, 1, "h");
    case 27:
        return gwc_remove_host(c, 1, "h");
    case 28:
        return gwc_dump_hostsets(c, a);
    case 29:
        return gwc_get_filter(c, "n", "f", a);
    case 30:
        return gwc_add_filter(c, "n", "f");
    case 31:
        return gwc_remove_filter(c, "n", "f", a);
    case 32:
        return gwc_add_rule(c, "n", "f", 0, r0);
    case 33:
        return gwc_remove_rule(c, "n", "f", 0);
    case 34:
        return gwc_dump_filters(c, "n", a);
    case 35:
        return gwc_get_service(c, key16, r0, r1, r2, r3, r4);
    case 36:
        return gwc_add_service(c, r0, r1, r2, r3, r4);
    case 37:
        return gwc_remove_service(c, key16, r0, r1, r2, r3, r4);
    case 38:
        return gwc_modify_service(c, r0, r1, r2, r3, r4);
    case 39:
        return gwc_rename_service(c, key16, key16, r0, r1, r2, r3, r4);
    case 40:
        return gwc_dump_services(c, a);
    case 41:
        return gwc_get_vap(c, key16, mac, r0, r1, r2);
    case 42:
        return gwc_dump_vaps(c, key16, a);
    case 43:
        return gwc_get_tunnel(c, key16, addr, r0);
    case 44:
        return gwc_dump_tunnels(c, nullptr, a);
    case 45:
        return gwc_get_flow(c, addr, mac, mac, r0, r1, r2, r3, r4, r5, a);
    case 46:
        return gwc_dump_flows(c, key16, addr, mac, mac, a);
    case 47:
        return gwc_get_access(c, key16, mac, r0, a);
    case 48:
        return gwc_dump_accesses(c, "n", key16, a);
    case 49:
        return gwc_get_key(c, key16, key16, r0, r1);
    case 50:
        return gwc_dump_keys(c, key16, mac, a);
    case 51:
        return gwc_clear_cache(c, "n", key16, mac);
    case 52:
        return gwc_get_ftauth(c, key16, mac, mac, r0);
    case 53:
        return gwc_dump_ftauths(c, key16, mac, a);
    case 54:
        return gwc_dump_leases(c, key16, mac, a);
    case 55:
        return gwc_write_leases(c);
    case 56:
        return gwc_dump_leases6(c, key16, mac, a);
    case 57:
        return gwc_write_leases6(c);
    case 58:
        return gwc_dump_groups(c, key16, mac, a);
    default:
        return gwc_dump_groups6(c, key16, mac, a);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2) return 0;
    unsigned which = data[0];
    uint32_t force = data[1] & 1;
    data += 2;
    size -= 2;
    // A handful of fragments: all of them wait in the socket before the call.
    if (size > 8 * UMSG_PAYLOAD) size = 8 * UMSG_PAYLOAD;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM, 0, sv) < 0) abort();
    auto *u = static_cast<uclient *>(calloc(1, sizeof(uclient)));
    array_init(&u->buffer, 1);
    sigemptyset(&u->sigmask);
    list_init(&u->link);
    u->fd = sv[1];
    u->event_fd = u->event_pass_fd = -1;
    u->seq = static_cast<uint16_t>(which * 977);
    if (umsg_send(sv[0], UMSG_REQUEST, UMSG_F_ACK, static_cast<uint16_t>(u->seq + 1), data, size,
                  nullptr, nullptr, -1) < 0)
        abort();
    gwc_connection *c = gwc_attach(u, nullptr, nullptr, force);
    Ary a;
    array_init(&a, 1);
    call(c, which, &a);
    array_purge(&a);
    gwc_destroy(c);
    close(sv[0]);
    return 0;
}
