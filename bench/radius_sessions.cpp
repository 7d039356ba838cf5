// RADIUS sessions side by side with their anchor:
//  - Sessions: 100,000 stations from creation to AUTHORIZED with an
//    accounting Start, through the session machine, the codec and the real
//    transports to an in-process responder that signs Access-Accepts and
//    Accounting-Responses; the sessions stay, so the last one is found among
//    99,999 others.
//  - Anchor: the same two exchanges (an Access-Request of the same size and
//    an Accounting-Request) through the transports alone, answered by the
//    same responder.
//  Both run in each iteration. Target: ours at most 1.5x the anchor's time
//  (ours_over_transport), and at most 1 KiB per authorized session besides
//  its rules (bytes_per_session).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "bench/pin.h"
#include "common/packet.h"
#include "common/timer.h"
#include "radius/radius_codec.h"
#include "radius/radius_db.h"
#include "radius/radius_nas.h"

namespace {

using T = radius_attr_type;
const char SECRET[] = "a-shared-secret-of-some-length";
constexpr int SESSIONS = 100000;

struct host {
    mempool *pool;
    radius_nas_record rec{};
    radius_nas *auth, *acct;
    radius_db *db = nullptr;
    std::vector<packet *> outbox;
    packet *answer = nullptr;
    uint64_t authorized = 0;

    host()
    {
        static const packet_pool_config config = {2048, 32, 16, 4096, 0, 0};
        pool = packet_pool_create(&config);
        rec.config.radiusClientRequestPorts = 4;
        strcpy(rec.config.radiusAuthClientIdentifier, "bench-nas");
        auto &a = rec.auth[0];
        a.radiusAuthServerInetAddressType = RADIUS_INET_IPV4;
        inet_pton(AF_INET, "127.0.0.1", a.radiusAuthServerInetAddress);
        a.radiusAuthClientInetAddressType = RADIUS_INET_IPV4;
        inet_pton(AF_INET, "127.0.0.1", a.radiusAuthClientInetAddress);
        a.radiusAuthClientServerInetPortNumber = 1812;
        strcpy(a.radiusAuthServerSharedSecret, SECRET);
        auto &c = rec.acct[0];
        c.radiusAccServerInetAddressType = RADIUS_INET_IPV4;
        inet_pton(AF_INET, "127.0.0.1", c.radiusAccServerInetAddress);
        c.radiusAccClientInetAddressType = RADIUS_INET_IPV4;
        inet_pton(AF_INET, "127.0.0.1", c.radiusAccClientInetAddress);
        c.radiusAccClientServerInetPortNumber = 1813;
        strcpy(c.radiusAccServerSharedSecret, SECRET);
        radius_nas_ops nops = {.send = nas_send, .timed_out = nas_timed_out,
                               .schedule = schedule, .cancel = cancel};
        auth = radius_nas_create_auth(&rec.config, rec.auth, &nops, this);
        acct = radius_nas_create_acct(&rec.config, rec.acct, &nops, this);
        answer = packet_alloc(pool, RADIUS_HDR_LEN);
    }
    ~host()
    {
        radius_db_destroy(db);
        radius_nas_destroy(auth);
        radius_nas_destroy(acct);
        packet_release(answer);
        mempool_unref(pool);
    }
    void make_db()
    {
        radius_db_ops ops = {.authorize = authorize_cb, .deauthorize = deauthorize_cb,
                             .send = db_send, .discard = db_discard, .schedule = schedule,
                             .cancel = cancel};
        db = radius_db_create(&ops, this, "bench-nas", 0, pool, auth, acct, nullptr);
    }

    // The responder: answers every datagram sent, signed with the secret.
    void respond()
    {
        while (!outbox.empty()) {
            packet *req = outbox.back();
            outbox.pop_back();
            bool access = req->data[0] == uint8_t(radius_code::access_request);
            packet *m = answer;
            m->length = m->_fragsize = RADIUS_HDR_LEN;
            m->tailroom = uint16_t(packet_pool_capacity(pool) - packet_headroom(m) - RADIUS_HDR_LEN);
            m->data[0] = access ? uint8_t(radius_code::access_accept)
                                : uint8_t(radius_code::accounting_response);
            m->data[1] = req->data[1];
            radius_set_length(m);
            if (access) {
                radius_append_attr(m, T::message_authenticator, nullptr, 16);
                radius_append_int(m, T::session_timeout, 3600);
                radius_append_int(m, T::acct_interim_interval, 600);
            }
            const uint8_t *ra = radius_header(req)->authenticator;
            uint8_t out[16];
            if (access) {
                radius_calc_msg_auth(SECRET, m, ra, out);
                memcpy(radius_msg_auth_value(m), out, 16);
            }
            radius_calc_authenticator(SECRET, m, ra, out);
            memcpy(radius_header(m)->authenticator, out, 16);
            radius_nas *nas = access ? auth : acct;
            int port = radius_request_of(req)->slot / 256;
            packet_release(req);
            int server = radius_nas_recv(nas, m, reinterpret_cast<sockaddr *>(&nas->server[0]), port);
            if (server >= 0 && db)
                radius_db_response(db, m, server);
        }
    }

    static host *self(void *u) { return static_cast<host *>(u); }
    static void nas_send(void *u, packet *msg, const sockaddr *, int)
    {
        packet_ref(msg);
        self(u)->outbox.push_back(msg);
    }
    static void nas_timed_out(void *, packet *) {}
    static void schedule(void *, timer *t, uint32_t, timer_fn) { t->flags = TIMER_PENDING; }
    static void cancel(void *, timer *t) { t->flags = 0; }
    static void authorize_cb(void *u, radius_entry *) { self(u)->authorized++; }
    static void deauthorize_cb(void *, radius_entry *, uint16_t) {}
    static int db_send(void *u, packet *msg, int server, int *token)
    {
        host *h = self(u);
        return radius_nas_send(msg->data[0] == 1 ? h->auth : h->acct, msg, server, token);
    }
    static void db_discard(void *u, packet *msg)
    {
        host *h = self(u);
        radius_nas *nas = msg->data[0] == 1 ? h->auth : h->acct;
        if (radius_request_of(msg)->nas == nas)
            radius_nas_cancel(nas, msg);
    }
};

void mac_of(uint32_t i, uint8_t mac[6])
{
    mac[0] = 2;
    mac[1] = 0;
    mac[2] = uint8_t(i >> 24);
    mac[3] = uint8_t(i >> 16);
    mac[4] = uint8_t(i >> 8);
    mac[5] = uint8_t(i);
}

using clk = std::chrono::steady_clock;

double since_ns(clk::time_point t0)
{
    return std::chrono::duration<double, std::nano>(clk::now() - t0).count();
}

// Every station from creation to AUTHORIZED with its accounting Start.
void run_sessions(host &h)
{
    for (uint32_t i = 0; i < SESSIONS; i++) {
        uint8_t mac[6];
        mac_of(i, mac);
        radius_entry *e = radius_db_create_sess(h.db, nullptr, mac, &h);
        radius_db_authorize_sess(e, nullptr);
        h.respond();
    }
}

// The same two exchanges per station through the transports alone.
void run_anchor(host &h)
{
    for (uint32_t i = 0; i < SESSIONS; i++) {
        uint8_t mac[6];
        mac_of(i, mac);
        packet *req = packet_alloc(h.pool, RADIUS_HDR_LEN);
        memset(req->data, 0, RADIUS_HDR_LEN);
        req->data[0] = 1;
        radius_set_length(req);
        radius_append_int(req, T::service_type, 10);
        radius_append_attr(req, T::message_authenticator, nullptr, 16);
        radius_append_str(req, T::acct_session_id, "0000ABCD");
        radius_append_str(req, T::nas_identifier, "bench-nas");
        radius_append_mac(req, T::calling_station_id, mac);
        radius_append_mac(req, T::user_name, mac);
        uint8_t zero = 0;
        radius_append_attr(req, T::chargeable_user_identity, &zero, 1);
        memcpy(req->meta, mac, 6);
        radius_nas_send(h.auth, req, -1, nullptr);
        packet_release(req);
        h.respond();
        packet *acc = packet_alloc(h.pool, RADIUS_HDR_LEN);
        memset(acc->data, 0, RADIUS_HDR_LEN);
        acc->data[0] = 4;
        radius_set_length(acc);
        radius_append_int(acc, T::event_timestamp, 1);
        radius_append_int(acc, T::acct_status_type, 1);
        radius_append_str(acc, T::acct_session_id, "0000ABCD");
        radius_append_str(acc, T::acct_multi_session_id, "0000ABCD");
        radius_append_int(acc, T::acct_link_count, 1);
        radius_append_int(acc, T::acct_authentic, 2);
        radius_append_str(acc, T::nas_identifier, "bench-nas");
        radius_append_mac(acc, T::calling_station_id, mac);
        radius_append_mac(acc, T::user_name, mac);
        memcpy(acc->meta, mac, 6);
        radius_nas_send(h.acct, acc, -1, nullptr);
        packet_release(acc);
        h.respond();
    }
}

// Pool chunks, stores and index links of every session.
double bytes_per_session(host &h)
{
    size_t total = h.db->entry_pool->info.memPoolSize + h.db->index_pool->info.memPoolSize;
    for (radius_entry *e = radius_db_first_sess(h.db); e; e = radius_db_next_sess(h.db, e))
        for (const radius_store *s : {e->store, e->scratch})
            if (!s->embedded) // else inside the record, counted with the pool
                total += sizeof(radius_store) + s->capacity;
    total += size_t(h.db->entries_by_mac->size) * sizeof(void *) * 2 +
             size_t(h.db->entries_by_session_id->size) * sizeof(void *) * 2 +
             size_t(h.db->entries_by_name->table.size) * sizeof(void *) * 2;
    return double(total) / SESSIONS;
}

// Both sides in each iteration, so that a busy machine weighs on both alike.
void BM_Sessions(benchmark::State &state)
{
    clock_refresh_offset();
    double bytes = 0, ours = 0, anchor = 0;
    for (auto _ : state) {
        {
            auto hp = std::make_unique<host>();
            auto t0 = clk::now();
            run_anchor(*hp);
            anchor += since_ns(t0);
        }
        auto hp = std::make_unique<host>();
        host &h = *hp;
        h.make_db();
        auto t0 = clk::now();
        run_sessions(h);
        double t = since_ns(t0);
        ours += t;
        state.SetIterationTime(t * 1e-9);
        if (h.authorized != SESSIONS)
            state.SkipWithError("not every session was authorized");
        bytes = bytes_per_session(h);
        // Closing the database sends a Stop per session: a third exchange
        // the anchor does not make, outside the timing.
    }
    double n = double(state.iterations());
    state.counters["sessions_per_s"] = double(SESSIONS) * n / (ours * 1e-9);
    state.counters["transport_ms"] = anchor / 1e6 / n;
    state.counters["bytes_per_session"] = bytes;
    state.counters["ours_over_transport"] = ours / anchor;
}

BENCHMARK(BM_Sessions)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

int main(int argc, char **argv)
{
    return bench_main_pinned(argc, argv);
}
