// Shared steps of the renderer tests: capture a renderer's output, run jq or
// Python's JSON reader over a document, and pin the clock and the interface
// names so that golden outputs hold.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <unistd.h>

#include "common/timer.h"
#include "utility/ugw_format.h"
#include "utility/ugw_json.h"

inline std::string render_capture(const std::function<void(FILE *)> &render)
{
    char *data = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&data, &size);
    render(out);
    fclose(out);
    std::string text(data, size);
    free(data);
    return text;
}

inline std::string render_json_capture(const std::function<void(json_writer *)> &render)
{
    return render_capture([&](FILE *out) {
        json_writer json;
        json_init(&json, out);
        render(&json);
        json_flush(&json);
    });
}

inline bool render_have(const char *program)
{
    std::string cmd = std::string("command -v ") + program + " >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

// Runs the command with the document on standard input; returns its output,
// and its exit status through *status.
inline std::string render_pipe(const std::string &doc, const std::string &command, int *status)
{
    char path[] = "/tmp/render_test_XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, doc.data(), doc.size()), static_cast<ssize_t>(doc.size()));
    close(fd);
    std::string cmd = command + " < " + path + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    *status = pclose(p);
    unlink(path);
    return out;
}

// jq -c of the filter over the document; fails the test when jq refuses it.
inline std::string render_jq(const std::string &doc, const std::string &filter)
{
    int status = 0;
    std::string out = render_pipe(doc, "jq -c '" + filter + "'", &status);
    EXPECT_EQ(status, 0) << doc << "\n" << out;
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

inline char *render_test_ifname(unsigned index, char *name)
{
    static const char *const names[] = {nullptr, "eth0", "radio0", "tun0"};
    if (index >= 4 || !names[index]) return nullptr;
    strcpy(name, names[index]);
    return name;
}

constexpr uint32_t RENDER_NOW = 1000000;
constexpr int64_t RENDER_OFFSET = 1700000000;

// A fixed clock (now 1000000 s, wall clock 1700000000 later) and three
// interface names: eth0, radio0, tun0.
class RenderTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        clock_monotonic_sec = RENDER_NOW;
        clock_monotonic_usec = 1;
        clock_offset_sec = RENDER_OFFSET;
        clock_offset_usec = 0;
        ugw_ifname_reset(render_test_ifname);
    }
    void TearDown() override { ugw_ifname_reset(nullptr); }
};

#define RENDER_NEED(program)                                                                       \
    do {                                                                                           \
        if (!render_have(program))                                                                 \
            GTEST_SKIP() << program << " is not installed (.ci/packages.d/render)";                \
    } while (0)
