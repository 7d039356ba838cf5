// ctlpeer: a controller for tests of the gateway's controller link, on our
// DTLS server (RSA with a raw public key), codec and session layer.
//
//   ctlpeer --key FILE -l ADDR:PORT [-l ADDR[:PORT]]... [--control PREFIX] [-d LEVEL]
//
// The first -l with port 0 takes a free port, which later ones without a port
// share. It prints "listening PORT" and "fingerprint HEX" (the key's pin) on
// standard output. It answers ServiceRegister with ServiceAccept, ServiceInform
// and ServiceUnregister with Status success, FlowServiceInform with
// FlowInformAccept, and (through the session layer) echoes. Its control socket,
// PREFIX.PID, takes one text command per request; see tools/ctlpeer/README.md.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <getopt.h>
#include <map>
#include <memory>
#include <netdb.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/crypto/rsa.h"
#include "common/log.h"
#include "common/packet.h"
#include "common/schedule.h"
#include "common/sockaddr.h"
#include "common/userver.h"
#include "controller/dtls/dtls.h"
#include "controller/ulmex.h"
#include "tools/dtlspeer/key_load.h"

namespace
{

// One gateway session: its DTLS socket and a controller link of its own.
struct session {
    ulmex_ops ops;
    ulmex_link link;
    dtls_sock *sock = nullptr;
    std::string peer;
};

// A scripted answer for the next `times` requests of a type (0: always).
struct fault {
    uint8_t type;
    int code; // -1: stay silent; else the Status code to refuse with
    unsigned times;
};

struct delayed {
    uint64_t due;
    std::vector<uint8_t> bytes;
    dtls_addr from;
    int fd;
};

struct state {
    schedule *sched = nullptr;
    mempool *pool = nullptr;
    dtls_ctx *ctx = nullptr;
    rsa_key *key = nullptr;
    std::vector<int> fds;
    std::vector<std::pair<dtls_addr, int>> routes; // which socket reaches a peer
    std::vector<std::unique_ptr<session>> sessions;
    userver *control = nullptr;
    std::vector<std::string> journal;
    std::vector<fault> faults;
    uint32_t epoch = 1;
    uint32_t interval = 0;      // ServiceAccept's informInterval; 0 = absent
    uint32_t flow_interval = 0; // FlowInformAccept's; 0 = absent
    unsigned drop = 0;
    uint32_t delay_ms = 0;
    std::deque<delayed> queue;
    timer delay_timer{};
    bool exit_after_reply = false;
    uint16_t port = 0;
};

state S;
volatile sig_atomic_t stopping = 0;

uint64_t now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

// Journal lines begin with the monotonic clock in milliseconds.
void note(const char *fmt, ...)
{
    char line[1024];
    int n = snprintf(line, sizeof(line), "%llu ", static_cast<unsigned long long>(now_ms()));
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line + n, sizeof(line) - static_cast<size_t>(n), fmt, ap);
    va_end(ap);
    S.journal.emplace_back(line);
    if (log_config.level > 0) fprintf(stderr, "ctlpeer: %s\n", line);
}

std::string hex(ulmex_bytes b)
{
    std::string s;
    char x[3];
    for (uint8_t c : b) {
        snprintf(x, sizeof(x), "%02x", c);
        s += x;
    }
    return s;
}

std::string addr_text(const sockaddr *sa)
{
    char buf[SOCKADDR_FMT_SIZE];
    return sockaddr_format(sa, buf, sizeof(buf), 0);
}

std::string port_text(const ulmex_port_address &a)
{
    char buf[INET6_ADDRSTRLEN];
    int af = a.inet.present == ulmex_inet_type::ip ? AF_INET : AF_INET6;
    inet_ntop(af, a.inet.address.data(), buf, sizeof(buf));
    std::string s = af == AF_INET6 ? std::string("[") + buf + "]" : buf;
    return s + ":" + std::to_string(a.port);
}

session *session_of(dtls_sock *sock)
{
    for (auto &s : S.sessions)
        if (s->sock == sock) return s.get();
    return nullptr;
}

// The newest session: commands go there.
session *current()
{
    return S.sessions.empty() ? nullptr : S.sessions.back().get();
}

// -1: answer normally; -2: stay silent; else the refusal's Status code.
int take_fault(uint8_t type)
{
    for (size_t i = 0; i < S.faults.size(); i++) {
        fault &f = S.faults[i];
        if (f.type != type) continue;
        int code = f.code < 0 ? -2 : f.code;
        if (f.times && --f.times == 0) S.faults.erase(S.faults.begin() + static_cast<long>(i));
        return code;
    }
    return -1;
}

// The library prints the gateway-bound configuration requests as empty
// strings; the journal names every type.
const char *type_name(unsigned type)
{
    switch (type) {
    case ULMEX_DEVICE_CONFIGURE: return "DeviceConfigure";
    case ULMEX_DEVICE_ACTION: return "DeviceAction";
    case ULMEX_RADIO_CONFIGURE: return "RadioConfigure";
    case ULMEX_SERVICE_CONFIGURE: return "ServiceConfigure";
    default: return ulmex_msg_type_name(type);
    }
}

void describe_request(const ulmex_pdu &pdu, uint32_t identity)
{
    uint8_t type = ulmex_pdu_type(pdu);
    const char *name = type_name(type);
    switch (type) {
    case ULMEX_SERVICE_REGISTER: {
        auto &r = std::get<ULMEX_SERVICE_REGISTER>(pdu);
        note("request %s id=%08x service=%s session=%u version=%.*s ess=%zu", name, identity,
             hex(r.serviceId).c_str(), r.sessionId, static_cast<int>(r.versionId.size()),
             r.versionId.data(), r.essTemplate.size());
        break;
    }
    case ULMEX_SERVICE_INFORM: {
        auto &r = std::get<ULMEX_SERVICE_INFORM>(pdu);
        std::string ports;
        for (const ulmex_port &p : r.portTable)
            ports += (ports.empty() ? "" : ",") + port_text(p.address) + "/" + std::to_string(p.load);
        note("request %s id=%08x service=%s session=%u ports=%s", name, identity,
             hex(r.serviceId).c_str(), r.sessionId, ports.empty() ? "-" : ports.c_str());
        break;
    }
    case ULMEX_SERVICE_UNREGISTER: {
        auto &r = std::get<ULMEX_SERVICE_UNREGISTER>(pdu);
        note("request %s id=%08x service=%s session=%u", name, identity, hex(r.serviceId).c_str(),
             r.sessionId);
        break;
    }
    case ULMEX_FLOW_SERVICE_INFORM: {
        auto &r = std::get<ULMEX_FLOW_SERVICE_INFORM>(pdu);
        note("request %s id=%08x client=%s bss=%s session=%u event=%u", name, identity,
             hex(r.clientId).c_str(), hex(r.bssId).c_str(), r.sessionId,
             static_cast<unsigned>(r.flowEvent));
        break;
    }
    default:
        note("request %s id=%08x", name, identity);
        break;
    }
}

void request_cb(ulmex_link *link, const ulmex_pdu *pdu, uint32_t identity)
{
    uint8_t type = ulmex_pdu_type(*pdu);
    describe_request(*pdu, identity);
    int code = take_fault(type);
    if (code == -2) return;
    ulmex_pdu answer;
    if (code >= 0) {
        answer = ulmex_make_pdu<ULMEX_STATUS>(ulmex_status{static_cast<ulmex_status_code>(code)});
    } else if (type == ULMEX_SERVICE_REGISTER) {
        static uint8_t loopback[4] = {127, 0, 0, 1};
        ulmex_service_accept a;
        a.controlPort.inet.present = ulmex_inet_type::ip;
        a.controlPort.inet.address = ulmex_bytes(loopback, 4);
        a.controlPort.port = S.port ? S.port : 1;
        a.epochId = S.epoch;
        if (S.interval) a.informInterval = S.interval;
        answer = ulmex_make_pdu<ULMEX_SERVICE_ACCEPT>(a);
    } else if (type == ULMEX_FLOW_SERVICE_INFORM) {
        ulmex_flow_inform_accept a;
        if (S.flow_interval) a.informInterval = S.flow_interval;
        answer = ulmex_make_pdu<ULMEX_FLOW_INFORM_ACCEPT>(a);
    } else if (type == ULMEX_SERVICE_INFORM || type == ULMEX_SERVICE_UNREGISTER) {
        answer = ulmex_make_pdu<ULMEX_STATUS>(ulmex_status{ulmex_status_code::success});
    } else {
        answer = ulmex_make_pdu<ULMEX_STATUS>(ulmex_status{ulmex_status_code::failure});
    }
    ulmex_response(link, answer, identity);
}

void response_cb(ulmex_link *, const ulmex_pdu *pdu, uint8_t request_type, void *)
{
    uint8_t type = ulmex_pdu_type(*pdu);
    if (type == ULMEX_STATUS)
        note("answer %s to %s status=%u", type_name(type),
             type_name(request_type),
             static_cast<unsigned>(std::get<ULMEX_STATUS>(*pdu).statusCode));
    else
        note("answer %s to %s", type_name(type), type_name(request_type));
}

void failure_cb(ulmex_link *, uint8_t request_type, void *)
{
    note("failed %s", type_name(request_type));
}

void link_send_cb(ulmex_link *link, packet *p)
{
    session *s = container_of(link, &session::link);
    if (s->sock) dtls_send(s->sock, p);
}

void link_timer_start(ulmex_ops *, timer *t, uint32_t ms, timer_fn cb)
{
    schedule_timer(S.sched, t, ms, cb);
}

void link_timer_stop(ulmex_ops *, timer *t)
{
    schedule_cancel(S.sched, t);
}

constexpr ulmex_ops link_ops = {
    .request_cb = request_cb,
    .response_cb = response_cb,
    .failure_cb = failure_cb,
    .cancel_cb = nullptr,
    .send_cb = link_send_cb,
    .timer_start_cb = link_timer_start,
    .timer_stop_cb = link_timer_stop,
};

void accept_cb(void *, dtls_sock *sock)
{
    auto s = std::make_unique<session>();
    s->sock = sock;
    s->peer = addr_text(dtls_sock_peer(sock));
    ulmex_ops_init(&s->ops, &link_ops, S.pool);
    if (ulmex_open(&s->ops, &s->link, nullptr) < 0) {
        dtls_close(sock);
        return;
    }
    ulmex_established(&s->link, nullptr);
    note("accepted %s %s", s->peer.c_str(), dtls_sock_cipher(sock));
    S.sessions.push_back(std::move(s));
}

void drop_session(dtls_sock *sock)
{
    for (size_t i = 0; i < S.sessions.size(); i++) {
        session *s = S.sessions[i].get();
        if (s->sock != sock) continue;
        s->sock = nullptr;
        ulmex_close(&s->link);
        S.sessions.erase(S.sessions.begin() + static_cast<long>(i));
        return;
    }
}

void recv_cb(void *, dtls_sock *sock, packet *p)
{
    if (session *s = session_of(sock)) ulmex_handle_response(&s->link, p);
}

int send_cb(void *, packet *p, const sockaddr *peer)
{
    int fd = S.fds.empty() ? -1 : S.fds[0];
    for (auto &r : S.routes)
        if (r.first.sa.sa_family == peer->sa_family && sockaddr_compare(&r.first.sa, peer) == 0)
            fd = r.second;
    return static_cast<int>(sendto(fd, p->data, p->length, 0, peer, sockaddr_len(peer)));
}

void close_cb(void *, dtls_sock *sock, int alert)
{
    note("closed %s %d", addr_text(dtls_sock_peer(sock)).c_str(), alert);
    drop_session(sock);
}

void alert_cb(void *, dtls_sock *sock, int alert)
{
    note("alert %s %d", addr_text(dtls_sock_peer(sock)).c_str(), alert);
}

void timer_start_cb(void *, timer *t, uint32_t ms, timer_fn cb)
{
    schedule_timer(S.sched, t, ms, cb);
}

void timer_stop_cb(void *, timer *t)
{
    schedule_cancel(S.sched, t);
}

void remember_route(const dtls_addr &from, int fd)
{
    for (auto &r : S.routes)
        if (r.first.sa.sa_family == from.sa.sa_family && sockaddr_compare(&r.first.sa, &from.sa) == 0) {
            r.second = fd;
            return;
        }
    S.routes.emplace_back(from, fd);
}

void deliver(const uint8_t *data, size_t n, const dtls_addr &from, int fd)
{
    // A ClientHello without a cookie starts a handshake: the retry tests time these.
    enum : size_t { SESSION_ID = 13 + 12 + 2 + 32 };
    if (n > SESSION_ID + 1 && data[0] == 22 && data[3] == 0 && data[4] == 0 && data[13] == 1) {
        size_t cookie = SESSION_ID + 1 + data[SESSION_ID];
        if (cookie < n && data[cookie] == 0) note("hello %s", addr_text(&from.sa).c_str());
    }
    remember_route(from, fd);
    packet *p = packet_from_bytes(S.pool, data, n);
    if (!p) return;
    dtls_recv(S.ctx, p, &from.sa);
    packet_release(p);
}

void delay_timer_cb(timer *)
{
    uint64_t now = now_ms();
    while (!S.queue.empty() && S.queue.front().due <= now) {
        delayed d = std::move(S.queue.front());
        S.queue.pop_front();
        deliver(d.bytes.data(), d.bytes.size(), d.from, d.fd);
    }
    if (!S.queue.empty())
        schedule_timer(S.sched, &S.delay_timer, static_cast<uint32_t>(S.queue.front().due - now),
                       delay_timer_cb);
}

void on_datagram(void *, int fd)
{
    for (;;) {
        static uint8_t buf[65536];
        dtls_addr from{};
        socklen_t len = sizeof(from);
        ssize_t n = recvfrom(fd, buf, sizeof(buf), MSG_DONTWAIT, &from.sa, &len);
        if (n < 0) return;
        if (S.drop) {
            S.drop--;
            note("dropped %s %zd", addr_text(&from.sa).c_str(), n);
            continue;
        }
        if (S.delay_ms) {
            S.queue.push_back({now_ms() + S.delay_ms, std::vector<uint8_t>(buf, buf + n), from, fd});
            if (!timer_ispending(&S.delay_timer))
                schedule_timer(S.sched, &S.delay_timer, S.delay_ms, delay_timer_cb);
            continue;
        }
        deliver(buf, static_cast<size_t>(n), from, fd);
    }
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool parse_hex(const std::string &text, std::vector<uint8_t> *out, size_t want)
{
    std::string t;
    for (char c : text)
        if (c != ':' && c != '-') t += c;
    if (t.size() != 2 * want) return false;
    out->clear();
    for (size_t i = 0; i < want; i++) {
        int hi = hex_value(t[2 * i]), lo = hex_value(t[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

uint8_t type_of(const std::string &name)
{
    for (unsigned t = 1; t <= ULMEX_FLOW_INFORM_ACCEPT; t++)
        if (name == type_name(t)) return static_cast<uint8_t>(t);
    return 0;
}

std::string fingerprint_text()
{
    uint8_t fp[RSA_FINGERPRINT_LEN];
    if (!S.key || rsa_key_fingerprint(S.key, fp) < 0) return "none";
    return hex(ulmex_bytes(fp, sizeof(fp)));
}

bool load_key(const char *path)
{
    rsa_key *key = key_load_private(path);
    if (!key || dtls_set_server_key(S.ctx, key) < 0) {
        rsa_free(key);
        return false;
    }
    rsa_free(S.key);
    S.key = key;
    return true;
}

// Holds the byte strings of a request being built until it is encoded.
struct request_bytes {
    std::vector<uint8_t> a, b, c, d, e, f;
};

std::string send_request(const ulmex_pdu &pdu)
{
    session *s = current();
    if (!s) return "error: no session\n";
    if (ulmex_request(&s->link, pdu, nullptr, nullptr) < 0) return "error: not sent\n";
    note("sent %s", type_name(ulmex_pdu_type(pdu)));
    return "ok\n";
}

// install BSSID CLIENT UUID SESSION ADDR PORT TIMEOUT [RADIO]
std::string cmd_install(std::istringstream &in)
{
    std::string bss, client, uuid, addr, radio;
    uint32_t sid = 0, port = 0, timeout = 0;
    in >> bss >> client >> uuid >> sid >> addr >> port >> timeout >> radio;
    request_bytes r;
    if (!parse_hex(bss, &r.a, 6) || !parse_hex(client, &r.b, 6) || !parse_hex(uuid, &r.c, 16) ||
        !port || !timeout)
        return "error: usage\n";
    if (radio.empty() || !parse_hex(radio, &r.d, 6)) r.d = r.a;
    r.e.assign(32, 0x5a);
    r.f.resize(16);
    ulmex_flow_install fi;
    fi.radioId = r.d;
    fi.bssId = r.a;
    fi.clientId = r.b;
    fi.serviceId = r.c;
    fi.sessionId = sid;
    fi.sessionKey = r.e;
    if (inet_pton(AF_INET, addr.c_str(), r.f.data()) == 1) {
        fi.dataPort.inet.present = ulmex_inet_type::ip;
        fi.dataPort.inet.address = ulmex_bytes(r.f.data(), 4);
    } else if (inet_pton(AF_INET6, addr.c_str(), r.f.data()) == 1) {
        fi.dataPort.inet.present = ulmex_inet_type::ipv6;
        fi.dataPort.inet.address = ulmex_bytes(r.f.data(), 16);
    } else {
        return "error: usage\n";
    }
    fi.dataPort.port = static_cast<uint16_t>(port);
    fi.timeout = static_cast<uint16_t>(timeout);
    fi.keepalive = 30;
    return send_request(ulmex_make_pdu<ULMEX_FLOW_INSTALL>(fi));
}

std::string command(const std::string &line)
{
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    if (verb == "journal") {
        std::string out;
        for (auto &j : S.journal)
            out += j + "\n";
        return out;
    }
    if (verb == "clear") {
        S.journal.clear();
        return "ok\n";
    }
    if (verb == "state")
        return "sessions=" + std::to_string(S.sessions.size()) + " port=" + std::to_string(S.port) + "\n";
    if (verb == "fingerprint") return fingerprint_text() + "\n";
    if (verb == "refuse" || verb == "silent") {
        std::string name;
        int code = -1;
        unsigned times = 1;
        in >> name;
        if (verb == "refuse") in >> code;
        if (in >> times, !in && !in.eof()) return "error: usage\n";
        uint8_t type = type_of(name);
        if (!type || (verb == "refuse" && (code < 1 || code > 5))) return "error: usage\n";
        S.faults.push_back({type, verb == "silent" ? -1 : code, times});
        return "ok\n";
    }
    if (verb == "faults") {
        S.faults.clear();
        return "ok\n";
    }
    if (verb == "drop") {
        in >> S.drop;
        return "ok\n";
    }
    if (verb == "delay") {
        in >> S.delay_ms;
        return "ok\n";
    }
    if (verb == "epoch" || verb == "interval" || verb == "flow-interval") {
        uint32_t v = 0;
        if (!(in >> v)) return "error: usage\n";
        (verb == "epoch" ? S.epoch : verb == "interval" ? S.interval : S.flow_interval) = v;
        return "ok\n";
    }
    if (verb == "key") {
        std::string path;
        in >> path;
        if (!load_key(path.c_str())) return "error: cannot load key\n";
        return fingerprint_text() + "\n";
    }
    if (verb == "close") {
        // Each close ends the session through its own close-notify.
        while (session *s = current()) {
            dtls_sock *sock = s->sock;
            note("closing %s", s->peer.c_str());
            drop_session(sock);
            dtls_close(sock);
        }
        return "ok\n";
    }
    if (verb == "die") {
        S.exit_after_reply = true;
        return "ok\n";
    }
    if (verb == "install") return cmd_install(in);
    if (verb == "remove") {
        std::string bss, client;
        uint32_t sid = 0;
        in >> bss >> client >> sid;
        request_bytes r;
        if (!parse_hex(bss, &r.a, 6) || !parse_hex(client, &r.b, 6)) return "error: usage\n";
        return send_request(ulmex_make_pdu<ULMEX_FLOW_REMOVE>(ulmex_flow_remove{r.a, r.b, sid}));
    }
    if (verb == "configure") {
        std::string uuid;
        uint32_t epoch = 0, interval = 0;
        in >> uuid >> epoch;
        bool has_interval = static_cast<bool>(in >> interval);
        request_bytes r;
        if (!parse_hex(uuid, &r.a, 16)) return "error: usage\n";
        ulmex_service_configure sc;
        sc.serviceId = r.a;
        sc.epochId = epoch;
        if (has_interval) sc.informInterval = interval;
        return send_request(ulmex_make_pdu<ULMEX_SERVICE_CONFIGURE>(sc));
    }
    return "error: unknown command\n";
}

int control_request(void *, uint8_t *payload, size_t len, size_t cap, int trusted)
{
    if (!trusted) return -1;
    std::string line(reinterpret_cast<const char *>(payload), len);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\0'))
        line.pop_back();
    std::string out = command(line);
    if (out.size() > cap) return static_cast<int>(out.size());
    memcpy(payload, out.data(), out.size());
    return static_cast<int>(out.size());
}

void control_cb(void *, int)
{
    userver_process(S.control);
    if (S.exit_after_reply) _exit(3); // as a crash would: no goodbye to the gateways
}

// "ADDR:PORT", "[ADDR]:PORT" or "ADDR".
bool parse_listen(const std::string &arg, sockaddr_storage *out, uint16_t default_port)
{
    std::string host = arg, port;
    size_t close = arg.find(']');
    size_t colon = arg.rfind(':');
    if (arg.size() && arg[0] == '[') {
        host = arg.substr(1, close - 1);
        if (close + 1 < arg.size() && arg[close + 1] == ':') port = arg.substr(close + 2);
    } else if (colon != std::string::npos && arg.find(':') == colon) {
        host = arg.substr(0, colon);
        port = arg.substr(colon + 1);
    }
    addrinfo hints{}, *res = nullptr;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST;
    std::string p = port.empty() ? std::to_string(default_port) : port;
    if (getaddrinfo(host.c_str(), p.c_str(), &hints, &res) != 0) return false;
    memcpy(out, res->ai_addr, res->ai_addrlen);
    freeaddrinfo(res);
    return true;
}

int usage()
{
    fprintf(stderr, "usage: ctlpeer --key FILE -l ADDR[:PORT]... [--control PREFIX] [-d LEVEL]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    enum { OPT_KEY = 0x100, OPT_CONTROL };
    static const option options[] = {
        {"listen", required_argument, nullptr, 'l'},
        {"key", required_argument, nullptr, OPT_KEY},
        {"control", required_argument, nullptr, OPT_CONTROL},
        {"debug", required_argument, nullptr, 'd'},
        {nullptr, 0, nullptr, 0},
    };
    std::vector<std::string> listens;
    const char *key_path = nullptr, *control = nullptr;
    int debug = -3;
    for (int c; (c = getopt_long(argc, argv, "l:d:", options, nullptr)) != -1;) {
        switch (c) {
        case 'l': listens.emplace_back(optarg); break;
        case OPT_KEY: key_path = optarg; break;
        case OPT_CONTROL: control = optarg; break;
        case 'd': debug = atoi(optarg); break;
        default: return usage();
        }
    }
    if (listens.empty() || !key_path || optind < argc) return usage();
    if (debug > -3) log_open(nullptr, debug, LOG_COMP_ALL, LOG_FMT_TIME, nullptr);
    signal(SIGPIPE, SIG_IGN);
    dtls_init();
    S.sched = schedule_create();
    packet_pool_config pc = {4192, 80, 32, 512, 512, 0};
    S.pool = packet_pool_create(&pc);
    if (!S.sched || !S.pool) return 1;
    dtls_ops ops = {
        .accept_cb = accept_cb,
        .connect_cb = nullptr,
        .recv_cb = recv_cb,
        .send_cb = send_cb,
        .close_cb = close_cb,
        .alert_cb = alert_cb,
        .psk_cb = nullptr,
        .timer_start_cb = timer_start_cb,
        .timer_stop_cb = timer_stop_cb,
    };
    S.ctx = dtls_ctx_create(&ops, nullptr, 0, 1500, nullptr, S.pool);
    if (!S.ctx || !load_key(key_path)) return 1;
    for (const std::string &l : listens) {
        sockaddr_storage addr{};
        if (!parse_listen(l, &addr, S.port)) {
            fprintf(stderr, "ctlpeer: cannot parse %s\n", l.c_str());
            return 2;
        }
        int fd = socket(addr.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr *sa = reinterpret_cast<sockaddr *>(&addr);
        if (fd < 0 || bind(fd, sa, sockaddr_len(sa)) < 0) {
            fprintf(stderr, "ctlpeer: bind %s: %s\n", l.c_str(), strerror(errno));
            return 1;
        }
        dtls_addr bound{};
        socklen_t len = sizeof(bound);
        getsockname(fd, &bound.sa, &len);
        if (!S.port)
            S.port = ntohs(bound.sa.sa_family == AF_INET ? bound.in.sin_port : bound.in6.sin6_port);
        S.fds.push_back(fd);
        schedule_add_fd(S.sched, fd, on_datagram, nullptr);
    }
    if (control) {
        userver_ops control_ops = {.request = control_request,
                                   .message = nullptr,
                                   .subscribe = nullptr,
                                   .health = nullptr};
        S.control = userver_listen(control, static_cast<unsigned>(getpid()), 0, &control_ops, nullptr);
        if (!S.control) {
            fprintf(stderr, "ctlpeer: cannot bind %s.%d\n", control, static_cast<int>(getpid()));
            return 1;
        }
        schedule_add_fd(S.sched, userver_fd(S.control), control_cb, nullptr);
    }
    printf("listening %u\nfingerprint %s\n", unsigned{S.port}, fingerprint_text().c_str());
    fflush(stdout);
    // SIGTERM and SIGINT end the run inside its wait.
    struct sigaction sa {};
    sa.sa_handler = [](int) {
        stopping = 1;
        schedule_stop(S.sched);
    };
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    while (!stopping)
        schedule_run(S.sched, 0);
    while (!S.sessions.empty()) {
        dtls_sock *sock = S.sessions.back()->sock;
        drop_session(sock);
        dtls_close(sock);
    }
    if (S.control) userver_close(S.control);
    dtls_ctx_destroy(S.ctx);
    rsa_free(S.key);
    for (int fd : S.fds)
        close(fd);
    schedule_destroy(S.sched);
    mempool_unref(S.pool);
    return 0;
}
