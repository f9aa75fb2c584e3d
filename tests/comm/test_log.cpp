#include "Exceptions.h"
#include "vxclasses_medium.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace

TEST(LogFile, WritesOneStampedLinePerMessageWithItsLevel)
{
    std::ostringstream out;
    TvxLogFile log;
    log.SetStream(&out);
    log.Log(0, "opened");
    log.LogFmt(2, "DoDataSend: %u bytes", {24u});
    log.LogBlank();
    const std::vector<std::string> lines = Lines(out.str());
    ASSERT_EQ(lines.size(), 3u);
    const std::regex stamped(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[(\d)\] (.*))");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, stamped)) << lines[0];
    EXPECT_EQ(m[1], "0");
    EXPECT_EQ(m[2], "opened");
    ASSERT_TRUE(std::regex_match(lines[1], m, stamped)) << lines[1];
    EXPECT_EQ(m[1], "2");
    EXPECT_EQ(m[2], "DoDataSend: 24 bytes");
    EXPECT_EQ(lines[2], "");
}

TEST(LogFile, AppendsToAFileAndDropsLevelsAboveTheMaximum)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath("trace.log").toStdString();
    {
        std::ofstream(path) << "earlier\n";
        TvxLogFile log;
        log.SetFileName(path);
        EXPECT_EQ(log.FileName(), path);
        log.SetMaxLevel(1);
        log.Log(1, "kept");
        log.Log(2, "dropped");
    }
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::vector<std::string> lines = Lines(text.str());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "earlier");
    EXPECT_NE(lines[1].find("[1] kept"), std::string::npos);
}

TEST(LogFile, AFileThatCannotBeOpenedIsAFatalErrorOfTheLog)
{
    TvxLogFile log;
    EXPECT_THROW(log.SetFileName("/nonexistent-dir/x.log"), Exception);
    uint32_t code = 0;
    std::string message;
    log.OnFatalError = [&](QObject*, uint32_t c, uint32_t, const std::string& m, bool& raise) {
        code = c;
        message = m;
        raise = false;
    };
    EXPECT_NO_THROW(log.SetFileName("/nonexistent-dir/x.log"));
    EXPECT_EQ(code, TvxLogFile::ErrorOpen);
    EXPECT_NE(message.find("/nonexistent-dir/x.log"), std::string::npos);
    EXPECT_NO_THROW(log.Log(0, "goes nowhere"));
}

TEST(LogFile, AFailedWriteIsAFatalErrorOfTheLog)
{
    std::ostringstream out;
    out.setstate(std::ios::badbit);
    TvxLogFile log;
    log.SetStream(&out);
    EXPECT_THROW(log.Log(0, "lost"), Exception);
}

TEST(LogFile, AFormatThatDoesNotFitItsValuesIsWrittenWithTheReason)
{
    TvxMemoryLog log;
    log.LogFmt(1, "Communication Error %d:%d", {8});
    EXPECT_EQ(log.Texts(),
              std::vector<std::string>{"Communication Error %d:%d [No argument for format 'Communication Error %d:%d']"});
}

TEST(LogFile, LinesFromManyThreadsStayWhole)
{
    std::ostringstream out;
    TvxLogFile log;
    log.SetStream(&out);
    TvxMemoryLog memory;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                log.LogFmt(2, "thread %d line %d", {t, i});
                memory.Log(2, "x");
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    const std::vector<std::string> lines = Lines(out.str());
    ASSERT_EQ(lines.size(), 800u);
    const std::regex whole(R"(.* \[2\] thread \d line \d+)");
    for (const std::string& line : lines)
        ASSERT_TRUE(std::regex_match(line, whole)) << line;
    EXPECT_EQ(memory.Count(), 800u);
}

TEST(LogFile, TheLogsFatalErrorRaisesUnlessTheHandlerDeclines)
{
    TvxMemoryLog log;
    EXPECT_THROW(log.FatalError(1, 2, "disk full"), Exception);
    int handled = 0;
    log.OnFatalError = [&](QObject* sender, uint32_t, uint32_t, const std::string&, bool& raise) {
        EXPECT_EQ(sender, &log);
        ++handled;
        raise = false;
    };
    EXPECT_NO_THROW(log.FatalError(1, 2, "disk full"));
    EXPECT_EQ(handled, 1);
    EXPECT_EQ(log.Count(), 0u); // the log's own fatal error writes no line
}

// Components with logs of their own may share one file; a long line (beyond
// the stream's buffer) still reaches the file whole, newline included, so
// that lines of the other logs cannot come between.
TEST(LogFile, LongLinesOfLogsSharingAFileStayWhole)
{
    QTemporaryDir dir;
    const std::string name = dir.filePath("shared.log").toStdString();
    std::vector<std::unique_ptr<TvxLogFile>> logs;
    std::vector<std::thread> threads;
    for (char tag : {'a', 'b', 'c', 'd'}) {
        logs.push_back(std::make_unique<TvxLogFile>());
        logs.back()->SetFileName(name);
        threads.emplace_back([log = logs.back().get(), tag] {
            for (int i = 0; i < 500; ++i)
                log->Log(2, std::string(size_t(9000 + i), tag));
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    std::ifstream in(name);
    std::stringstream text;
    text << in.rdbuf();
    const std::vector<std::string> lines = Lines(text.str());
    EXPECT_EQ(lines.size(), 2000u);
    // A whole line: the stamp, the level, and one log's letter all along.
    const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[2\] )");
    int broken = 0;
    for (const std::string& line : lines) {
        const std::string text = line.size() > 28 ? line.substr(28) : std::string();
        broken += !std::regex_match(line.substr(0, 28), stamp) || text.size() < 9000 ||
                  text.find_first_not_of(text[0]) != std::string::npos;
    }
    EXPECT_EQ(broken, 0);
}
