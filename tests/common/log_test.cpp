#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
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
