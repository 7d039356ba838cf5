#include "utility/ugw_main.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <string>
#include <string_view>
#include <sys/un.h>
#include <unistd.h>

#include "common/log.h"
#include "common/system.h"
#include "utility/gwc.h"
#include "utility/ugw_dump.h"
#include "utility/ugw_events.h"
#include "utility/ugw_exec.h"
#include "utility/ugw_parse.h"

namespace
{

constexpr size_t LINE_MAX_BYTES = 4096;
constexpr int WORDS_MAX = 31;

// ---- discovery ----

bool header_matches(const char *line)
{
    static const char *const names[] = {"Num",  "RefCount", "Protocol", "Flags",
                                        "Type", "St",       "Inode",    "Path"};
    const char *p = line;
    for (const char *name : names) {
        p += strspn(p, " \t");
        size_t n = strcspn(p, " \t\r\n");
        if (n != strlen(name) || memcmp(p, name, n) != 0) return false;
        p += n;
    }
    return p[strspn(p, " \t\r\n")] == '\0';
}

// The path column of a table line: after seven blank-separated fields.
std::string_view path_of(const char *line)
{
    const char *p = line;
    for (int f = 0; f < 7; f++) {
        p += strspn(p, " \t");
        size_t n = strcspn(p, " \t\n");
        if (!n) return {};
        p += n;
    }
    p += strspn(p, " \t");
    size_t n = strcspn(p, "\n");
    return {p, n};
}

// A decimal pid of at most what int holds, nothing else.
int pid_of(std::string_view text)
{
    if (text.empty() || text.size() > 10) return -1;
    long v = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return -1;
        v = v * 10 + (ch - '0');
    }
    return v > 0 && v <= INT_MAX ? static_cast<int>(v) : -1;
}

// ---- help ----

const char *const display_forms[] = {
    "list modules",
    "show log",
    "list controls",
    "show control [<host>]",
    "list ports",
    "show port <ifname>",
    "list protos",
    "show port <ifname> proto <proto> [udp <port>]",
    "list nases",
    "show nas <name>",
    "list nas <name> auth|acct servers",
    "show nas <name> auth|acct server <addr>[:<port|proto>]",
    "list nas <name> filters",
    "show nas <name> filter <name>",
    "list hostsets",
    "show hostset <id>",
    "list services",
    "show service <uuid>",
    "list [service <uuid>] vaps",
    "show service <uuid> vap <bssid>",
    "list [service <uuid>] tunnels",
    "show service <uuid> tunnel <addr>[:<port|proto>]",
    "list [service <uuid>] [vap <bssid>|tunnel <addr>[:<port|proto>]|client <mac>] flows",
    "show vap <bssid> client <mac> flow",
    "show tunnel <addr>[:<port|proto>] client <mac> flow",
    "list nas <name> access",
    "list service <uuid> access",
    "show service <uuid> client <mac> access",
    "list service <uuid> [client <mac>] pmks",
    "show service <uuid> pmk <pmkid>",
    "list service <uuid> [client <mac>] ft auths",
    "show service <uuid> client <mac> ft auth <bssid>",
    "list [service <uuid>] [client <mac>] leases|leases6|groups|groups6",
    "show service <uuid> client <mac> lease <ip|ip6>",
    "list memory",
    "show memory <name>",
    "list memory <name> allocations",
    "list fabric",
    "show fabric <num>",
    "list sockets",
    "show socket <ifname>",
    "list fdbs",
    "list fdb <ifname> clients",
    "show fdb <ifname> client <mac>",
    "list mdbs",
    "list mdb <ifname> groups",
    "show mdb <ifname> group <mac>",
};
const char *const administration_forms[] = {
    "configure",
    "commit",
    "check",
    "clear nas <name> cache",
    "clear service <uuid> [client <mac>] cache",
    "dump leases",
    "dump leases6",
};
const char *const configuration_forms[] = {
    "add|remove control <host>",
    "set control <host> key <hex>",
    "unset control <host> key",
    "add|remove port <ifname>",
    "set port <ifname> ip <ip|ip6>",
    "unset port <ifname> ip [<ip|ip6>]",
    "add|remove port <ifname> proto <proto> [udp <port>]",
    "add|remove nas <name>",
    "set nas <name> ports <count>|caching",
    "unset nas <name> ports|caching",
    "add|remove nas <name> auth|acct server <addr>",
    "set nas <name> auth|acct server <addr> secret <text>|port <port>",
    "unset nas <name> auth|acct server <addr> secret|port",
    "add|remove nas <name> filter <name>",
    "set nas <name> filter <name> first|last|at <num> rule <rule>",
    "unset nas <name> filter <name> first|last|at <num>",
    "add hostset [<id>]",
    "remove hostset <id>",
    "set|unset hostset <id> host <text>",
    "add|remove service <uuid>",
    "rename service <uuid> to service <uuid>",
    "set service <uuid> <setting>",
    "unset service <uuid> <setting>",
};
const char *const logging_forms[] = {
    "set log level <num>",
    "unset log level",
    "set|unset log option <opt> [<opt>...]",
    "set|unset log module <name> [<name>...]",
    "set log trace <mac>",
    "unset log trace",
};
const char *const listening_forms[] = {
    "listen controls|services|vaps|tunnels|flows [...]",
};

struct option_help {
    char short_name;
    const char *long_name;
    const char *argument;
    const char *text;
};

const option_help options_help[] = {
    {'i', "instance", "NUM", "Connect to gateway instance number [0]"},
    {'p', "pid", "PID", "Connect to gateway instance by pid"},
    {'s', "abbrev", nullptr, "Use abbreviated text format for output"},
    {'j', "json", nullptr, "Use JSON format for output"},
    {'c', "file", "FILE", "Run commands from file in batch mode"},
    {'w', "watch", "SEC", "Enable event listener watchdog"},
    {'r', "dump", nullptr, "Dump the current state as ugw commands"},
    {'n', "dry-run", nullptr, "Check command syntax but do not execute"},
    {'f', "force", nullptr, "Force add and remove operations"},
    {'q', "quiet", nullptr, "Do not print error messages to stderr"},
    {'d', "debug", nullptr, "Increase debug verbosity (-dd for more)"},
    {'l', "list", nullptr, "List gateway instances and exit"},
    {'h', "help", nullptr, "Display this help and exit"},
};

template <size_t N> void print_forms(const char *heading, const char *const (&forms)[N])
{
    printf("%s\n", heading);
    for (const char *form : forms)
        printf("\tugw %s\n", form);
}

void print_help()
{
    printf("ugw - Ulmex Gateway management utility\n");
    printf("Usage: ugw [options] <command>\n");
    printf("Options:\n");
    for (const option_help &o : options_help) {
        std::string left = std::string("-") + o.short_name + ", --" + o.long_name;
        if (o.argument) left += std::string("=") + o.argument;
        printf("\t%-19s %s\n", left.c_str(), o.text);
    }
    print_forms("Display:", display_forms);
    print_forms("Administration:", administration_forms);
    print_forms("Configuration:", configuration_forms);
    print_forms("Logging:", logging_forms);
    printf("Modifications:\n");
    printf("\tset, unset        Set or unset a value\n");
    printf("\tenable, disable   Aliases for set and unset\n");
    print_forms("Listening:", listening_forms);
    printf("Environment:\n");
    printf("\tVARDIR     /var           %s\n", rundir_var);
    printf("\tRUNDIR     $VARDIR/run    %s\n", rundir_run);
    fflush(stdout);
}

// ---- batch ----

volatile sig_atomic_t stop_requested;

void request_stop(int)
{
    stop_requested = 1;
}

const char *trim(char *line)
{
    static const char blanks[] = " \t\n\v\f\r";
    char *start = line + strspn(line, blanks);
    size_t n = strlen(start);
    while (n && strchr(blanks, start[n - 1]))
        start[--n] = '\0';
    return start;
}

struct batch_connection {
    gwc_connection *c = nullptr;
    ~batch_connection() { gwc_destroy(c); }
};

int run_kind(gwc_connection *c, uint32_t kind)
{
    ugw_command cmd{};
    cmd.kind = kind;
    return ugw_execute_on(c, &cmd, 0, &ugw_renderers, &ugw_actions);
}

// ---- the program ----

int parse_number(const char *text, const char *what, long max, long *out)
{
    char *end;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (!*text || *end || errno || v < 0 || v > max) {
        fprintf(stderr, "ugw: invalid %s '%s'\n", what, text);
        return -1;
    }
    *out = v;
    return 0;
}

int count_down(int pid, void *user)
{
    int *left = static_cast<int *>(user);
    return (*left)-- == 0 ? pid : 0;
}

int print_instance(int pid, void *user)
{
    int *index = static_cast<int *>(user);
    printf("%d  pid=%u\n", (*index)++, static_cast<unsigned>(pid));
    return 0;
}

int fail_with_error()
{
    if (errno == EPIPE) return 1; // the reader went away: nothing to tell it
    fprintf(stderr, "%s\n", errno ? strerror(errno) : "Invalid command");
    return 1;
}

struct settings {
    long instance = 0;
    long pid = 0;
    int form = 0;
    const char *file = nullptr;
    long watch = 0;
    bool dump = false;
    bool dry_run = false;
    uint32_t force = 0;
    int debug = 0;
};

int run(int argc, char **argv)
{
    static const option long_options[] = {
        {"instance", required_argument, nullptr, 'i'}, {"pid", required_argument, nullptr, 'p'},
        {"abbrev", no_argument, nullptr, 's'},         {"json", no_argument, nullptr, 'j'},
        {"file", required_argument, nullptr, 'c'},     {"watch", required_argument, nullptr, 'w'},
        {"dump", no_argument, nullptr, 'r'},           {"dry-run", no_argument, nullptr, 'n'},
        {"force", no_argument, nullptr, 'f'},          {"quiet", no_argument, nullptr, 'q'},
        {"debug", no_argument, nullptr, 'd'},          {"list", no_argument, nullptr, 'l'},
        {"help", no_argument, nullptr, 'h'},           {nullptr, 0, nullptr, 0},
    };
    settings s;
    bool quiet = false;
    optind = 1;
    for (int o; (o = getopt_long(argc, argv, "+i:p:sjc:w:rnfqdlh", long_options, nullptr)) != -1;) {
        switch (o) {
        case 'i':
            if (parse_number(optarg, "instance number", INT_MAX, &s.instance) < 0) return 1;
            break;
        case 'p':
            if (parse_number(optarg, "pid", INT_MAX, &s.pid) < 0) return 1;
            break;
        case 's':
            s.form = 1;
            break;
        case 'j':
            s.form = 2;
            break;
        case 'c':
            s.file = optarg;
            break;
        case 'w':
            if (parse_number(optarg, "watchdog seconds", INT_MAX, &s.watch) < 0) return 1;
            break;
        case 'r':
            s.dump = true;
            break;
        case 'n':
            s.dry_run = true;
            break;
        case 'f':
            s.force = 1;
            break;
        case 'q':
            quiet = true;
            break;
        case 'd':
            s.debug++;
            break;
        case 'l': {
            int index = 0;
            ugw_find_instances(rundir_run, UGW_SOCKET_BASE, print_instance, &index);
            return fflush(stdout) == 0 ? 0 : 1;
        }
        case 'h':
            print_help();
            return 0;
        default:
            return 1;
        }
    }
    if (quiet) {
        // Descriptor 2 stays taken, so no later socket lands on it and
        // receives error texts.
        int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null_fd >= 0) {
            dup2(null_fd, STDERR_FILENO);
            if (null_fd != STDERR_FILENO) close(null_fd);
        }
        s.debug = 0;
    }
    int words = argc - optind;
    if (words == 0 && !s.file && !s.dump) {
        print_help();
        return 1;
    }
    if (s.pid == 0) {
        int left = static_cast<int>(s.instance);
        int found = ugw_find_instances(rundir_run, UGW_SOCKET_BASE, count_down, &left);
        if (found < 1 && !s.dry_run) {
            fprintf(stderr, "Gateway instance #%d not found\n", static_cast<int>(s.instance));
            return 1;
        }
        s.pid = found > 0 ? found : 0;
    }
    char path[sizeof(sockaddr_un::sun_path)];
    if (snprintf(path, sizeof(path), "%s/%s.%u", rundir_run, UGW_SOCKET_BASE,
                 static_cast<unsigned>(s.pid)) >= static_cast<int>(sizeof(path))) {
        errno = ENAMETOOLONG;
        return fail_with_error();
    }
    log_config.level = static_cast<int8_t>(s.debug > 127 ? 127 : s.debug);
    log_config.components = LOG_COMP_ALL;
    log_hook = log_default;

    if (s.dump) return ugw_dump_config(path) < 0 ? fail_with_error() : 0;
    if (s.file) return ugw_batch(s.file, path, s.form, s.dry_run, s.force, s.debug) < 0 ? 1 : 0;

    ugw_command cmd;
    if (ugw_parse_args(words, argv + optind, &cmd) < 0) {
        int err = errno;
        fprintf(stderr, "Invalid command\n");
        if (err) fprintf(stderr, "%s\n", strerror(err));
        return 1;
    }
    if (s.dry_run) return 0;
    if (cmd.kind == UGW_KIND_LISTEN) {
        if (ugw_listen(path, &cmd, s.form, static_cast<int>(s.pid), s.watch) == 0) return 0;
        if (errno != ETIMEDOUT) return fail_with_error();
        fprintf(stderr, "Operation timed out\n"); // the watchdog's own words
        return 1;
    }
    if (ugw_execute(path, &cmd, s.form, s.force) < 0) return fail_with_error();
    return 0;
}

} // namespace

int ugw_find_instances_in(FILE *table, const char *run_dir, const char *base,
                          int (*fn)(int pid, void *user), void *user)
{
    char *line = nullptr;
    size_t cap = 0;
    if (getline(&line, &cap, table) < 0 || !header_matches(line)) {
        free(line);
        return -1;
    }
    std::string prefix = std::string(run_dir) + "/" + base + ".";
    int result = 0;
    while (result == 0 && getline(&line, &cap, table) > 0) {
        std::string_view path = path_of(line);
        if (path.size() <= prefix.size() || path.substr(0, prefix.size()) != prefix) continue;
        int pid = pid_of(path.substr(prefix.size()));
        if (pid > 0) result = fn(pid, user);
    }
    free(line);
    return result;
}

int ugw_find_instances(const char *run_dir, const char *base, int (*fn)(int pid, void *user),
                       void *user)
{
    FILE *table = fopen("/proc/net/unix", "re");
    if (!table) return -1;
    int r = ugw_find_instances_in(table, run_dir, base, fn, user);
    fclose(table);
    return r;
}

int ugw_batch(const char *file, const char *path, int form, bool dry_run, uint32_t force, int debug)
{
    bool is_stdin = strcmp(file, "-") == 0;
    const char *name = is_stdin ? "stdin" : file;
    FILE *in = is_stdin ? stdin : fopen(file, "re");
    if (!in) {
        fprintf(stderr, "Could not open %s: %s\n", file, strerror(errno));
        return -1;
    }
    batch_connection conn;
    if (!dry_run) {
        conn.c = gwc_create(path, nullptr, nullptr, force);
        if (!conn.c || run_kind(conn.c, 0) < 0) {
            fprintf(stderr, "%s\n", strerror(errno));
            if (!is_stdin) fclose(in);
            return -1;
        }
    }
    // A signal ends the batch after the command under way, which then commits.
    stop_requested = 0;
    struct sigaction sa {
    }, old_int{}, old_term{};
    sa.sa_handler = request_stop;
    sigaction(SIGINT, &sa, &old_int);
    sigaction(SIGTERM, &sa, &old_term);

    int result = 0;
    char *line = nullptr;
    size_t cap = 0;
    size_t number = 0;
    ssize_t got;
    while (!stop_requested && (got = getline(&line, &cap, in)) >= 0) {
        number++;
        char *words[WORDS_MAX];
        const char *text = trim(line);
        if (*text == '#' || *text == '\0') continue;
        std::string copy = text;
        int n = static_cast<size_t>(got) > LINE_MAX_BYTES
                    ? -1
                    : ugw_split_words(const_cast<char *>(text), words, WORDS_MAX);
        if (n == 0) continue;
        if (debug) {
            printf("%s%s\n", dry_run ? "check: " : "", copy.c_str());
            fflush(stdout); // the echo comes before what the command does
        }
        ugw_command cmd;
        if (n < 0 || ugw_parse_args(n, words, &cmd) < 0 || cmd.kind == UGW_KIND_LISTEN) {
            fprintf(stderr, "%s: %zu: Invalid command\n", name, number);
            result = -1;
            break;
        }
        if (dry_run) continue;
        if (ugw_execute_on(conn.c, &cmd, form, &ugw_renderers, &ugw_actions) < 0) {
            fprintf(stderr, "%s: %zu: %s\n", name, number, strerror(errno));
            result = -1;
            break;
        }
    }
    free(line);
    if (stop_requested) result = -1; // the rest of the input did not run
    if (!is_stdin) fclose(in);
    if (!dry_run && run_kind(conn.c, 1) < 0) {
        fprintf(stderr, "%s\n", strerror(errno));
        result = -1;
    }
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGTERM, &old_term, nullptr);
    return result;
}

int ugw_main(int argc, char **argv)
{
    rundir_init();
    signal(SIGPIPE, SIG_IGN); // a closed pipe is a write error, ended quietly
    int status = run(argc, argv);
    rundir_fini();
    return status;
}
