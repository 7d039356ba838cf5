// Key derivation: the IEEE 802.11 PRF test vectors, every derivation against
// the same steps composed from libcrypto on random inputs, the edge cases of
// the expansion data and the nonce counter, and the failures of the random
// source.
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "common/log.h"
#include "dot11/dot11_keygen.h"
#include "dot11_test_util.h"

namespace {

bytes ossl_hmac(const EVP_MD *md, const bytes &key, const bytes &msg)
{
    uint8_t out[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    HMAC(md, key.data(), int(key.size()), msg.data(), msg.size(), out, &n);
    return bytes(out, out + n);
}

bytes ossl_sha256(const bytes &msg)
{
    uint8_t out[32];
    unsigned n;
    EVP_Digest(msg.data(), msg.size(), out, &n, EVP_sha256(), nullptr);
    return bytes(out, out + 32);
}

// PRF-n and KDF as IEEE 802.11 writes them, one HMAC per block.
bytes ref_prf(const bytes &key, const std::string &label, const bytes &data, size_t n)
{
    bytes out;
    for (uint8_t i = 0; out.size() < n; i++)
        out = out + ossl_hmac(EVP_sha1(), key, str(label) + bytes{0} + data + bytes{i});
    out.resize(n);
    return out;
}

bytes ref_kdf(const bytes &key, const std::string &label, const bytes &context, size_t n)
{
    bytes out;
    uint16_t bits = uint16_t(n * 8);
    for (uint16_t i = 1; out.size() < n; i++)
        out = out + ossl_hmac(EVP_sha256(), key,
                              bytes{uint8_t(i), uint8_t(i >> 8)} + str(label) + context +
                                  bytes{uint8_t(bits), uint8_t(bits >> 8)});
    out.resize(n);
    return out;
}

bytes prf(const bytes &key, const char *label, const bytes &data, size_t n)
{
    bytes out(n);
    dot11_prf_sha1(key.data(), key.size(), label, data.data(), data.size(), out.data(), n);
    return out;
}

bytes kdf(const bytes &key, const char *label, const bytes &context, size_t n)
{
    bytes out(n);
    dot11_kdf_sha256(key.data(), key.size(), label, context.data(), context.size(), out.data(), n);
    return out;
}

struct random_bytes {
    std::mt19937_64 rng{0x802011};
    bytes operator()(size_t n)
    {
        bytes b(n);
        for (auto &x : b)
            x = uint8_t(rng());
        return b;
    }
    size_t below(size_t n) { return size_t(rng() % n); }
};

TEST(Dot11Keygen, PrfReproducesTheIeeeVectors)
{
    struct {
        bytes key;
        const char *prefix;
        const char *data;
        size_t bits;
        const char *expect;
    } const vectors[] = {
        {bytes(20, 0x0b), "prefix", "Hi There", 192, "bcd4c650b30b9684951829e0d75f9d54b862175ed9f00606"},
        {str("Jefe"), "prefix-2", "what do ya want for nothing?", 256,
         "47c4908e30c947521ad20be9053450ecbea23d3aa604b77326d8b3825ff7475c"},
        {bytes(80, 0xaa), "prefix-3", "Test Using Larger Than Block-Size Key - Hash Key First", 384,
         "0ab6c33ccf70d0d736f4b04c8a7373255511abc5073713163bd0b8c9eeb7e195"
         "6fa066820a73ddee3f6d3bd407e0682a"},
        {bytes(20, 0x0b), "prefix-4", "Hi There Again", 512,
         "248cfbc532ab38ffa483c8a2e40bf170eb542a2e0916d7bf6d97da2c4c5ca877"
         "736c53a65b03fa4b3745ce7613f6ad68e0e4a798b7cf691c96176fd634a59a49"},
    };
    for (const auto &v : vectors)
        EXPECT_EQ(tohex(prf(v.key, v.prefix, str(v.data), v.bits / 8)), v.expect) << v.prefix;
}

// The lengths that cut a block and those that fill whole ones: PRF-512 is
// four blocks with counters 0-3, PRF-256 two with the second cut to 12
// bytes; a 48-byte KDF output uses counters 1 and 2 and Length 384.
TEST(Dot11Keygen, PrfAndKdfMatchLibcryptoAtEveryLength)
{
    random_bytes rnd;
    for (size_t n : {1, 12, 16, 20, 21, 32, 40, 48, 60, 64, 100}) {
        bytes key = rnd(32), data = rnd(76);
        EXPECT_EQ(prf(key, "Pairwise key expansion", data, n), ref_prf(key, "Pairwise key expansion", data, n)) << n;
        EXPECT_EQ(kdf(key, "FT-R0", data, n), ref_kdf(key, "FT-R0", data, n)) << n;
    }
    for (int run = 0; run < 300; run++) {
        bytes key = rnd(1 + rnd.below(100)), data = rnd(rnd.below(200));
        size_t n = 1 + rnd.below(128);
        ASSERT_EQ(prf(key, "Group key expansion", data, n), ref_prf(key, "Group key expansion", data, n)) << run;
        ASSERT_EQ(kdf(key, "FT-PTK", data, n), ref_kdf(key, "FT-PTK", data, n)) << run;
    }
}

bytes expansion_data(const bytes &aa, const bytes &spa, const bytes &an, const bytes &sn)
{
    auto lo = [](const bytes &a, const bytes &b) { return a < b ? a : b; };
    auto hi = [](const bytes &a, const bytes &b) { return a < b ? b : a; };
    return lo(aa, spa) + hi(aa, spa) + lo(an, sn) + hi(an, sn);
}

TEST(Dot11Keygen, EveryKeyMatchesItsLibcryptoComposition)
{
    random_bytes rnd;
    for (int run = 0; run < 200; run++) {
        bytes pmk = rnd(32), aa = rnd(6), spa = rnd(6), an = rnd(32), sn = rnd(32);
        if (run % 10 == 1)
            spa = aa; // equal halves
        if (run % 10 == 2)
            sn = an;
        bytes data = expansion_data(aa, spa, an, sn);
        uint8_t out[64];

        uint8_t d76[76];
        dot11_ptk_data(aa.data(), spa.data(), an.data(), sn.data(), d76);
        ASSERT_EQ(bytes(d76, d76 + 76), data) << run;

        dot11_derive_pmkid(pmk.data(), aa.data(), spa.data(), out);
        bytes want = ossl_hmac(EVP_sha1(), pmk, str("PMK Name") + aa + spa);
        ASSERT_EQ(bytes(out, out + 16), bytes(want.begin(), want.begin() + 16));
        dot11_derive_pmkid_sha256(pmk.data(), aa.data(), spa.data(), out);
        want = ossl_hmac(EVP_sha256(), pmk, str("PMK Name") + aa + spa);
        ASSERT_EQ(bytes(out, out + 16), bytes(want.begin(), want.begin() + 16));

        dot11_derive_ptk(pmk.data(), aa.data(), spa.data(), an.data(), sn.data(), out);
        ASSERT_EQ(bytes(out, out + 64), ref_prf(pmk, "Pairwise key expansion", data, 64));
        for (size_t len : {48, 64}) {
            dot11_derive_ptk_sha256(pmk.data(), len, aa.data(), spa.data(), an.data(), sn.data(), out);
            ASSERT_EQ(bytes(out, out + len), ref_kdf(pmk, "Pairwise key expansion", data, len));
        }
        dot11_derive_gtk(pmk.data(), aa.data(), an.data(), out);
        ASSERT_EQ(bytes(out, out + 32), ref_prf(pmk, "Group key expansion", aa + an, 32));

        // The FT key hierarchy.
        bytes ssid = rnd(rnd.below(33)), r0kh = rnd(1 + rnd.below(48));
        uint16_t mdid = uint16_t(rnd.below(65536));
        uint8_t r0[32], r0name[16], r1[32], r1name[16];
        dot11_derive_pmkr0(pmk.data(), ssid.data(), ssid.size(), mdid, r0kh.data(), r0kh.size(),
                           spa.data(), r0, r0name);
        bytes ctx = bytes{uint8_t(ssid.size())} + ssid + bytes{uint8_t(mdid), uint8_t(mdid >> 8)} +
                    bytes{uint8_t(r0kh.size())} + r0kh + spa;
        bytes r0data = ref_kdf(pmk, "FT-R0", ctx, 48);
        ASSERT_EQ(bytes(r0, r0 + 32), bytes(r0data.begin(), r0data.begin() + 32));
        bytes name = ossl_sha256(str("FT-R0N") + bytes(r0data.begin() + 32, r0data.end()));
        ASSERT_EQ(bytes(r0name, r0name + 16), bytes(name.begin(), name.begin() + 16));
        dot11_derive_pmkr1(r0, aa.data(), spa.data(), r1);
        ASSERT_EQ(bytes(r1, r1 + 32), ref_kdf(bytes(r0, r0 + 32), "FT-R1", aa + spa, 32));
        hmac_sha256_ctx keyed;
        hmac_sha256_init(&keyed, r0, 32);
        memset(r1, 0, 32);
        dot11_derive_pmkr1_keyed(&keyed, aa.data(), spa.data(), r1);
        ASSERT_EQ(bytes(r1, r1 + 32), ref_kdf(bytes(r0, r0 + 32), "FT-R1", aa + spa, 32));
        dot11_derive_pmkr1name(r0name, aa.data(), spa.data(), r1name);
        name = ossl_sha256(str("FT-R1N") + bytes(r0name, r0name + 16) + aa + spa);
        ASSERT_EQ(bytes(r1name, r1name + 16), bytes(name.begin(), name.begin() + 16));
        dot11_derive_ptk_ft(r1, 48, aa.data(), spa.data(), an.data(), sn.data(), out);
        ASSERT_EQ(bytes(out, out + 48), ref_kdf(bytes(r1, r1 + 32), "FT-PTK", sn + an + aa + spa, 48));
    }
}

TEST(Dot11Keygen, ExpansionDataOrdersAddressesAndNoncesAsUnsignedStrings)
{
    bytes aa = {0x80, 0, 0, 0, 0, 1}, spa = {0x7f, 0xff, 0xff, 0xff, 0xff, 0xff};
    bytes an(32, 0x01), sn(32, 0x01);
    sn[31] = 0x00;
    uint8_t d[76];
    dot11_ptk_data(aa.data(), spa.data(), an.data(), sn.data(), d);
    EXPECT_EQ(bytes(d, d + 76), spa + aa + sn + an);
    dot11_ptk_data(aa.data(), aa.data(), an.data(), an.data(), d);
    EXPECT_EQ(bytes(d, d + 76), aa + aa + an + an);
}

TEST(Dot11Keygen, NonceCounterHandsOutItsTailAndCountsUpBigEndian)
{
    struct {
        bytes before;
        size_t n;
        bytes nonce, after;
    } const cases[] = {
        {bytes(32, 0xff), 32, bytes(32, 0xff), bytes(32, 0x00)}, // wraps to all zeros
        {bytes(31, 0x00) + bytes{0xff}, 16, bytes(15, 0x00) + bytes{0xff},
         bytes(30, 0x00) + bytes{0x01, 0x00}},
        {bytes{0x12} + bytes(30, 0xff) + bytes{0xff}, 1, bytes{0xff}, bytes{0x13} + bytes(31, 0x00)},
    };
    for (const auto &c : cases) {
        bytes counter = c.before, nonce(c.n);
        dot11_nonce_next(counter.data(), nonce.data(), c.n);
        EXPECT_EQ(nonce, c.nonce);
        EXPECT_EQ(counter, c.after);
    }
}

TEST(Dot11Keygen, NonceCounterStartsFromTheRandomSourceAndTheClock)
{
    uint8_t aa[6] = {2, 0, 0, 0, 0, 1}, a[32], b[32];
    ASSERT_EQ(dot11_init_nonce_counter(a, aa), 0);
    ASSERT_EQ(dot11_init_nonce_counter(b, aa), 0);
    EXPECT_NE(tohex(a, 32), tohex(b, 32));
    uint8_t g1[32], g2[32];
    ASSERT_EQ(dot11_derive_gmk(g1), 0);
    ASSERT_EQ(dot11_derive_gmk(g2), 0);
    EXPECT_NE(tohex(g1, 32), tohex(g2, 32));
}

int log_pipe = -1;
void pipe_hook(int level, const char *, unsigned, const char *fmt, ...)
{
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line - 1, fmt, ap);
    va_end(ap);
    if (level == ULOG_ERROR && n > 0) {
        line[n] = '\n';
        (void)!write(log_pipe, line, size_t(n) + 1);
    }
}

// With /dev/urandom unreadable (an empty file over it, in a mount namespace
// of a child) both random draws fail with their error lines.
TEST(Dot11Keygen, RandomSourceFailureIsReportedNotHidden)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "a mount namespace needs root";
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        log_pipe = fds[1];
        int null_fd = open("/dev/null", O_WRONLY);
        if (null_fd >= 0)
            dup2(null_fd, 2); // the error lines also go to standard error
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("/dev/null", "/dev/urandom", nullptr, MS_BIND, nullptr) != 0)
            _exit(2);
        log_hook = pipe_hook;
        log_config.components = LOG_COMP_ALL;
        log_config.level = ULOG_DUMP;
        uint8_t out[32], aa[6] = {};
        int gmk = dot11_derive_gmk(out);
        int counter = dot11_init_nonce_counter(out, aa);
        _exit(gmk == -1 && counter == -1 ? 0 : 1);
    }
    close(fds[1]);
    std::string logged;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        logged.append(buf, size_t(n));
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 2)
        GTEST_SKIP() << "could not cover /dev/urandom in a mount namespace";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(logged.find("Failed to derive the GMK\n"), std::string::npos) << logged;
    EXPECT_NE(logged.find("Failed to initialize the RSNA Nonce counter\n"), std::string::npos) << logged;
}

// The tshark test takes its PSKs from wpa_passphrase: it must give the IEEE
// 802.11 pass-phrase mapping vectors.
TEST(Dot11Keygen, WpaPassphraseOracleGivesTheIeeeMapping)
{
    if (!have_program("wpa_passphrase"))
        GTEST_SKIP() << "wpa_passphrase is not installed (scripts/setup.sh dot11 installs it)";
    struct {
        const char *ssid, *pass, *psk;
    } const vectors[] = {
        {"IEEE", "password", "f42c6fc52df0ebef9ebb4b90b38a5f902e83fe1b135a70e23aed762e9710a12e"},
        {"ThisIsASSID", "ThisIsAPassword", "0dc0d6eb90555ed6419756b9a15ec3e3209b63df707dd508d14581f8982721af"},
        {"ZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZ", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
         "becb93866bb8c3832cb777c2f559807c8c59afcb6eae734885001300a981cc62"},
    };
    for (const auto &v : vectors) {
        std::string out = run(std::string("wpa_passphrase '") + v.ssid + "' '" + v.pass + "'");
        EXPECT_NE(out.find(std::string("\tpsk=") + v.psk), std::string::npos) << out;
    }
}

} // namespace
