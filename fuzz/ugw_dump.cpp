// Arbitrary control, NAS and service records through the dump: every line
// splits into words and reads as a command about that very record (a value
// may fail its range check, never the syntax), so no value can end its word
// and start another command.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "utility/ugw_action.h"
#include "utility/ugw_dump.h"
#include "utility/ugw_lex.h"
#include "utility/ugw_parse.h"

namespace
{

char *any_ifname(unsigned index, char *name)
{
    snprintf(name, 16, index % 2 ? "e th%u" : "'\n%u", index % 1000);
    return name;
}

template <typename Check> void check_lines(const std::string &text, Check about_the_record)
{
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) abort(); // every line ends
        std::string line = text.substr(at, end - at);
        at = end + 1;
        char *words[31];
        int n = ugw_split_words(line.data(), words, 31);
        if (n <= 0) abort();
        ugw_command cmd{};
        errno = 0;
        if (ugw_parse_args(n, words, &cmd) < 0) {
            if (errno != EINVAL) abort();
            continue;
        }
        if (!about_the_record(cmd)) abort();
    }
}

void take(void *out, size_t n, const uint8_t *&data, size_t &size)
{
    size_t k = std::min(n, size);
    memset(out, 0, n);
    if (k) memcpy(out, data, k);
    data += k;
    size -= k;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ulmexControl control;
    take(&control, sizeof(control), data, size);
    control.ulmexControlName[sizeof(control.ulmexControlName) - 1] = 0;
    if (control.ulmexControlName[0]) {
        std::string text;
        ugw_dump_control(text, &control);
        check_lines(text, [&](const ugw_command &c) {
            return strcmp(c.host, control.ulmexControlName) == 0;
        });
    }

    ugw_dump_nas_record nas;
    take(&nas, sizeof(nas), data, size);
    char name[RADIUS_NAS_ID_SIZE + 1] = {};
    memcpy(name, nas.config.radiusAuthClientIdentifier, RADIUS_NAS_ID_SIZE);
    if (name[0]) {
        std::string text;
        ugw_dump_nas_head(text, &nas);
        ugw_dump_nas_servers(text, &nas);
        check_lines(text, [&](const ugw_command &c) { return strcmp(c.nas, name) == 0; });
    }

    uint8_t service[UGW_SERVICE_RECORD];
    take(service, sizeof(service), data, size);
    std::string text;
    if (ugw_dump_service(text, service, any_ifname) == 0)
        check_lines(text, [&](const ugw_command &c) { return memcmp(c.uuid, service, 16) == 0; });
    return 0;
}
