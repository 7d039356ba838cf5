#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <string>
#include <syslog.h> // its LOG_* macros must not change our levels
#include <unistd.h>

#include "common/log.h"

namespace {

// Captures what the logging writes to standard error.
class LogTest : public testing::Test {
  protected:
    int saved = -1;
    std::string path;

    void SetUp() override
    {
        path = std::string(testing::TempDir()) + "ugw-log-" + std::to_string(getpid());
        fflush(stderr);
        saved = dup(2);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    void TearDown() override
    {
        log_close();
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
        unlink(path.c_str());
    }
    std::string captured()
    {
        fflush(stderr);
        FILE *f = fopen(path.c_str(), "r");
        std::string s;
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
            s.append(buf, n);
        fclose(f);
        return s;
    }
};

} // namespace

TEST_F(LogTest, LevelsComponentsAndPrefixes)
{
    ulog(LOG_COMP_COMMON, ULOG_ERROR, "before open"); // no hook yet: nothing
    ASSERT_EQ(log_open(nullptr, 1, LOG_COMP_COMMON, LOG_FMT_FILE | LOG_FMT_LINE, nullptr), 0);
    ulog(LOG_COMP_IPC, ULOG_ERROR, "other component");
    ulog(LOG_COMP_COMMON, ULOG_DETAIL, "too verbose");
    ulog(LOG_COMP_COMMON, ULOG_DEBUG, "debug %d", 1);
    ulog(LOG_COMP_COMMON, ULOG_WARNING, "careful");
    ulog(LOG_COMP_COMMON, ULOG_ERROR, "broken");
    ulog(LOG_COMP_COMMON, ULOG_DUMP, "level four");
    int line = __LINE__ - 4;
    std::string want = "log_test.cpp: " + std::to_string(line) + ": debug 1\n" +
                       "WARNING: log_test.cpp: " + std::to_string(line + 1) + ": careful\n" +
                       "ERROR: log_test.cpp: " + std::to_string(line + 2) + ": broken\n";
    EXPECT_EQ(captured(), want);
}

TEST_F(LogTest, EmptyMaskPrintsNothingAndErrorsAlsoReachStderr)
{
    ASSERT_EQ(log_open(nullptr, 3, 0, 0, nullptr), 0);
    ulog(LOG_COMP_COMMON, ULOG_ERROR, "silent");
    EXPECT_EQ(captured(), "");

    std::string file = path + ".file";
    ASSERT_EQ(log_open(file.c_str(), 0, LOG_COMP_ALL, 0, log_file), 0);
    ulog(LOG_COMP_COMMON, ULOG_ERROR, "to both");
    ulog(LOG_COMP_COMMON, ULOG_INFO, "to the file");
    log_close();
    EXPECT_EQ(captured(), "ERROR: to both\n");
    FILE *f = fopen(file.c_str(), "r");
    char buf[128] = {};
    fread(buf, 1, sizeof(buf) - 1, f);
    fclose(f);
    unlink(file.c_str());
    EXPECT_STREQ(buf, "ERROR: to both\nto the file\n");
}

TEST_F(LogTest, UnopenableFileFallsBackToStderr)
{
    EXPECT_EQ(log_open("/nonexistent/dir/x.log", 0, LOG_COMP_ALL, 0, log_file), -1);
    ulog(LOG_COMP_COMMON, ULOG_INFO, "still here");
    EXPECT_EQ(captured(),
              "Failed to open /nonexistent/dir/x.log: No such file or directory\nstill here\n");
}

TEST_F(LogTest, LogFileIsNeverReachedThroughALinkOrAnythingButAFile)
{
    std::string victim = path + ".victim", link = path + ".link", fifo = path + ".fifo",
                hard = path + ".hard", fresh = path + ".fresh";
    FILE *v = fopen(victim.c_str(), "w");
    fputs("precious\n", v);
    fclose(v);
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::link(victim.c_str(), hard.c_str()), 0);
    struct {
        const std::string &file;
        std::string why;
    } refused[] = {
        {link, strerror(ELOOP)},
        {fifo, strerror(ENXIO)}, // the open does not wait for a reader
        {hard, strerror(EMLINK)},
    };
    std::string want;
    for (auto &r : refused) {
        EXPECT_EQ(log_open(r.file.c_str(), 0, LOG_COMP_ALL, 0, log_file), -1) << r.file;
        ulog(LOG_COMP_COMMON, ULOG_INFO, "written");
        want += "Failed to open " + r.file + ": " + r.why + "\nwritten\n";
    }
    EXPECT_EQ(captured(), want);
    FILE *f = fopen(victim.c_str(), "r");
    char buf[64] = {};
    fread(buf, 1, sizeof(buf) - 1, f);
    fclose(f);
    EXPECT_STREQ(buf, "precious\n");

    // A new log is the daemon's own to read.
    ASSERT_EQ(log_open(fresh.c_str(), 0, LOG_COMP_ALL, 0, log_file), 0);
    struct stat st;
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    log_close();
    for (auto &p : {victim, link, fifo, hard, fresh})
        unlink(p.c_str());
}

TEST_F(LogTest, UntrustedLinesAreLimitedPerSourceAndWhatIsHeldBackIsCounted)
{
    ASSERT_EQ(log_open(nullptr, 1, LOG_COMP_ALL, 0, nullptr), 0);
    auto lines = [this](const std::string &needle) {
        std::string text = captured();
        size_t n = 0;
        for (size_t at = 0; (at = text.find(needle, at)) != std::string::npos; at += needle.size())
            n++;
        return n;
    };
    log_source = 65534;
    for (int i = 0; i < 100; i++)
        ulog_untrusted(LOG_COMP_IPC, ULOG_DEBUG, "bad datagram from nobody");
    EXPECT_EQ(lines("bad datagram from nobody"), LOG_LIMIT_BURST);
    // Another source has its own allowance; trusted input has no limit.
    log_source = 1000;
    for (int i = 0; i < 100; i++)
        ulog_untrusted(LOG_COMP_IPC, ULOG_DEBUG, "bad datagram from 1000");
    EXPECT_EQ(lines("bad datagram from 1000"), LOG_LIMIT_BURST);
    log_source = LOG_SOURCE_TRUSTED;
    for (int i = 0; i < 100; i++)
        ulog_untrusted(LOG_COMP_IPC, ULOG_DEBUG, "ours");
    EXPECT_EQ(lines("ours"), 100u);
    // The table is small: sources that push a quiet one out have its count logged.
    for (uint32_t uid = 2000; uid < 2000 + LOG_LIMIT_SOURCES; uid++) {
        log_source = uid;
        ulog_untrusted(LOG_COMP_IPC, ULOG_DEBUG, "one line");
    }
    log_source = LOG_SOURCE_TRUSTED;
    EXPECT_EQ(lines("Suppressed 80 log lines caused by uid 65534\n"), 1u);
    EXPECT_EQ(lines("Suppressed 80 log lines caused by uid 1000\n"), 1u);
    // Disabled lines are not counted as held back.
    log_source = 3000;
    for (int i = 0; i < 100; i++)
        ulog_untrusted(LOG_COMP_IPC, ULOG_DETAIL, "too verbose");
    for (uint32_t i = 0; i < LOG_LIMIT_BURST; i++)
        ulog_untrusted(LOG_COMP_IPC, ULOG_DEBUG, "still allowed");
    EXPECT_EQ(lines("still allowed"), LOG_LIMIT_BURST);
    log_source = LOG_SOURCE_TRUSTED;
}
