// Runs one renderer slot with standard output captured, as the executor
// calls it: the slot's rows as the reply holds them, packed at their row size.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "render_fixture.h"
#include "utility/ugw_slots.h"

struct slot_result {
    int rc;
    int err;
    std::string out;
};

inline slot_result slot_run(unsigned form, unsigned slot, const ugw_render_args &args)
{
    char path[] = "/tmp/ugw_list_XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    errno = 0;
    const ugw_renderer_row &row = ugw_renderers.forms[form];
    int rc = row.slots[slot] ? row.slots[slot](&args, &row) : -2;
    int err = errno;
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string out;
    char buf[4096];
    ssize_t got;
    lseek(fd, 0, SEEK_SET);
    while ((got = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(got));
    close(fd);
    unlink(path);
    return {rc, err, out};
}

// Rows packed one after the other, with a one-byte lead so that no row sits
// where its type would be aligned: the renderers must not rely on it.
struct slot_rows {
    std::vector<uint8_t> bytes;
    uint32_t count = 0;
    uint32_t size = 0;
    template <class T>
    slot_rows(const std::vector<T> &rows, uint32_t row_size = sizeof(T))
        : bytes(1 + rows.size() * row_size + sizeof(T)), count(static_cast<uint32_t>(rows.size())),
          size(row_size)
    {
        for (size_t i = 0; i < rows.size(); i++)
            memcpy(bytes.data() + 1 + i * row_size, &rows[i], sizeof(T));
    }
    ugw_render_args args(const void *record = nullptr, size_t record_size = 0) const
    {
        return {.record = record,
                .record_size = record_size,
                .rows = count ? bytes.data() + 1 : nullptr,
                .count = count,
                .row_size = size,
                .extra = nullptr,
                .extra_size = 0,
                .cmd = nullptr};
    }
};

enum : unsigned { FORM_TEXT = 0, FORM_SHORT = 1, FORM_JSON = 2 };

// python3's reader as a second judge of a document besides jq.
inline bool slot_json_parses(const std::string &doc)
{
    int status = 0;
    std::string out = render_pipe(doc, "python3 -m json.tool >/dev/null", &status);
    EXPECT_EQ(status, 0) << doc << "\n" << out;
    return status == 0;
}
