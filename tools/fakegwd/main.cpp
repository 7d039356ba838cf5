// fakegwd RUNDIR: serves a stand-in management socket in RUNDIR until its
// standard input ends. Lines on standard input script it:
//   fault KIND ARG       (KIND: status short type count late endless lock)
//   event GROUP HEXBYTES (an event for the members of group GROUP)
//   journal              (one hex line per request so far, then a line ".")
//   flows N              (Dump-Flows answered with N flows from now on; "ok")
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/ctl_msg.h"
#include "tools/fakegwd/fakegwd.h"

namespace
{

std::vector<uint8_t> unhex(const char *s)
{
    std::vector<uint8_t> out;
    while (s[0] && s[1] && s[0] != '\n') {
        unsigned v;
        if (sscanf(s, "%2x", &v) != 1) break;
        out.push_back(static_cast<uint8_t>(v));
        s += 2;
    }
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: fakegwd RUNDIR\n");
        return 2;
    }
    fakegwd *f = fakegwd_start(argv[1]);
    if (!f) return 1;
    printf("%s\n", fakegwd_path(f));
    fflush(stdout);
    char line[1 << 16];
    const char *kinds[] = {"", "status", "short", "type", "count", "late", "endless", "lock"};
    while (fgets(line, sizeof(line), stdin)) {
        char word[16];
        unsigned a = 0;
        int used = 0;
        if (sscanf(line, "fault %15s %u", word, &a) >= 1) {
            for (unsigned k = 1; k < sizeof(kinds) / sizeof(kinds[0]); k++)
                if (strcmp(word, kinds[k]) == 0)
                    fakegwd_fault(f, static_cast<fakegwd_fault_kind>(k), a);
        } else if (sscanf(line, "event %u %n", &a, &used) == 1) {
            std::vector<uint8_t> msg = unhex(line + used);
            printf("%d\n", fakegwd_push_event(f, a, msg.data(), msg.size()));
        } else if (sscanf(line, "flows %u", &a) == 1) {
            fakegwd_set_reply(f, CTL_DUMP_FLOWS, fakegwd_flows_reply(a));
            printf("ok\n");
        } else if (strncmp(line, "journal", 7) == 0) {
            for (const auto &r : fakegwd_journal(f)) {
                for (uint8_t b : r)
                    printf("%02x", b);
                printf("\n");
            }
            printf(".\n");
        }
        fflush(stdout);
    }
    fakegwd_stop(f);
    return 0;
}
