// Output routines: console and error-log forms, log file names, folders.
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "StderrCapture.h"
#include "TempFolder.h"
#include "log/Log.h"
#include "platform/Files.h"

namespace {

std::string ErrorLogPath()
{
    return LogFileName(GetExecutableFolder() + "/logs", "error", GetLocalTime());
}

struct LogErrorCase {
    int code;
    bool toFile;
    std::string expected;  // for the file: the line after the time stamp
};

TEST(LogError, FormsOnConsoleAndInErrorLog)
{
    std::string noText = "Unknown error";  // code 9999 has no system text
    std::string enoent;
    ASSERT_TRUE(GetOsErrorText(ENOENT, enoent));
    EXPECT_FALSE(GetOsErrorText(9999, noText));
    const LogErrorCase cases[] = {
        {0, false, "ERROR: ASSERT(b) failed at Unit:7\n"},
        {ENOENT, false, "ERROR: " + enoent + " - ASSERT(b) failed at Unit:7\n"},
        {9999, false, "ERROR: 9999 ASSERT(b) failed at Unit:7\n"},
        {0, true, "ERROR: ASSERT(b) failed at Unit:7\n"},
        {ENOENT, true, "ERROR: " + enoent + " - ASSERT(b) failed at Unit:7\n"},
        {9999, true, "ERROR: ASSERT(b) failed at Unit:7: 9999\n"},
    };
    std::filesystem::remove_all(GetExecutableFolder() + "/logs");
    for (const auto& c : cases) {
        ErrorLogEnabled = c.toFile;
        std::filesystem::remove(ErrorLogPath());
        StderrCapture capture;
        errno = c.code;
        LOG_ASSERT("b", "Unit", 7);
        if (c.code != 0) {
            EXPECT_EQ(errno, c.code) << "the caller's error code survives";
        }
        std::string console = capture.Text();
        if (!c.toFile) {
            EXPECT_EQ(console, c.expected);
            EXPECT_FALSE(std::filesystem::exists(GetExecutableFolder() + "/logs"));
        } else {
            std::string line = ReadFileBytes(ErrorLogPath());
            ASSERT_EQ(line.size(), 22 + c.expected.size()) << line;
            EXPECT_EQ(line.substr(22), c.expected);
            EXPECT_EQ(line[0], '[');
            EXPECT_EQ(line.substr(20, 2), "] ");
            EXPECT_EQ(console, line) << "the file line is echoed";
        }
    }
    ErrorLogEnabled = false;
}

TEST(LogToFile, AppendsLinesAndAddsOneLineFeed)
{
    std::filesystem::remove(ErrorLogPath());
    StderrCapture capture;
    LogToFile("error", "first %d", 1);
    LogToFile("error", "second\n");
    capture.Text();
    std::string text = ReadFileBytes(ErrorLogPath());
    ASSERT_EQ(text.size(), 22 + 8 + 22 + 7);
    EXPECT_EQ(text.substr(22, 8), "first 1\n");
    EXPECT_EQ(text.substr(52), "second\n");
}

TEST(LogFileName, NamesAFileForEachMonth)
{
    EXPECT_EQ(LogFileName("/x/logs", "error", {2026, 12, 31, 23, 59, 59}), "/x/logs/error-202612.log");
    EXPECT_EQ(LogFileName("/x/logs", "error", {2027, 1, 1, 0, 0, 0}), "/x/logs/error-202701.log");
    EXPECT_EQ(LogFileName("/x/logs", "error", {999, 3, 1, 0, 0, 0}), "/x/logs/error-099903.log");
}

TEST(CreateFolderPath, NestedShortAndExisting)
{
    TempFolder temp;
    CreateFolderPath(temp / "a/b/c");
    EXPECT_TRUE(FolderExists(temp / "a/b/c"));
    CreateFolderPath(temp / "a/b/c");  // existing: nothing happens
    EXPECT_TRUE(FolderExists(temp / "a/b/c"));

    WriteFileBytes(temp / "file", "x");
    CreateFolderPath(temp / "file");
    EXPECT_TRUE(IsRegularFile(temp / "file"));

    ASSERT_EQ(chdir(temp.Path().c_str()), 0);
    CreateFolderPath("ab");  // fewer than three characters: left alone
    EXPECT_FALSE(PathExists(temp / "ab"));
    CreateFolderPath("abc");  // no separator: nothing to create from
    EXPECT_FALSE(PathExists(temp / "abc"));
}

TEST(ShowErrorBox, WritesTheBoxTextAndKeepsTheErrorCode)
{
    std::string enoent;
    ASSERT_TRUE(GetOsErrorText(ENOENT, enoent));
    const struct {
        int code;
        std::string box;
    } cases[] = {
        {0, "Vantry: \nKind 99\n\nClick Ok to continue.\n"},
        {ENOENT, "Vantry: " + enoent + "\nKind 99\n\nClick Ok to continue.\n"},
    };
    for (const auto& c : cases) {
        StderrCapture capture;
        errno = c.code;
        ShowErrorBox(nullptr, "Kind %d", 99);
        EXPECT_EQ(errno, c.code);
        EXPECT_EQ(capture.Text(), c.box);
    }
}

}  // namespace

namespace {

// "device:inode" of standard error, as systemd sets JOURNAL_STREAM.
std::string StandardErrorStream()
{
    struct stat info {};
    fstat(STDERR_FILENO, &info);
    return std::to_string(static_cast<unsigned long long>(info.st_dev)) + ":" +
           std::to_string(static_cast<unsigned long long>(info.st_ino));
}

} // namespace

// When standard error is the journal every line gets its priority: a
// failure report 3, a refused statement that is passed over 4, the rest 6,
// also for a text written in pieces; on anything else nothing is added.
TEST(Journal, LinesGetTheirPriorityOnlyWhenStandardErrorIsTheJournal)
{
    ErrorLogEnabled = false;
    for (bool journal : {true, false}) {
        SCOPED_TRACE(journal);
        StderrCapture capture;
        if (journal)
            setenv("JOURNAL_STREAM", StandardErrorStream().c_str(), 1);
        else
            setenv("JOURNAL_STREAM", "1:2", 1); // another file's
        errno = 0;
        LogError("ASSERT(%s) failed at %s:%d", "b", "Unit", 7);
        PrintMessageAt(PriorityWarning, "SQL ERROR: %s.\n  Query was: %s\n", "refused", "drop x");
        PrintMessage("one ");
        PrintMessage("line\n\n");
        unsetenv("JOURNAL_STREAM");
        if (journal)
            EXPECT_EQ(capture.Text(), "<3>ERROR: ASSERT(b) failed at Unit:7\n"
                                      "<4>SQL ERROR: refused.\n<4>  Query was: drop x\n"
                                      "<6>one line\n<6>\n");
        else
            EXPECT_EQ(capture.Text(), "ERROR: ASSERT(b) failed at Unit:7\nSQL ERROR: refused.\n  Query was: drop x\n"
                                      "one line\n\n");
    }
}
