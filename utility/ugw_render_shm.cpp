#include "utility/ugw_render_shm.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "common/strings.h"
#include "utility/fdb.h"
#include "utility/mdb.h"
#include "utility/ugw_format.h"
#include "utility/ugw_json.h"

namespace
{

const char RULE[] =
    "--------------------------------------------------------------------------------";
static_assert(sizeof(RULE) == 81);

uint32_t get32(const uint8_t *row, size_t at)
{
    uint32_t v;
    memcpy(&v, row + at, 4);
    return v;
}

// Rows narrower than the layout cannot be read.
bool rows_fit(const ugw_render_args *a, size_t size)
{
    if (a->count && (!a->rows || a->row_size < size)) {
        errno = EPROTO;
        return false;
    }
    return true;
}

const uint8_t *row_at(const ugw_render_args *a, uint32_t i)
{
    return static_cast<const uint8_t *>(a->rows) + static_cast<size_t>(i) * a->row_size;
}

// Row i as a typed value: rows sit at their row size, at any byte offset.
template <class T> T row_copy(const ugw_render_args *a, uint32_t i)
{
    T r;
    memcpy(&r, row_at(a, i), sizeof r);
    return r;
}

bool view_of(const ugw_render_args *a, ugw_shm_view *v)
{
    if (!a->record || a->record_size < sizeof(*v)) {
        errno = EPROTO;
        return false;
    }
    memcpy(v, a->record, sizeof(*v));
    return true;
}

int done()
{
    if (ferror(stdout)) {
        if (!errno) errno = EIO;
        return -1;
    }
    return 0;
}

int json_done(json_writer *json)
{
    if (json_flush(json) < 0 || ferror(stdout)) {
        if (!errno) errno = EIO;
        return -1;
    }
    return 0;
}

// A base-1000 number in at most 5 characters ("1.50M").
char *units5(char buffer[16], uint64_t value)
{
    static const char *const units[7] = {"", "k", "M", "G", "T", "P", "E"};
    return string_format_units(value, STRING_UNITS_TIGHT, buffer, 16, 1000, units);
}

// A ring level as a rounded percentage of the ring's size.
char *percent(char buffer[16], uint64_t level, uint64_t size)
{
    if (!size)
        string_lcpy(buffer, "-", 16);
    else
        snprintf(buffer, 16, "%llu%%",
                 static_cast<unsigned long long>((level * 100 + size / 2) / size));
    return buffer;
}

void print_mac(const uint8_t m[6], const char *gap, unsigned port)
{
    printf("%02x:%02x:%02x:%02x:%02x:%02x%s%4u\n", m[0], m[1], m[2], m[3], m[4], m[5], gap, port);
}

// XSK counters after the ring size, in the row's order.
enum {
    X_CHUNK,
    X_BUFSIZE,
    X_BUFCOUNT,
    X_FILL,
    X_SUBMIT,
    X_IN,
    X_IN_DROPS,
    X_IN_ERRS,
    X_OUT,
    X_OUT_DROPS,
    X_OUT_ERRS,
    X_STARVE
};

uint32_t xsk_counter(const uint8_t *row, int which)
{
    return get32(row, XSK_COUNTERS + 4 * static_cast<size_t>(which));
}

// Fabric counters after the buffer count, in the row's order.
enum {
    F_IN,
    F_IN_BUFS,
    F_IN_ERRS,
    F_UNDELIVERED,
    F_OUT,
    F_OUT_BUFS,
    F_OUT_ERRS,
    F_OVERRUNS,
    F_STALLS
};

uint32_t fab_counter(const uint8_t *row, int which)
{
    return get32(row, FAB_COUNTERS + 4 * static_cast<size_t>(which));
}

void table_row(const char *name, uint64_t capacity, uint64_t limit, uint64_t aging)
{
    char lim[24] = "-", age[16] = "-";
    if (limit != SHMDB_ABSENT && limit)
        snprintf(lim, sizeof(lim), "%llu", static_cast<unsigned long long>(limit));
    if (aging != SHMDB_ABSENT && aging) format_duration(age, sizeof(age), aging, 6);
    // An interface name may hold control characters: shown as '.'.
    char safe[sizeof(fdb_stats::name)];
    format_text(safe, sizeof(safe), name, sizeof(safe) - 1);
    // The actual aging time is not in the shared header.
    printf("%-40.40s  %10llu  %10s  %6s  %6s\n", safe, static_cast<unsigned long long>(capacity),
           lim, age, "-");
}

// A table name (128 bytes, NUL-terminated or not) as a safe line.
void print_name(const uint8_t *field)
{
    static_assert(sizeof(fdb_stats::name) == sizeof(mdb_stats::name));
    char name[sizeof(fdb_stats::name) + 1] = {};
    memcpy(name, field, sizeof(fdb_stats::name));
    char safe[sizeof(name)];
    printf("%s\n", format_text(safe, sizeof(safe), name, sizeof(fdb_stats::name)));
}

const char TABLES_HEADER[] =
    "Table                                       Capacity       Limit   Aging  Actual";

} // namespace

// ---- text ----

int ugw_text_fabric(const ugw_render_args *a, const ugw_renderer_row *)
{
    if (!rows_fit(a, FAB_ROW)) return -1;
    printf("Port   Sent +Frags Overruns   Errors  Received +Frags Undelvrd   Errors   Stalls\n%s\n",
           RULE);
    for (uint32_t i = 0; i < a->count; i++) {
        const uint8_t *r = row_at(a, i);
        char out[16], out_bufs[16], in[16], in_bufs[16];
        printf("%4u  %5s  %5s %8zu %8zu     %5s  %5s %8zu %8zu %8zu\n", r[FAB_LOCAL_PORT],
               units5(out, fab_counter(r, F_OUT)), units5(out_bufs, fab_counter(r, F_OUT_BUFS)),
               static_cast<size_t>(fab_counter(r, F_OVERRUNS)),
               static_cast<size_t>(fab_counter(r, F_OUT_ERRS)), units5(in, fab_counter(r, F_IN)),
               units5(in_bufs, fab_counter(r, F_IN_BUFS)),
               static_cast<size_t>(fab_counter(r, F_UNDELIVERED)),
               static_cast<size_t>(fab_counter(r, F_IN_ERRS)),
               static_cast<size_t>(fab_counter(r, F_STALLS)));
    }
    return done();
}

int ugw_text_xsk(const ugw_render_args *a, const ugw_renderer_row *)
{
    if (!rows_fit(a, XSK_ROW)) return -1;
    printf("Interface    Queue Ring Fill Pend  Blk Sent  Drops Error Rcvd  Drops Error Starv\n%s\n",
           RULE);
    for (uint32_t i = 0; i < a->count; i++) {
        const uint8_t *r = row_at(a, i);
        char text[64];
        const char *name = ugw_ifname_text(get32(r, XSK_IFINDEX), text, sizeof text);
        int16_t queue;
        memcpy(&queue, r + XSK_QUEUE_ID, 2);
        char q[16] = "-";
        if (queue >= 0) snprintf(q, sizeof(q), "%zu%s", static_cast<size_t>(queue), "");
        uint32_t ring = get32(r, XSK_RING_SIZE);
        unsigned mode = r[XSK_OPERATION];
        char fill[16] = "-", pend[16] = "-";
        if (mode != 1) percent(fill, xsk_counter(r, X_FILL), ring);
        if (mode != 2) percent(pend, xsk_counter(r, X_SUBMIT), ring);
        char c[7][16];
        printf("%-15s %2s %4u %4s %4s %4d %5s %5s %5s %5s %5s %5s %5s\n", name ? name : "", q, ring,
               fill, pend, 0, units5(c[0], xsk_counter(r, X_OUT)),
               units5(c[1], xsk_counter(r, X_OUT_DROPS)), units5(c[2], xsk_counter(r, X_OUT_ERRS)),
               units5(c[3], xsk_counter(r, X_IN)), units5(c[4], xsk_counter(r, X_IN_DROPS)),
               units5(c[5], xsk_counter(r, X_IN_ERRS)), units5(c[6], xsk_counter(r, X_STARVE)));
    }
    return done();
}

int ugw_text_fdb_tables(const ugw_render_args *a, const ugw_renderer_row *)
{
    if (!rows_fit(a, sizeof(fdb_stats))) return -1;
    printf("%s\n%s\n", TABLES_HEADER, RULE);
    for (uint32_t i = 0; i < a->count; i++) {
        fdb_stats s;
        memcpy(&s, row_at(a, i), sizeof(s));
        s.name[sizeof(s.name) - 1] = '\0';
        table_row(s.name, s.size, s.limit, s.aging);
    }
    return done();
}

int ugw_text_mdb_tables(const ugw_render_args *a, const ugw_renderer_row *)
{
    if (!rows_fit(a, sizeof(mdb_stats))) return -1;
    printf("%s\n%s\n", TABLES_HEADER, RULE);
    for (uint32_t i = 0; i < a->count; i++) {
        mdb_stats s;
        memcpy(&s, row_at(a, i), sizeof(s));
        s.name[sizeof(s.name) - 1] = '\0';
        table_row(s.name, s.size, s.limit, s.aging);
    }
    return done();
}

int ugw_text_fdb_clients(const ugw_render_args *a, const ugw_renderer_row *)
{
    ugw_shm_view v;
    if (!view_of(a, &v) || !rows_fit(a, sizeof(ugw_fdb_entry))) return -1;
    printf("Client              Port\n%.24s\n", RULE);
    for (uint32_t i = 0; i < a->count; i++) {
        const ugw_fdb_entry e = row_copy<ugw_fdb_entry>(a, i);
        print_mac(e.mac, v.show ? "  " : "   ", e.port);
    }
    return done();
}

int ugw_text_mdb_groups(const ugw_render_args *a, const ugw_renderer_row *)
{
    ugw_shm_view v;
    if (!view_of(a, &v) || !rows_fit(a, sizeof(mdb_group))) return -1;
    printf("Multicast          Ports\n%s\n", RULE);
    for (uint32_t i = 0; i < a->count; i++) {
        const mdb_group g = row_copy<mdb_group>(a, i);
        char text[32];
        printf("%s  ", mdb_group_text(&g, text, sizeof(text)));
        if (v.ports >= 25) {
            printf("%zu/%u\n", static_cast<size_t>(g.count), v.ports);
        } else {
            for (unsigned p = 0; p < g.count && p < std::size(g.ports); p++)
                printf("%u ", g.ports[p]);
            putchar('\n');
        }
    }
    return done();
}

// ---- abbreviated ----

int ugw_short_fabric(const ugw_render_args *a, const ugw_renderer_row *)
{
    if (!rows_fit(a, FAB_ROW)) return -1;
    for (uint32_t i = 0; i < a->count; i++)
        printf("%u\n", row_at(a, i)[FAB_LOCAL_PORT]);
    return done();
}

int ugw_short_xsk(const ugw_render_args *a, const ugw_renderer_row *)
{
    if (!rows_fit(a, XSK_ROW)) return -1;
    for (uint32_t i = 0; i < a->count; i++) {
        uint32_t index = get32(row_at(a, i), XSK_IFINDEX);
        // The queues of one interface come in a run: its name once.
        if (i && get32(row_at(a, i - 1), XSK_IFINDEX) == index) continue;
        char text[64];
        const char *name = ugw_ifname_text(index, text, sizeof text);
        printf("%s\n", name ? name : "");
    }
    return done();
}

int ugw_short_fdb_tables(const ugw_render_args *a, const ugw_renderer_row *)
{
    if (!rows_fit(a, sizeof(fdb_stats))) return -1;
    for (uint32_t i = 0; i < a->count; i++)
        print_name(row_at(a, i) + offsetof(fdb_stats, name));
    return done();
}

int ugw_short_mdb_tables(const ugw_render_args *a, const ugw_renderer_row *)
{
    if (!rows_fit(a, sizeof(mdb_stats))) return -1;
    for (uint32_t i = 0; i < a->count; i++)
        print_name(row_at(a, i) + offsetof(mdb_stats, name));
    return done();
}

int ugw_short_fdb_clients(const ugw_render_args *a, const ugw_renderer_row *)
{
    if (!rows_fit(a, sizeof(ugw_fdb_entry))) return -1;
    for (uint32_t i = 0; i < a->count; i++)
        printf("%u\n", row_copy<ugw_fdb_entry>(a, i).port);
    return done();
}

int ugw_short_mdb_groups(const ugw_render_args *a, const ugw_renderer_row *)
{
    if (!rows_fit(a, sizeof(mdb_group))) return -1;
    for (uint32_t i = 0; i < a->count; i++)
        printf("%zu\n", static_cast<size_t>(row_copy<mdb_group>(a, i).count));
    return done();
}

// ---- JSON ----

namespace
{

template <size_t Size, class Write> int json_array(const ugw_render_args *a, Write write)
{
    if (!rows_fit(a, Size)) return -1;
    json_writer json;
    json_init(&json, stdout);
    json_open_array(&json);
    for (uint32_t i = 0; i < a->count; i++)
        write(&json, row_at(a, i));
    json_close(&json);
    return json_done(&json);
}

} // namespace

int ugw_json_fabric(const ugw_render_args *a, const ugw_renderer_row *)
{
    return json_array<FAB_ROW>(a, fabric_json);
}

int ugw_json_xsk(const ugw_render_args *a, const ugw_renderer_row *)
{
    return json_array<XSK_ROW>(a, xsk_json);
}

int ugw_json_fdb_tables(const ugw_render_args *a, const ugw_renderer_row *)
{
    return json_array<sizeof(fdb_stats)>(a, [](json_writer *j, const uint8_t *row) {
        fdb_stats s;
        memcpy(&s, row, sizeof(s));
        s.name[sizeof(s.name) - 1] = '\0';
        fdb_json_table(j, &s);
    });
}

int ugw_json_mdb_tables(const ugw_render_args *a, const ugw_renderer_row *)
{
    return json_array<sizeof(mdb_stats)>(a, [](json_writer *j, const uint8_t *row) {
        mdb_stats s;
        memcpy(&s, row, sizeof(s));
        s.name[sizeof(s.name) - 1] = '\0';
        mdb_json_table(j, &s);
    });
}

// One object; each entry a member keyed by its MAC (unique within a pass).
int ugw_json_fdb_clients(const ugw_render_args *a, const ugw_renderer_row *)
{
    if (!rows_fit(a, sizeof(ugw_fdb_entry))) return -1;
    json_writer json;
    json_init(&json, stdout);
    json_open_object(&json);
    for (uint32_t i = 0; i < a->count; i++) {
        const ugw_fdb_entry e = row_copy<ugw_fdb_entry>(a, i);
        char mac[18];
        json_key(&json, nullptr, format_mac(mac, e.mac));
        fdb_json_client(&json, e.mac, e.port);
    }
    json_close(&json);
    return json_done(&json);
}

int ugw_json_mdb_groups(const ugw_render_args *a, const ugw_renderer_row *)
{
    if (!rows_fit(a, sizeof(mdb_group))) return -1;
    json_writer json;
    json_init(&json, stdout);
    json_open_object(&json);
    for (uint32_t i = 0; i < a->count; i++) {
        const mdb_group g = row_copy<mdb_group>(a, i);
        char text[32];
        json_key(&json, nullptr, mdb_group_text(&g, text, sizeof(text)));
        mdb_json_group(&json, &g);
    }
    json_close(&json);
    return json_done(&json);
}
