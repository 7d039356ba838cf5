#include "gateway/ugwd_main.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <ifaddrs.h>
#include <linux/ethtool.h>
#include <net/if.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include "common/log.h"
#include "common/netlink.h"
#include "common/strings.h"
#include "common/system.h"
#include "common/userver.h"

const char ugwd_version[] = "3.1.10";

namespace {

const char license_text[] =
    "Copyright the Ulmex Gateway authors. All rights reserved.\n"
    "This software is provided as is, without warranty of any kind, express or\n"
    "implied. Use, copying and distribution are permitted only under the terms\n"
    "of the agreement under which you received it.\n";

enum : int {
    OPT_VERSION = 0x100,
    OPT_FEATURES,
    OPT_LICENSE,
    OPT_BUFFER_SIZE,
    OPT_MEMORY_SIZE,
    OPT_RING_SIZE,
    OPT_DISABLE_XSK,
};

const char short_options[] = "BCS:D:n:i:p:P:W:F:Lxtldh";

const option long_options[] = {
    {"version", no_argument, nullptr, OPT_VERSION},
    {"features", no_argument, nullptr, OPT_FEATURES},
    {"license", no_argument, nullptr, OPT_LICENSE},
    {"daemon", no_argument, nullptr, 'B'},
    {"configure", no_argument, nullptr, 'C'},
    {"interface", required_argument, nullptr, 'i'},
    {"port", required_argument, nullptr, 'p'},
    {"control-sock", required_argument, nullptr, 'S'},
    {"data-plane", required_argument, nullptr, 'D'},
    {"cpu-cores", required_argument, nullptr, 'n'},
    {"pid-file", required_argument, nullptr, 'P'},
    {"lease-file", required_argument, nullptr, 'W'},
    {"log-file", required_argument, nullptr, 'F'},
    {"log-syslog", no_argument, nullptr, 'L'},
    {"log-pid", no_argument, nullptr, 'x'},
    {"log-time", no_argument, nullptr, 't'},
    {"log-line", no_argument, nullptr, 'l'},
    {"buffer-size", required_argument, nullptr, OPT_BUFFER_SIZE},
    {"memory-size", required_argument, nullptr, OPT_MEMORY_SIZE},
    {"ring-size", required_argument, nullptr, OPT_RING_SIZE},
    {"disable-xsk", no_argument, nullptr, OPT_DISABLE_XSK},
    {"debug", no_argument, nullptr, 'd'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

char *join_path(const char *dir, const char *name)
{
    size_t n = strlen(dir) + 1 + strlen(name) + 1;
    char *p = static_cast<char *>(malloc(n));
    if (p)
        snprintf(p, n, "%s/%s", dir, name);
    return p;
}

// A whole unsigned number in base 0 and no greater than max; no sign, blank or trailing text.
bool parse_number(const char *text, unsigned long max, unsigned *out)
{
    if (*text < '0' || *text > '9')
        return false;
    char *end;
    errno = 0;
    unsigned long v = strtoul(text, &end, 0);
    if (errno || *end || v > max)
        return false;
    *out = static_cast<unsigned>(v);
    return true;
}

// A size with an optional "B" suffix; below 2^32.
bool parse_size(const char *text, bool bytes, uint64_t *out)
{
    const char *end;
    uint64_t v = string_parse_size(text, &end);
    if (errno || end == text)
        return false;
    if (bytes && (*end == 'B' || *end == 'b'))
        end++;
    if (*end || v >= (1ull << 32))
        return false;
    *out = v;
    return true;
}

bool power_of_two(uint64_t v)
{
    return v && !(v & (v - 1));
}

bool replace_path(char **slot, const char *prog, const char *arg, FILE *err)
{
    char *p = system_abspath(arg);
    if (!p) {
        fprintf(err, "%s: bad path '%s': %s\n", prog, arg, strerror(errno));
        return false;
    }
    free(*slot);
    *slot = p;
    return true;
}

} // namespace

uint64_t ugwd_default_memory(unsigned channels)
{
    // 32 MiB per channel, kept below the option's limit however many channels there are.
    uint64_t m = static_cast<uint64_t>(channels) << 25;
    const uint64_t cap = UGWD_MEMORY_LIMIT - (1ull << 25);
    return m > cap ? cap : m;
}

int ugwd_options_defaults(ugwd_options *o, unsigned channels, unsigned cpus)
{
    *o = ugwd_options{};
    o->port = UGWD_DEFAULT_PORT;
    o->nprocs = cpus ? cpus : 1;
    o->channels = channels ? channels : 1;
    o->buffer_size = UGWD_DEFAULT_BUFFER_SIZE;
    o->memory_size = ugwd_default_memory(o->channels);
    o->ring_size = UGWD_DEFAULT_RING_SIZE;
    o->control_sock = join_path(rundir_run, "ulmex-gatewaysock");
    o->dp_sock_prefix = join_path(rundir_run, "fernrelaysock");
    o->pid_file = join_path(rundir_run, "ulmex-gateway.pid");
    o->lease_file = join_path(rundir_var, "ulmex-gateway.leases");
    if (!o->control_sock || !o->dp_sock_prefix || !o->pid_file || !o->lease_file) {
        ugwd_options_free(o);
        errno = ENOMEM;
        return -1;
    }
    o->dp_program = system_exe_path(getpid(), "fernrelayd");
    o->dp_errno = o->dp_program ? 0 : errno;
    return 0;
}

void ugwd_options_free(ugwd_options *o)
{
    free(o->control_sock);
    free(o->dp_sock_prefix);
    free(o->dp_program);
    free(o->pid_file);
    free(o->lease_file);
    free(o->log_file);
    o->control_sock = o->dp_sock_prefix = o->dp_program = nullptr;
    o->pid_file = o->lease_file = o->log_file = nullptr;
}

void ugwd_usage(FILE *out, const ugwd_options *o)
{
    char memory[8];
    string_format_bytes(ugwd_default_memory(o->channels), 0, memory, sizeof(memory));
    long cpus = system_cpu_count();
    char help[7][320];
    snprintf(help[0], sizeof(help[0]), "Set controller UDP port [%u]", UGWD_DEFAULT_PORT);
    snprintf(help[1], sizeof(help[1]), "Control socket path [%s]", o->control_sock);
    snprintf(help[2], sizeof(help[2]), "Data plane daemon binary [%s]",
             o->dp_program ? o->dp_program : "");
    snprintf(help[3], sizeof(help[3]), "Number CPU cores to use [%ld]", cpus);
    snprintf(help[4], sizeof(help[4]), "Daemon PID lock file [%s]", o->pid_file);
    snprintf(help[5], sizeof(help[5]), "DHCP(v6) lease storage file [%s]", o->lease_file);
    char sizes[3][64];
    snprintf(sizes[0], sizeof(sizes[0]), "Set packet buffer size [%u]", UGWD_DEFAULT_BUFFER_SIZE);
    snprintf(sizes[1], sizeof(sizes[1]), "Set total buffer memory [%sB]", memory);
    snprintf(sizes[2], sizeof(sizes[2]), "Set packet ring size [%u]", UGWD_DEFAULT_RING_SIZE);

    const struct {
        const char *option;
        const char *text;
    } lines[] = {
        {"    --version", "Show software version"},
        {"    --features", "Show software features"},
        {"    --license", "Show software license"},
        {"-B, --daemon", "Run as background daemon"},
        {"-C, --configure", "Start in configure mode"},
        {"-i, --interface=DEV", "Set control plane interface"},
        {"-p, --port=PORT", help[0]},
        {"-S, --control-sock=PATH", help[1]},
        {"-D, --data-plane=PATH", help[2]},
        {"-n, --cpu-cores=NUM", help[3]},
        {"-P, --pid-file=PATH", help[4]},
        {"-W, --lease-file=PATH", help[5]},
        {"-F, --log-file=PATH", "Log to file instead of stderr/syslog"},
        {"-L, --log-syslog", "Log to syslog (default for -B)"},
        {"-x, --log-pid", "Include daemon PID in log messages"},
        {"-t, --log-time", "Include timestamp in log messages"},
        {"-l, --log-line", "Include line number in log messages"},
        {"    --buffer-size=SIZE", sizes[0]},
        {"    --memory-size=SIZE", sizes[1]},
        {"    --ring-size=SIZE", sizes[2]},
        {"    --disable-xsk", "Disable XSK socket forwarding"},
        {"-d, --debug", "Increase logging (-dd more verbose)"},
        {"-h, --help", "Display this help and exit"},
    };
    fprintf(out, "Usage: ulmex-gateway [options...]\n");
    fprintf(out, "Options:\n");
    for (auto &l : lines)
        fprintf(out, "\t%-26s%s\n", l.option, l.text);
    fprintf(out, "Environment:\n");
    fprintf(out, "\t%-11s%-15s%s\n", "TMPDIR", "/tmp", rundir_tmp);
    fprintf(out, "\t%-11s%-15s%s\n", "VARDIR", "/var", rundir_var);
    fprintf(out, "\t%-11s%-15s%s\n", "RUNDIR", "$VARDIR/run", rundir_run);
}

ugwd_parse_result ugwd_options_parse(ugwd_options *o, int argc, char **argv, FILE *out, FILE *err)
{
    const char *prog = argv[0];
    optind = 0; // a full restart, so the parser can run more than once
    opterr = 1;
    int c;
    while ((c = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
        uint64_t size;
        switch (c) {
        case OPT_VERSION:
            fprintf(out, "%s\n", ugwd_version);
            return UGWD_EXIT_OK;
        case OPT_FEATURES:
            fprintf(out, "%s\n", features_text);
            return UGWD_EXIT_OK;
        case OPT_LICENSE:
            fprintf(out, "ulmex-gateway %s\n%s", ugwd_version, license_text);
            return UGWD_EXIT_OK;
        case 'B':
            o->daemon = true;
            break;
        case 'C':
            o->configure = true;
            break;
        case 'i':
            o->ifindex = if_nametoindex(optarg);
            if (!o->ifindex) {
                fprintf(err, "%s: %s: %s\n", prog, optarg, strerror(errno));
                return UGWD_EXIT_FAIL;
            }
            break;
        case 'p':
            if (!parse_number(optarg, 65535, &o->port)) {
                fprintf(err, "%s: invalid controller port '%s'\n", prog, optarg);
                return UGWD_EXIT_FAIL;
            }
            break;
        case 'n':
            if (!parse_number(optarg, UINT_MAX, &o->nprocs) || o->nprocs == 0) {
                fprintf(err, "%s: invalid number of CPU cores '%s'\n", prog, optarg);
                return UGWD_EXIT_FAIL;
            }
            if (o->nprocs > ugwd_max_procs()) {
                fprintf(err, "%s: invalid number of CPU cores '%s' (at most %u)\n", prog, optarg,
                        ugwd_max_procs());
                return UGWD_EXIT_FAIL;
            }
            o->nprocs_given = true;
            break;
        case 'S':
            if (!replace_path(&o->control_sock, prog, optarg, err))
                return UGWD_EXIT_FAIL;
            break;
        case 'D':
            if (!replace_path(&o->dp_program, prog, optarg, err))
                return UGWD_EXIT_FAIL;
            break;
        case 'P':
            if (!replace_path(&o->pid_file, prog, optarg, err))
                return UGWD_EXIT_FAIL;
            break;
        case 'W':
            if (!replace_path(&o->lease_file, prog, optarg, err))
                return UGWD_EXIT_FAIL;
            break;
        case 'F':
            if (!replace_path(&o->log_file, prog, optarg, err))
                return UGWD_EXIT_FAIL;
            break;
        case 'L':
            o->log_syslog = true;
            break;
        case 'x':
            o->log_pid = true;
            break;
        case 't':
            o->log_time = true;
            break;
        case 'l':
            o->log_line = true;
            break;
        case OPT_BUFFER_SIZE:
            if (!parse_size(optarg, true, &size) || size < 512 || !power_of_two(size)) {
                fprintf(err, "%s: invalid value for option '--buffer-size'\n", prog);
                return UGWD_EXIT_FAIL;
            }
            o->buffer_size = static_cast<uint32_t>(size);
            break;
        case OPT_MEMORY_SIZE:
            if (!parse_size(optarg, true, &size) ||
                size < static_cast<uint64_t>(system_page_size()) || size >= UGWD_MEMORY_LIMIT) {
                fprintf(err, "%s: invalid value for option '--memory-size'\n", prog);
                return UGWD_EXIT_FAIL;
            }
            o->memory_size = size;
            break;
        case OPT_RING_SIZE:
            if (!parse_size(optarg, false, &size) || (size && !power_of_two(size))) {
                fprintf(err, "%s: invalid value for option '--ring-size'\n", prog);
                return UGWD_EXIT_FAIL;
            }
            o->ring_size = static_cast<uint32_t>(size);
            break;
        case OPT_DISABLE_XSK:
            o->disable_xsk = true;
            break;
        case 'd':
            o->debug++;
            break;
        case 'h':
            fprintf(out, "Ulmex Gateway control plane daemon\n");
            ugwd_usage(out, o);
            return UGWD_EXIT_OK;
        default: // the parser has said what was wrong
            return UGWD_EXIT_FAIL;
        }
    }
    if (optind < argc) {
        fprintf(err, "%s: unexpected argument '%s'\n", prog, argv[optind]);
        return UGWD_EXIT_FAIL;
    }
    if (!o->nprocs_given && o->nprocs > ugwd_max_procs()) {
        fprintf(err, "%s: warning: %u CPU cores, but data planes on only %u fit the descriptors "
                     "the event loop can watch\n",
                prog, o->nprocs, ugwd_max_procs());
        o->nprocs = ugwd_max_procs();
    }
    o->syslog = o->daemon ? !o->log_file : o->log_syslog;
    return UGWD_RUN;
}

uint8_t ugwd_log_format(const ugwd_options *o)
{
    uint8_t f = 0;
    if (o->log_pid)
        f |= LOG_FMT_PID;
    if (o->log_time)
        f |= LOG_FMT_TIME;
    if (o->log_line)
        f |= LOG_FMT_FILE | LOG_FMT_LINE;
    return f;
}

unsigned ugwd_max_procs()
{
    rlimit rl;
    uint64_t fds = FD_SETSIZE;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < fds)
        fds = rl.rlim_cur;
    // Members take descriptors too: as many as the server allows them.
    uint64_t members = USERVER_MAX_MEMBERS;
    if (fds / 4 < members)
        members = fds / 4;
    uint64_t own = UGWD_FDS_OWN + members;
    return fds > own + UGWD_FDS_PER_PROC ? static_cast<unsigned>((fds - own) / UGWD_FDS_PER_PROC) : 1;
}

unsigned ugwd_nic_channel_count()
{
    ifaddrs *list;
    if (getifaddrs(&list) < 0)
        return 1;
    unsigned best = 1;
    for (ifaddrs *i = list; i; i = i->ifa_next) {
        unsigned index = if_nametoindex(i->ifa_name);
        if (!index)
            continue;
        ethtool_channels ch;
        int n;
        if (ethtool_get_channels(i->ifa_name, &ch) == 0)
            n = static_cast<int>(ch.rx_count + ch.combined_count);
        else
            n = netif_get_rx_queues(index);
        if (n > 0 && static_cast<unsigned>(n) > best)
            best = static_cast<unsigned>(n);
    }
    freeifaddrs(list);
    return best;
}

uint64_t ugwd_child_memory_share(uint64_t buffer_size, uint64_t memory_size, unsigned channels,
                                 unsigned nprocs, unsigned index)
{
    uint64_t k = channels ? channels : 1, n = nprocs ? nprocs : 1;
    uint64_t rest = 0, main = memory_size;
    if (n > k) {
        rest = memory_size / n;
        main = memory_size - rest;
    }
    uint64_t share = index < k ? main / (n < k ? n : k) : rest / (n - k);
    long page = system_page_size();
    uint64_t align = buffer_size > static_cast<uint64_t>(page) ? buffer_size
                                                               : static_cast<uint64_t>(page);
    if (!power_of_two(align))
        return share;
    return (share + align - 1) & ~(align - 1);
}

void ugwd_child_args_build(ugwd_child_args *a, const ugwd_options *o, unsigned index)
{
    size_t n = 0;
    a->argv[n++] = o->dp_program;
    a->argv[n++] = "-S";
    a->argv[n++] = o->dp_sock_prefix;
    if (o->debug) {
        // Four is the most the data plane tells apart.
        unsigned d = o->debug < 4 ? o->debug : 4;
        a->debug[0] = '-';
        memset(a->debug + 1, 'd', d);
        a->debug[d + 1] = '\0';
        a->argv[n++] = a->debug;
    }
    if (o->log_file) {
        a->argv[n++] = "-F";
        a->argv[n++] = o->log_file;
    }
    if (o->syslog)
        a->argv[n++] = "-L";
    if (o->log_pid || o->log_time || o->log_line) {
        char *f = a->flags;
        *f++ = '-';
        if (o->log_pid)
            *f++ = 'x';
        if (o->log_time)
            *f++ = 't';
        if (o->log_line)
            *f++ = 'l';
        *f = '\0';
        a->argv[n++] = a->flags;
    }
    snprintf(a->buffer_size, sizeof(a->buffer_size), "%zu", static_cast<size_t>(o->buffer_size));
    a->argv[n++] = "--buffer-size";
    a->argv[n++] = a->buffer_size;
    uint64_t share =
        ugwd_child_memory_share(o->buffer_size, o->memory_size, o->channels, o->nprocs, index);
    if (share) {
        if (o->ring_size) {
            snprintf(a->ring_size, sizeof(a->ring_size), "%u", o->ring_size);
            a->argv[n++] = "--ring-size";
            a->argv[n++] = a->ring_size;
        }
        string_format_bytes(share, STRING_UNITS_TIGHT, a->memory_size, sizeof(a->memory_size) - 1);
        string_lcat(a->memory_size, "B", sizeof(a->memory_size));
        a->argv[n++] = "--memory-size";
        a->argv[n++] = a->memory_size;
    }
    if (o->nprocs == 1)
        a->argv[n++] = "--disable-fabric";
    if (o->disable_xsk)
        a->argv[n++] = "--disable-xsk";
    a->argv[n] = nullptr;
}
