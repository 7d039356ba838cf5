// `ugw list flows` in its three forms, run as a process against the fake
// management server holding 10^5 flows, each run side by side with its
// anchor in the same iteration:
//   -j      bare transfer of the reply + RapidJSON writing the same document
//   table   bare transfer + fwrite of the same output bytes
//   -s      bare transfer + fwrite of the same output bytes
// The anchors open a connection each time, as a fresh ugw does. Counters:
// ugw_over_<anchor>, ugw's time over the anchor's (the median, and _min and
// _max over the iterations; the aim is at most 1.2 for -j, 1.5 otherwise),
// and peak_rss_over_reply, ugw's peak resident size (wait4) over the reply's
// size (aim: at most 1.5). Python's json.dumps of the same rows is timed
// beside for reference.
//
// The anchor's document is written by RapidJSON from the rows parsed out of
// ugw's own output once, so its bytes are checked equal to ugw's; it does
// no conversion of the binary rows, which makes it the stricter side.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/filewritestream.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "common/ctl_msg.h"
#include "common/uclient.h"

namespace
{

constexpr uint32_t FLOWS = 100000;
constexpr size_t REPLY = 16 + static_cast<size_t>(FLOWS) * CTL_REC_FLOW;

using clock_type = std::chrono::steady_clock;

std::string bin_dir; // the build tree's top
std::string run_dir;
std::string sock_path;
pid_t server_pid = -1;
FILE *server_in = nullptr;

// ugw is started by a launcher forked before this process grew: a child's
// peak resident size (wait4) counts the memory of the process it was
// forked from, so ugw must come from a small one.
int launch_req = -1, launch_ack = -1;

[[noreturn]] void launcher(int req, int ack)
{
    char line[8192];
    FILE *in = fdopen(req, "r");
    while (fgets(line, sizeof line, in)) {
        line[strcspn(line, "\n")] = 0;
        // Fields: RUNDIR, output path, then the arguments, split by \x1f.
        std::vector<char *> fields;
        for (char *p = strtok(line, "\x1f"); p; p = strtok(nullptr, "\x1f"))
            fields.push_back(p);
        auto start = clock_type::now();
        pid_t pid = fork();
        if (pid == 0) {
            int fd = open(fields[1], O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd < 0) _exit(126);
            dup2(fd, 1);
            std::vector<char *> av(fields.begin() + 2, fields.end());
            av.push_back(nullptr);
            std::string env = std::string("RUNDIR=") + fields[0];
            char *envp[] = {env.data(), nullptr};
            execve(av[0], av.data(), envp);
            _exit(127);
        }
        int st = 0;
        rusage ru{};
        wait4(pid, &st, 0, &ru);
        double secs = std::chrono::duration<double>(clock_type::now() - start).count();
        char out[128];
        int n = snprintf(out, sizeof out, "%.9f %ld %d\n", secs, ru.ru_maxrss,
                         WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st));
        if (write(ack, out, static_cast<size_t>(n)) != n) _exit(1);
    }
    _exit(0);
}

void start_launcher()
{
    int req[2], ack[2];
    if (pipe(req) || pipe(ack)) return;
    if (fork() == 0) {
        close(req[1]);
        close(ack[0]);
        launcher(req[0], ack[1]);
    }
    close(req[0]);
    close(ack[1]);
    launch_req = req[1];
    launch_ack = ack[0];
}

struct run_result {
    double seconds;
    double peak_bytes;
    int status;
};

// Runs ugw with stdout to the file; its wall time and peak resident size.
run_result run_ugw(const std::vector<std::string> &args, const char *out_path)
{
    std::string line = run_dir + "\x1f" + out_path + "\x1f" + bin_dir + "/ugw";
    for (const auto &a : args)
        line += "\x1f" + a;
    line += "\n";
    if (write(launch_req, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        return {0, 0, -1};
    char ack[128];
    size_t got = 0;
    while (got < sizeof ack - 1) {
        ssize_t n = read(launch_ack, ack + got, 1);
        if (n <= 0) return {0, 0, -1};
        if (ack[got++] == '\n') break;
    }
    ack[got] = 0;
    double secs = 0;
    long kib = 0;
    int status = -1;
    if (sscanf(ack, "%lf %ld %d", &secs, &kib, &status) != 3) return {0, 0, -1};
    return {secs, static_cast<double>(kib) * 1024.0, status};
}

std::string slurp(const std::string &path)
{
    std::string s;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return s;
    char buf[1 << 16];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    fclose(f);
    return s;
}

// The bare exchange: one connection, the Dump-Flows request, the whole reply.
size_t bare_transfer()
{
    std::vector<uint8_t> req(ctl_msg_catalogue[CTL_DUMP_FLOWS].size, 0);
    ctl_put32(req.data(), 0, CTL_DUMP_FLOWS);
    uclient *c = uclient_open(sock_path.c_str());
    if (!c) abort();
    const uint8_t *reply;
    ssize_t n = uclient_request(c, req.data(), req.size(), &reply);
    if (n != static_cast<ssize_t>(REPLY) || ctl_get32(reply, 8) != FLOWS) abort();
    uclient_close(c);
    return static_cast<size_t>(n);
}

// What the anchors write, prepared once.
struct expected {
    std::string json, table, brief;
    rapidjson::Document rows;
};
expected *want;

bool setup()
{
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return false;
    exe[n] = 0;
    std::string dir = exe;
    dir = dir.substr(0, dir.rfind('/')); // bench/
    bin_dir = dir.substr(0, dir.rfind('/'));
    char t[] = "/tmp/ugw-bench-list-XXXXXX";
    if (!mkdtemp(t)) return false;
    run_dir = t;

    int in[2], out[2];
    if (pipe(in) || pipe(out)) return false;
    server_pid = fork();
    if (server_pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[1]);
        close(out[0]);
        std::string server = bin_dir + "/tools/fakegwd/fakegwd";
        execl(server.c_str(), server.c_str(), run_dir.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    server_in = fdopen(in[1], "w");
    FILE *server_out = fdopen(out[0], "r");
    char line[4096];
    if (!fgets(line, sizeof line, server_out)) return false;
    sock_path = line;
    sock_path.pop_back();
    fprintf(server_in, "flows %u\n", FLOWS);
    fflush(server_in);
    if (!fgets(line, sizeof line, server_out) || strcmp(line, "ok\n") != 0) return false;

    want = new expected;
    const std::string file = run_dir + "/out";
    struct {
        std::vector<std::string> args;
        std::string *to;
    } forms[] = {{{"-j", "list", "flows"}, &want->json},
                 {{"list", "flows"}, &want->table},
                 {{"-s", "list", "flows"}, &want->brief}};
    for (auto &f : forms) {
        if (run_ugw(f.args, file.c_str()).status != 0) return false;
        *f.to = slurp(file);
    }
    // The anchor's document must be ugw's, byte for byte (ugw adds a line feed).
    want->rows.Parse(want->json.c_str());
    if (want->rows.HasParseError() || !want->rows.IsArray() || want->rows.Size() != FLOWS)
        return false;
    rapidjson::StringBuffer sb;
    rapidjson::Writer<rapidjson::StringBuffer> w(sb);
    want->rows.Accept(w);
    if (std::string(sb.GetString(), sb.GetSize()) + "\n" != want->json) {
        fprintf(stderr, "RapidJSON's document differs from ugw's\n");
        return false;
    }
    return true;
}

void teardown()
{
    if (launch_req >= 0) close(launch_req); // the launcher ends with its input
    if (server_in) fclose(server_in);       // fakegwd ends with its input
    if (server_pid > 0) waitpid(server_pid, nullptr, 0);
    if (!run_dir.empty()) std::system(("rm -rf '" + run_dir + "'").c_str());
    delete want;
    want = nullptr;
}

double anchor_json()
{
    auto start = clock_type::now();
    bare_transfer();
    FILE *f = fopen("/dev/null", "w");
    char buf[1 << 16];
    rapidjson::FileWriteStream os(f, buf, sizeof buf);
    rapidjson::Writer<rapidjson::FileWriteStream> w(os);
    want->rows.Accept(w);
    os.Put('\n');
    os.Flush();
    fclose(f);
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

double anchor_fwrite(const std::string &bytes)
{
    auto start = clock_type::now();
    bare_transfer();
    FILE *f = fopen("/dev/null", "w");
    if (fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) abort();
    fclose(f);
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

void report(benchmark::State &state, std::vector<double> &ratios, double peak, const char *name)
{
    std::sort(ratios.begin(), ratios.end());
    state.counters[std::string("ugw_over_") + name] = ratios[ratios.size() / 2];
    state.counters[std::string("ugw_over_") + name + "_min"] = ratios.front();
    state.counters[std::string("ugw_over_") + name + "_max"] = ratios.back();
    state.counters["peak_rss_over_reply"] = peak / static_cast<double>(REPLY);
    state.counters["reply_MB"] = static_cast<double>(REPLY) / 1e6;
}

void BM_UgwListFlows(benchmark::State &state, std::vector<std::string> args, int form)
{
    if (!want) {
        state.SkipWithError("the fake server or ugw did not start");
        return;
    }
    std::vector<double> ratios;
    double peak = 0;
    for (auto _ : state) {
        run_result r = run_ugw(args, "/dev/null");
        if (r.status != 0) {
            state.SkipWithError("ugw failed");
            return;
        }
        double anchor = form == 0   ? anchor_json()
                        : form == 1 ? anchor_fwrite(want->table)
                                    : anchor_fwrite(want->brief);
        ratios.push_back(r.seconds / anchor);
        peak = std::max(peak, r.peak_bytes);
        state.SetIterationTime(r.seconds);
    }
    report(state, ratios, peak, form == 0 ? "bare_rapidjson" : "bare_fwrite");
}

// Python's json.dumps of the same rows, its own timing of the dump alone.
void BM_PythonJsonDumps(benchmark::State &state)
{
    if (!want) {
        state.SkipWithError("the fake server or ugw did not start");
        return;
    }
    const std::string file = run_dir + "/rows.json";
    FILE *f = fopen(file.c_str(), "w");
    fwrite(want->json.data(), 1, want->json.size(), f);
    fclose(f);
    const std::string cmd = "python3 -c 'import json,sys,time\nrows=json.load(open(sys.argv[1]))\n"
                            "t=time.perf_counter()\ns=json.dumps(rows,separators=(\",\",\":\"))\n"
                            "print(time.perf_counter()-t, len(s))' " +
                            file;
    for (auto _ : state) {
        FILE *p = popen(cmd.c_str(), "r");
        double s = 0;
        size_t len = 0;
        if (!p || fscanf(p, "%lf %zu", &s, &len) != 2) {
            if (p) pclose(p);
            state.SkipWithError("python3 did not answer");
            return;
        }
        pclose(p);
        if (len + 1 != want->json.size()) {
            state.SkipWithError("python3 wrote another document");
            return;
        }
        state.SetIterationTime(s);
    }
}

} // namespace

BENCHMARK_CAPTURE(BM_UgwListFlows, json, std::vector<std::string>{"-j", "list", "flows"}, 0)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(7);
BENCHMARK_CAPTURE(BM_UgwListFlows, table, std::vector<std::string>{"list", "flows"}, 1)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(7);
BENCHMARK_CAPTURE(BM_UgwListFlows, abbreviated, std::vector<std::string>{"-s", "list", "flows"}, 2)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(7);
BENCHMARK(BM_PythonJsonDumps)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

int main(int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN);
    start_launcher();
    if (!setup()) {
        delete want;
        want = nullptr;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    teardown();
    return 0;
}
