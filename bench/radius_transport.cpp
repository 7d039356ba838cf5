// The RADIUS transport side by side with its anchors:
//  - SignVerify: signing an Access-Request (counter authenticator and
//    Message-Authenticator) and verifying an Access-Accept (Message-
//    Authenticator and Response Authenticator), as the transport does it with
//    the server's secret prepared once, against the same MD5 and HMAC-MD5
//    work composed from libcrypto's MD5. Target: ours at most 1.2x the
//    anchor's time, i.e. ratio (anchor time / ours) at least 0.83.
//  - RoundTrip/ports/in-flight: request/response round trips over loopback
//    UDP through the transport, with an in-process responder thread that
//    answers with signed Access-Accepts, against a raw UDP request/response
//    loop of the same datagram sizes, ports and number in flight. Both loops
//    get the same responder: the raw one's answers are signed too, though
//    nobody checks them, so that the server's work, which is on the path of
//    every round trip, does not count against the transport. Target: ratio
//    (raw time / ours) at least 0.7.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/crypto.h>
#include <openssl/md5.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "bench/pin.h"
#include "common/crypto/secure.h"
#include "common/packet.h"
#include "common/timer.h"
#include "radius/radius_codec.h"
#include "radius/radius_mib.h"
#include "radius/radius_nas.h"

namespace {

using T = radius_attr_type;
const char SECRET[] = "a-shared-secret-of-some-length";
const uint8_t STATION[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

// ---- the request and answer every benchmark uses ----

packet *build_request(mempool *pool)
{
    packet *p = packet_alloc(pool, RADIUS_HDR_LEN);
    if (!p)
        return nullptr;
    memset(p->data, 0, RADIUS_HDR_LEN);
    p->data[0] = static_cast<uint8_t>(radius_code::access_request);
    radius_set_length(p);
    radius_append_attr(p, T::message_authenticator, nullptr, RADIUS_AUTH_LEN);
    radius_append_str(p, T::nas_identifier, "bench-nas");
    radius_append_mac(p, T::calling_station_id, STATION);
    radius_append_mac(p, T::user_name, STATION);
    radius_append_int(p, T::service_type, 10);
    return p;
}

// An Access-Accept to a request, signed as a server does, built in p (whose
// data is replaced); its length returned.
size_t build_accept(packet *p, const radius_msg_auth_key *key, const uint8_t *request)
{
    packet_trim(p, p->length);
    radius_append(p, nullptr, RADIUS_HDR_LEN);
    p->data[0] = static_cast<uint8_t>(radius_code::access_accept);
    p->data[1] = request[1];
    radius_set_length(p);
    radius_append_attr(p, T::message_authenticator, nullptr, RADIUS_AUTH_LEN);
    radius_append_int(p, T::session_timeout, 3600);
    radius_append_str(p, T::class_, "bench-class");
    uint8_t mac[16];
    radius_calc_msg_auth_key(key, p, request + 4, mac);
    memcpy(radius_msg_auth_value(p), mac, sizeof mac);
    radius_calc_authenticator(SECRET, p, request + 4, radius_header(p)->authenticator);
    return p->length;
}

mempool *bench_pool(uint32_t packets)
{
    const packet_pool_config config = {512, 32, 16, packets, 0, 0};
    return packet_pool_create(&config);
}

// ---- (a) signing and verifying ----

// HMAC-MD5 from libcrypto's MD5 with the key prepared once, as the
// transport prepares each server's secret, fed the same pieces as ours.
struct ossl_hmac_key {
    MD5_CTX inner, outer;
    explicit ossl_hmac_key(const char *key)
    {
        uint8_t k[64] = {}, pad[64];
        memcpy(k, key, strlen(key));
        for (int i = 0; i < 64; i++)
            pad[i] = k[i] ^ 0x36;
        MD5_Init(&inner);
        MD5_Update(&inner, pad, 64);
        for (int i = 0; i < 64; i++)
            pad[i] = k[i] ^ 0x5c;
        MD5_Init(&outer);
        MD5_Update(&outer, pad, 64);
    }
};

void ossl_msg_auth(const ossl_hmac_key &key, const uint8_t *m, size_t len, const uint8_t *auth,
                   uint8_t out[16])
{
    static const uint8_t zeros[16] = {};
    size_t ma = RADIUS_HDR_LEN; // both messages carry it first
    MD5_CTX c = key.inner;
    MD5_Update(&c, m, 4);
    MD5_Update(&c, auth, 16);
    MD5_Update(&c, m + RADIUS_HDR_LEN, ma - RADIUS_HDR_LEN);
    MD5_Update(&c, m + ma, 2);
    MD5_Update(&c, zeros, 16);
    MD5_Update(&c, m + ma + 18, len - ma - 18);
    uint8_t inner[16];
    MD5_Final(inner, &c);
    c = key.outer;
    MD5_Update(&c, inner, 16);
    MD5_Final(out, &c);
}

void ossl_authenticator(const uint8_t *m, size_t len, const uint8_t *auth, const char *secret,
                        uint8_t out[16])
{
    MD5_CTX c;
    MD5_Init(&c);
    MD5_Update(&c, m, 4);
    MD5_Update(&c, auth, 16);
    MD5_Update(&c, m + RADIUS_HDR_LEN, len - RADIUS_HDR_LEN);
    MD5_Update(&c, secret, strlen(secret));
    MD5_Final(out, &c);
}

void BM_SignVerify(benchmark::State &state)
{
    mempool *pool = bench_pool(16);
    packet *req = build_request(pool);
    uint8_t nas_ip[4] = {10, 0, 0, 1};
    radius_append_attr(req, T::nas_ip_address, nas_ip, 4);
    // The accept answers the request as it was first signed.
    uint8_t counter[16] = {1}, out[16], req_auth[16];
    radius_calc_authenticator("", req, counter, radius_header(req)->authenticator);
    memcpy(req_auth, req->data + 4, 16);
    radius_msg_auth_key key;
    radius_msg_auth_key_init(&key, SECRET);
    packet *acc = packet_alloc(pool, 0);
    build_accept(acc, &key, req->data);
    int bad = 0;
    ossl_hmac_key okey(SECRET);

    using clock = std::chrono::steady_clock;
    double t_ours = 0, t_anchor = 0;
    int64_t n = 0;
    constexpr int BATCH = 1000;
    for (auto _ : state) {
        auto t0 = clock::now();
        for (int i = 0; i < BATCH; i++) {
            radius_hdr *hdr = radius_header(req);
            radius_calc_authenticator("", req, counter, hdr->authenticator);
            counter[15]++;
            radius_calc_msg_auth_key(&key, req, hdr->authenticator, out);
            memcpy(radius_msg_auth_value(req), out, 16);
            uint8_t expect[16];
            radius_calc_msg_auth_key(&key, acc, req_auth, expect);
            bad += secure_compare(expect, radius_msg_auth_value(acc), 16) != 0;
            radius_calc_authenticator(SECRET, acc, req_auth, expect);
            bad += secure_compare(expect, acc->data + 4, 16) != 0;
            benchmark::DoNotOptimize(out);
        }
        auto t1 = clock::now();
        for (int i = 0; i < BATCH; i++) {
            uint8_t *m = req->data;
            ossl_authenticator(m, req->length, counter, "", m + 4);
            counter[15]++;
            ossl_msg_auth(okey, m, req->length, m + 4, out);
            memcpy(m + RADIUS_HDR_LEN + 2, out, 16);
            uint8_t expect[16];
            ossl_msg_auth(okey, acc->data, acc->length, req_auth, expect);
            bad += CRYPTO_memcmp(expect, acc->data + RADIUS_HDR_LEN + 2, 16) != 0;
            ossl_authenticator(acc->data, acc->length, req_auth, SECRET, expect);
            bad += CRYPTO_memcmp(expect, acc->data + 4, 16) != 0;
            benchmark::DoNotOptimize(out);
        }
        auto t2 = clock::now();
        t_ours += std::chrono::duration<double>(t1 - t0).count();
        t_anchor += std::chrono::duration<double>(t2 - t1).count();
        n += BATCH;
    }
    state.counters["ours_ns"] = t_ours / double(n) * 1e9;
    state.counters["libcrypto_ns"] = t_anchor / double(n) * 1e9;
    state.counters["ratio"] = t_anchor / t_ours;
    state.SetLabel("request " + std::to_string(req->length) + " B, accept " +
                   std::to_string(acc->length) + " B");
    if (bad)
        state.SkipWithError("verification failed");
    radius_msg_auth_key_wipe(&key);
    packet_release(acc);
    packet_release(req);
    mempool_unref(pool);
}
BENCHMARK(BM_SignVerify);

// ---- (b) round trips over loopback ----

sockaddr_in loopback(uint16_t port)
{
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    in.sin_port = htons(port);
    return in;
}

int udp_socket(int rcvbuf)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in in = loopback(0);
    bind(fd, reinterpret_cast<sockaddr *>(&in), sizeof in);
    // Everything in flight must fit in the buffers: a drop would cost a 2 s timeout.
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &rcvbuf, sizeof rcvbuf);
    return fd;
}

uint16_t port_of(int fd)
{
    sockaddr_in in{};
    socklen_t len = sizeof in;
    getsockname(fd, reinterpret_cast<sockaddr *>(&in), &len);
    return ntohs(in.sin_port);
}

void pin_elsewhere(std::thread &t)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    int here = sched_getcpu();
    CPU_SET(n > 1 ? (here + 1) % n : 0, &set);
    pthread_setaffinity_np(t.native_handle(), sizeof set, &set);
}

// The in-process server: answers each request with a signed Access-Accept.
class responder
{
  public:
    explicit responder(const char *name) : pool_(bench_pool(64))
    {
        radius_msg_auth_key_init(&key_, SECRET);
        answer_ = packet_alloc(pool_, 0);
        fd_ = udp_socket(64 << 20);
        int flags = fcntl(fd_, F_GETFL);
        fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
        timeval tv = {0, 100000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        thread_ = std::thread([this] { run(); });
        pthread_setname_np(thread_.native_handle(), name);
        pin_elsewhere(thread_);
    }
    ~responder()
    {
        stop_ = true;
        thread_.join();
        close(fd_);
        packet_release(answer_);
        mempool_unref(pool_);
    }
    sockaddr_in address() const { return loopback(port_of(fd_)); }

  private:
    void run()
    {
        uint8_t in[4096];
        while (!stop_) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = recvfrom(fd_, in, sizeof in, 0, reinterpret_cast<sockaddr *>(&from), &len);
            if (n < ssize_t(RADIUS_HDR_LEN))
                continue;
            size_t m = build_accept(answer_, &key_, in);
            sendto(fd_, answer_->data, m, 0, reinterpret_cast<sockaddr *>(&from), len);
        }
    }
    mempool *pool_;
    radius_msg_auth_key key_;
    packet *answer_; // rebuilt for each request
    int fd_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The client side: the request ports, one epoll over them.
struct client_ports {
    explicit client_ports(int ports)
    {
        ep = epoll_create1(EPOLL_CLOEXEC);
        for (int i = 0; i < ports; i++) {
            int fd = udp_socket(4 << 20);
            epoll_event ev = {EPOLLIN, {.u32 = uint32_t(i)}};
            epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
            fds.push_back(fd);
        }
    }
    ~client_ports()
    {
        for (int fd : fds)
            close(fd);
        close(ep);
    }
    // Calls receive(port, fd) for the ready ports, up to 16 datagrams per port
    // and turn as an event loop takes them; receive reads one datagram the
    // way its side keeps it, and returns false when the port is drained.
    template <class F> void poll_once(F receive)
    {
        epoll_event ev[64];
        int n = epoll_wait(ep, ev, 64, 100);
        for (int i = 0; i < n; i++) {
            int port = int(ev[i].data.u32);
            for (int k = 0; k < 16; k++)
                if (!receive(port, fds[size_t(port)]))
                    break;
        }
    }
    int ep;
    std::vector<int> fds;
};

// Round trips through the transport: each answer frees an identifier for the next request.
class radius_client
{
  public:
    radius_client(int ports, int inflight, const sockaddr_in &server)
        : net_(ports), inflight_(inflight), pool_(bench_pool(uint32_t(inflight) + 256))
    {
        rec_.config.radiusClientRequestPorts = uint16_t(ports);
        auto &row = rec_.auth[0];
        row.radiusAuthServerInetAddressType = RADIUS_INET_IPV4;
        memcpy(row.radiusAuthServerInetAddress, &server.sin_addr, 4);
        row.radiusAuthClientServerInetPortNumber = ntohs(server.sin_port);
        row.radiusAuthClientInetAddressType = RADIUS_INET_IPV4;
        uint8_t nas_ip[4] = {10, 0, 0, 1};
        memcpy(row.radiusAuthClientInetAddress, nas_ip, 4);
        strcpy(row.radiusAuthServerSharedSecret, SECRET);
        clock_refresh_offset();
        nas_ = radius_nas_create_auth(&rec_.config, rec_.auth, &ops_, this);
    }
    ~radius_client()
    {
        radius_nas_destroy(nas_);
        mempool_unref(pool_);
    }
    bool ok() const { return nas_ != nullptr; }

    // Runs until at least n more round trips completed; how many did, or -1
    // when the answers stopped.
    int64_t run(int64_t n)
    {
        while (sent_ - done_ < inflight_)
            if (!send_one())
                return -1;
        int64_t start = done_;
        int64_t target = done_ + n;
        int64_t last = done_;
        auto idle_since = std::chrono::steady_clock::now();
        while (done_ < target) {
            clock_refresh_offset();
            if (armed_ && int32_t(clock_msec() - due_) >= 0) {
                timer *t = armed_;
                armed_ = nullptr;
                armed_fn_(t);
            }
            // As the daemon's event loop does: the datagram lands in a packet.
            net_.poll_once([&](int port, int fd) {
                packet *msg = packet_alloc(pool_, 0);
                if (!msg)
                    return false;
                sockaddr_in from{};
                socklen_t len = sizeof from;
                ssize_t r = recvfrom(fd, msg->data, packet_tailroom(msg), 0,
                                     reinterpret_cast<sockaddr *>(&from), &len);
                if (r < 0) {
                    packet_release(msg);
                    return false;
                }
                packet_put(msg, size_t(r));
                if (radius_nas_recv(nas_, msg, reinterpret_cast<const sockaddr *>(&from), port) >=
                    0) {
                    done_++;
                    send_one();
                }
                packet_release(msg);
                return true;
            });
            if (done_ != last) {
                last = done_;
                idle_since = std::chrono::steady_clock::now();
            } else if (std::chrono::steady_clock::now() - idle_since > std::chrono::seconds(3)) {
                return -1;
            }
        }
        return done_ - start;
    }
    size_t request_len() const { return request_len_; }
    const radiusAuthClientServerExtTable &row() const { return rec_.auth[0]; }

  private:
    bool send_one()
    {
        packet *p = build_request(pool_);
        if (!p)
            return false;
        int r = radius_nas_send(nas_, p, -1, nullptr);
        request_len_ = p->length;
        packet_release(p); // the transport holds it until answered
        sent_++;
        return r == 0;
    }
    static void on_send(void *user, packet *msg, const sockaddr *server, int port)
    {
        auto *self = static_cast<radius_client *>(user);
        sendto(self->net_.fds[size_t(port)], msg->data, msg->length, 0, server, sizeof(sockaddr_in));
    }
    static void on_timed_out(void *, packet *) {}
    static void on_schedule(void *user, timer *t, uint32_t ms, timer_fn fn)
    {
        auto *self = static_cast<radius_client *>(user);
        self->armed_ = t;
        self->armed_fn_ = fn;
        self->due_ = clock_msec() + ms;
    }
    static void on_cancel(void *user, timer *)
    {
        static_cast<radius_client *>(user)->armed_ = nullptr;
    }

    client_ports net_;
    int64_t inflight_;
    mempool *pool_;
    radius_nas_record rec_{};
    radius_nas_ops ops_ = {
        .send = on_send, .timed_out = on_timed_out, .schedule = on_schedule, .cancel = on_cancel};
    radius_nas *nas_ = nullptr;
    timer *armed_ = nullptr;
    timer_fn armed_fn_ = nullptr;
    uint32_t due_ = 0;
    int64_t sent_ = 0, done_ = 0;
    size_t request_len_ = 0;
};

// The anchor: the same datagrams over the same ports, nothing checked.
class raw_client
{
  public:
    raw_client(int ports, int inflight, const sockaddr_in &server, size_t request_len)
        : net_(ports), inflight_(inflight), server_(server), request_(request_len, 0x5a)
    {
    }
    int64_t run(int64_t n)
    {
        while (sent_ - done_ < inflight_)
            send_one(int(sent_ % int64_t(net_.fds.size())));
        int64_t start = done_;
        int64_t target = done_ + n;
        int64_t last = done_;
        auto idle_since = std::chrono::steady_clock::now();
        while (done_ < target) {
            net_.poll_once([&](int port, int fd) {
                uint8_t buf[4096];
                sockaddr_in from{};
                socklen_t len = sizeof from;
                if (recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len) < 0)
                    return false;
                done_++;
                send_one(port);
                return true;
            });
            if (done_ != last) {
                last = done_;
                idle_since = std::chrono::steady_clock::now();
            } else if (std::chrono::steady_clock::now() - idle_since > std::chrono::seconds(3)) {
                return -1;
            }
        }
        return done_ - start;
    }

  private:
    void send_one(int port)
    {
        request_[1] = uint8_t(sent_);
        sendto(net_.fds[size_t(port)], request_.data(), request_.size(), 0,
               reinterpret_cast<const sockaddr *>(&server_), sizeof server_);
        sent_++;
    }
    client_ports net_;
    int64_t inflight_;
    sockaddr_in server_;
    std::vector<uint8_t> request_;
    int64_t sent_ = 0, done_ = 0;
};

void BM_RoundTrip(benchmark::State &state)
{
    int ports = int(state.range(0)), inflight = int(state.range(1));
    // Answer length of the signed accept: header, Message-Authenticator, Session-Timeout, Class.
    const size_t answer_len = RADIUS_HDR_LEN + 18 + 6 + 2 + strlen("bench-class");
    responder radius_server("radius-server"), raw_server("raw-server");
    radius_client ours(ports, inflight, radius_server.address());
    if (!ours.ok()) {
        state.SkipWithError("transport not created");
        return;
    }
    // Warm both up (and learn the request size) before timing.
    if (ours.run(inflight) < 0) {
        state.SkipWithError("transport round trips stalled");
        return;
    }
    raw_client raw(ports, inflight, raw_server.address(), ours.request_len());
    if (raw.run(inflight) < 0) {
        state.SkipWithError("raw round trips stalled");
        return;
    }

    using clock = std::chrono::steady_clock;
    const int64_t batch = std::max<int64_t>(inflight, 2000);
    double t_ours = 0, t_raw = 0;
    int64_t n_ours = 0, n_raw = 0;
    for (auto _ : state) {
        auto t0 = clock::now();
        int64_t a = ours.run(batch);
        auto t1 = clock::now();
        int64_t b = raw.run(batch);
        auto t2 = clock::now();
        if (a < 0 || b < 0) {
            state.SkipWithError("round trips stalled");
            return;
        }
        t_ours += std::chrono::duration<double>(t1 - t0).count();
        t_raw += std::chrono::duration<double>(t2 - t1).count();
        n_ours += a;
        n_raw += b;
    }
    double ours_ns = t_ours / double(n_ours) * 1e9, raw_ns = t_raw / double(n_raw) * 1e9;
    state.counters["ours_ns"] = ours_ns;
    state.counters["raw_ns"] = raw_ns;
    state.counters["ratio"] = raw_ns / ours_ns;
    const auto &r = ours.row();
    state.counters["retransmissions"] = r.radiusAuthClientExtAccessRetransmissions;
    state.SetLabel("request " + std::to_string(ours.request_len()) + " B, answer " +
                   std::to_string(answer_len) + " B");
}
BENCHMARK(BM_RoundTrip)
    ->ArgNames({"ports", "inflight"})
    ->Args({1, 1})
    ->Args({1, 64})
    ->Args({64, 16000})
    ->UseRealTime()
    ->MinTime(2.0);

} // namespace

int main(int argc, char **argv)
{
    return bench_main_pinned(argc, argv);
}
