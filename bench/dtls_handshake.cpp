// DTLS 1.2 handshakes per second, ours and OpenSSL's, with the same suite on
// loopback UDP in one thread, client and server in this process. Each
// handshake includes the cookie exchange (both servers make one, each an
// HMAC-SHA1 from a context keyed once), no session ticket (we issue none, so
// OpenSSL is told not to either; checked) and a clean close. Counters:
// handshakes per second of each and their ratio, and the client's CPU time
// per handshake of each with its ratio; the client's time covers its socket
// calls on both sides, the reads that find nothing included. Ratios are
// OpenSSL's time over ours: above 1 means we are faster.
#include "tests/openssl_rsa.h"
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "common/crypto/rsa.h"
#include "common/packet.h"
#include "controller/dtls/dtls.h"

namespace {

double thread_cpu()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

int udp_pair_socket(sockaddr_in *bound)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    socklen_t len = sizeof *bound;
    getsockname(fd, reinterpret_cast<sockaddr *>(bound), &len);
    return fd;
}

const uint8_t kPsk[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                          0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

struct keys {
    EVP_PKEY *pk = EVP_RSA_gen(2048);
    rsa_key *key = rsa_key_from_evp(pk);
    X509 *cert = X509_new();
    keys()
    {
        // A self-signed certificate for OpenSSL, which has no raw public keys.
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), 0);
        X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
        X509_set_pubkey(cert, pk);
        X509_NAME *name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char *>("bench"), -1, -1, 0);
        X509_set_issuer_name(cert, name);
        X509_sign(cert, pk, EVP_sha256());
    }
};

keys &shared_keys()
{
    static keys k;
    return k;
}

// --- Ours ---

struct our_side {
    int fd;
    sockaddr_in addr;
    dtls_ctx *ctx;
    double cpu = 0;
};

struct our_bench {
    mempool *pool;
    our_side client{}, server{};
    std::vector<std::pair<timer *, timer_fn>> due; // 0 ms timers, run at once
    bool connected = false;
    const char *cipher = nullptr;

    static our_side *side(void *u) { return static_cast<our_side *>(u); }
    static our_bench *self;

    explicit our_bench(bool rsa)
    {
        self = this;
        dtls_init();
        packet_pool_config pc = {2048, 64, 32, 256, 256, 0};
        pool = packet_pool_create(&pc);
        dtls_ops ops = {
            .accept_cb = nullptr,
            .connect_cb =
                [](void *, dtls_sock *s) {
                    self->connected = true;
                    self->cipher = dtls_sock_cipher(s);
                },
            .recv_cb = [](void *, dtls_sock *, packet *) {},
            .send_cb =
                [](void *u, packet *p, const sockaddr *peer) {
                    return int(
                        sendto(side(u)->fd, p->data, p->length, 0, peer, sizeof(sockaddr_in)));
                },
            .close_cb = [](void *, dtls_sock *, int) {},
            .alert_cb = nullptr,
            .psk_cb =
                [](void *, const char *, uint8_t *key, size_t) {
                    memcpy(key, kPsk, sizeof kPsk);
                    return int(sizeof kPsk);
                },
            .timer_start_cb =
                [](void *, timer *t, uint32_t ms, timer_fn cb) {
                    t->flags |= TIMER_PENDING;
                    if (ms == 0) self->due.emplace_back(t, cb);
                },
            .timer_stop_cb =
                [](void *, timer *t) {
                    t->flags &= uint8_t(~TIMER_PENDING);
                    for (auto &d : self->due)
                        if (d.first == t) d.first = nullptr;
                },
        };
        for (our_side *s : {&client, &server}) {
            s->fd = udp_pair_socket(&s->addr);
            s->ctx = dtls_ctx_create(&ops, s, 0, 1500, nullptr, pool);
        }
        if (rsa)
            dtls_set_server_key(server.ctx, shared_keys().key);
    }
    ~our_bench()
    {
        for (our_side *s : {&client, &server}) {
            dtls_ctx_destroy(s->ctx);
            close(s->fd);
        }
        run_due();
        mempool_unref(pool);
    }

    void run_due()
    {
        while (!due.empty()) {
            auto d = due.front();
            due.erase(due.begin());
            if (d.first) {
                d.first->flags &= uint8_t(~TIMER_PENDING);
                d.second(d.first);
            }
        }
    }

    // Reads what is waiting on either socket; false when nothing was.
    bool pump(our_side &s, const sockaddr_in &from)
    {
        uint8_t buf[2048];
        double t0 = thread_cpu();
        ssize_t n = recv(s.fd, buf, sizeof buf, 0);
        if (n < 0) {
            s.cpu += thread_cpu() - t0;
            return false;
        }
        packet *p = packet_from_bytes(pool, buf, size_t(n));
        dtls_recv(s.ctx, p, reinterpret_cast<const sockaddr *>(&from));
        packet_release(p);
        s.cpu += thread_cpu() - t0;
        return true;
    }

    void handshake(bool rsa)
    {
        connected = false;
        dtls_psk psk{};
        strcpy(psk.identity, "gw1");
        memcpy(psk.key, kPsk, sizeof kPsk);
        psk.key_length = sizeof kPsk;
        double t0 = thread_cpu();
        dtls_sock *s = dtls_connect(client.ctx, reinterpret_cast<sockaddr *>(&server.addr),
                                    nullptr, rsa ? nullptr : &psk);
        run_due();
        client.cpu += thread_cpu() - t0;
        while (!connected) {
            bool any = pump(server, client.addr);
            any |= pump(client, server.addr);
            if (!any)
                usleep(0);
        }
        t0 = thread_cpu();
        dtls_close(s);
        run_due();
        client.cpu += thread_cpu() - t0;
        while (pump(server, client.addr) || pump(client, server.addr)) {
        }
        run_due();
    }
};
our_bench *our_bench::self;

// --- OpenSSL ---

// The server's cookie: HMAC-SHA1 under a secret keyed once, over the peer's
// address and port, 64 bytes standing for the ClientHello fields that ours
// covers (the callback does not see them) and the period.
EVP_MAC_CTX *cookie_mac;

int cookie_make(SSL *ssl, unsigned char *cookie, unsigned int *len)
{
    BIO_ADDR *peer = BIO_ADDR_new();
    BIO_dgram_get_peer(SSL_get_rbio(ssl), peer);
    unsigned char addr[16];
    size_t addr_len = 0;
    BIO_ADDR_rawaddress(peer, addr, &addr_len);
    unsigned short port = BIO_ADDR_rawport(peer);
    BIO_ADDR_free(peer);
    static const unsigned char hello[64] = {};
    const unsigned char period[4] = {};
    size_t n = 0;
    EVP_MAC_init(cookie_mac, nullptr, 0, nullptr);
    EVP_MAC_update(cookie_mac, addr, addr_len);
    EVP_MAC_update(cookie_mac, reinterpret_cast<unsigned char *>(&port), sizeof port);
    EVP_MAC_update(cookie_mac, hello, sizeof hello);
    EVP_MAC_update(cookie_mac, period, sizeof period);
    EVP_MAC_final(cookie_mac, cookie, &n, DTLS1_COOKIE_LENGTH);
    *len = unsigned(n);
    return 1;
}

int cookie_check(SSL *ssl, const unsigned char *cookie, unsigned int len)
{
    unsigned char want[EVP_MAX_MD_SIZE];
    unsigned int n;
    cookie_make(ssl, want, &n);
    return len == n && CRYPTO_memcmp(cookie, want, n) == 0;
}

struct openssl_bench {
    SSL_CTX *cctx, *sctx;
    int cfd, sfd;
    sockaddr_in caddr, saddr;
    double client_cpu = 0;
    std::string cipher;
    bool ticket = false;
    bool failed = false; // a handshake broke off: the benchmark stops

    explicit openssl_bench(bool rsa)
    {
        static const uint8_t secret[20] = {1};
        EVP_MAC *hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
        cookie_mac = EVP_MAC_CTX_new(hmac);
        EVP_MAC_free(hmac);
        char digest[] = "SHA1";
        OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_construct_end()};
        EVP_MAC_init(cookie_mac, secret, sizeof secret, params);
        cctx = SSL_CTX_new(DTLS_client_method());
        sctx = SSL_CTX_new(DTLS_server_method());
        for (SSL_CTX *c : {cctx, sctx}) {
            SSL_CTX_set_min_proto_version(c, DTLS1_2_VERSION);
            SSL_CTX_set_max_proto_version(c, DTLS1_2_VERSION);
            SSL_CTX_set_cipher_list(c, rsa ? "AES128-CCM" : "PSK-AES128-CCM");
            SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_OFF);
            // Our engine issues no tickets; without this OpenSSL's server
            // would encrypt one per handshake and the ratio would count it.
            SSL_CTX_set_options(c, SSL_OP_NO_TICKET);
        }
        SSL_CTX_set_options(sctx, SSL_OP_COOKIE_EXCHANGE);
        SSL_CTX_set_cookie_generate_cb(sctx, cookie_make);
        SSL_CTX_set_cookie_verify_cb(sctx, cookie_check);
        if (rsa) {
            SSL_CTX_use_certificate(sctx, shared_keys().cert);
            SSL_CTX_use_PrivateKey(sctx, shared_keys().pk);
            SSL_CTX_set_verify(cctx, SSL_VERIFY_NONE, nullptr);
        } else {
            SSL_CTX_set_psk_client_callback(
                cctx, [](SSL *, const char *, char *id, unsigned int, unsigned char *psk,
                         unsigned int) -> unsigned int {
                    strcpy(id, "gw1");
                    memcpy(psk, kPsk, sizeof kPsk);
                    return sizeof kPsk;
                });
            SSL_CTX_set_psk_server_callback(
                sctx, [](SSL *, const char *, unsigned char *psk, unsigned int) -> unsigned int {
                    memcpy(psk, kPsk, sizeof kPsk);
                    return sizeof kPsk;
                });
        }
        cfd = udp_pair_socket(&caddr);
        sfd = udp_pair_socket(&saddr);
        connect(cfd, reinterpret_cast<sockaddr *>(&saddr), sizeof saddr);
        connect(sfd, reinterpret_cast<sockaddr *>(&caddr), sizeof caddr);
    }
    ~openssl_bench()
    {
        EVP_MAC_CTX_free(cookie_mac);
        SSL_CTX_free(cctx);
        SSL_CTX_free(sctx);
        close(cfd);
        close(sfd);
    }

    void handshake()
    {
        SSL *c = SSL_new(cctx), *s = SSL_new(sctx);
        BIO *cb = BIO_new_dgram(cfd, BIO_NOCLOSE), *sb = BIO_new_dgram(sfd, BIO_NOCLOSE);
        BIO_ctrl(cb, BIO_CTRL_DGRAM_SET_CONNECTED, 0, &saddr);
        BIO_ctrl(sb, BIO_CTRL_DGRAM_SET_CONNECTED, 0, &caddr);
        SSL_set_bio(c, cb, cb);
        SSL_set_bio(s, sb, sb);
        SSL_set_options(c, SSL_OP_NO_QUERY_MTU);
        SSL_set_options(s, SSL_OP_NO_QUERY_MTU);
        DTLS_set_link_mtu(c, 1500);
        DTLS_set_link_mtu(s, 1500);
        SSL_set_connect_state(c);
        SSL_set_accept_state(s);
        bool cdone = false, sdone = false;
        while (!cdone || !sdone) {
            if (!cdone) {
                double t0 = thread_cpu();
                int r = SSL_do_handshake(c);
                client_cpu += thread_cpu() - t0;
                cdone = r == 1;
                if (r <= 0 && SSL_get_error(c, r) != SSL_ERROR_WANT_READ) failed = true;
            }
            if (!sdone) {
                int r = SSL_do_handshake(s);
                sdone = r == 1;
                if (r <= 0 && SSL_get_error(s, r) != SSL_ERROR_WANT_READ) failed = true;
            }
            if (failed) {
                ERR_print_errors_fp(stderr);
                break;
            }
        }
        cipher = SSL_CIPHER_get_name(SSL_get_current_cipher(c));
        ticket |= SSL_SESSION_has_ticket(SSL_get_session(c)) != 0;
        double t0 = thread_cpu();
        SSL_shutdown(c);
        client_cpu += thread_cpu() - t0;
        SSL_shutdown(s);
        SSL_free(c);
        SSL_free(s);
        // Whatever is left on the sockets belongs to this handshake.
        char buf[2048];
        while (recv(cfd, buf, sizeof buf, MSG_DONTWAIT) >= 0 || recv(sfd, buf, sizeof buf, MSG_DONTWAIT) >= 0) {
        }
    }
};

void BM_DtlsHandshake(benchmark::State &state, bool rsa)
{
    our_bench ours(rsa);
    openssl_bench theirs(rsa);
    using clock = std::chrono::steady_clock;
    double t_ours = 0, t_theirs = 0;
    int64_t n = 0;
    const int batch = rsa ? 4 : 20;
    // One handshake each first: the same suite, and no ticket from OpenSSL.
    ours.handshake(rsa);
    theirs.handshake();
    const char *want = rsa ? "AES128-CCM" : "PSK-AES128-CCM";
    const char *ours_want = rsa ? "TLS_RSA_WITH_AES_128_CCM" : "TLS_PSK_WITH_AES_128_CCM";
    if (theirs.failed || theirs.cipher != want || !ours.cipher ||
        strcmp(ours.cipher, ours_want) != 0 || theirs.ticket) {
        state.SkipWithError("the two handshakes differ in suite or ticket");
        return;
    }
    ours.client.cpu = 0;
    theirs.client_cpu = 0;
    for (auto _ : state) {
        auto t0 = clock::now();
        for (int i = 0; i < batch; i++)
            ours.handshake(rsa);
        auto t1 = clock::now();
        for (int i = 0; i < batch; i++)
            theirs.handshake();
        auto t2 = clock::now();
        if (theirs.failed) {
            state.SkipWithError("an OpenSSL handshake failed");
            break;
        }
        t_ours += std::chrono::duration<double>(t1 - t0).count();
        t_theirs += std::chrono::duration<double>(t2 - t1).count();
        n += batch;
    }
    state.counters["ours_hs_per_s"] = double(n) / t_ours;
    state.counters["openssl_hs_per_s"] = double(n) / t_theirs;
    state.counters["ratio"] = t_theirs / t_ours;
    state.counters["ours_client_us"] = ours.client.cpu / double(n) * 1e6;
    state.counters["openssl_client_us"] = theirs.client_cpu / double(n) * 1e6;
    state.counters["ratio_client_cpu"] = theirs.client_cpu / ours.client.cpu;
}

BENCHMARK_CAPTURE(BM_DtlsHandshake, psk_aes128_ccm, false)->MinTime(1.0)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_DtlsHandshake, rsa2048_aes128_ccm, true)->MinTime(1.0)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
