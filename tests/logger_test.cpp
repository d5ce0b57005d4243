// Tests of BRIXLogger on private instances: level filtering, callback
// mode, file mode and its line format, and the one-time initialisation.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BRIXLogger.h"
#include "test_util.h"

namespace {

// The file line of a message, with the time part matched loosely.
const char kTimePattern[] = R"(\d{4} \d{2} \d{2} \d{2}:\d{2}:\d{2} )";

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::string Escape(const std::string& text) {
  static const std::regex kRegexMeta(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(text, kRegexMeta, R"(\$&)");
}

bool MatchesLine(const std::string& line, const std::string& rest) {
  return std::regex_match(line, std::regex(kTimePattern + Escape(rest)));
}

// A second callback, to tell which one the logger calls.
int g_otherCalls = 0;
int OtherCallback(unsigned, unsigned, const char*, const char*, const char*,
                  unsigned) {
  ++g_otherCalls;
  return 0;
}

// Records whether the pointers reached the host as given.
const char* g_seenFunction = "unset";
const char* g_seenFile = "unset";
int PointerCallback(unsigned, unsigned, const char* function, const char* file,
                    const char*, unsigned) {
  g_seenFunction = function;
  g_seenFile = file;
  return 0;
}

class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogCapture::Clear();
    g_otherCalls = 0;
  }
};

class LoggerFileTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    LogCapture::Clear();
    g_otherCalls = 0;
  }
  std::string LogText() const { return ReadFile(PathIn("LogFile.log")); }
};

TEST_F(LoggerTest, NothingIsLoggedBeforeInitLogger) {
  BRIXLogger logger;
  EXPECT_FALSE(logger.GetInited());
  EXPECT_EQ(logger.GetLogMask(), 0u);
  // Even with a callback and a full mask in place, an uninitialised logger
  // stays silent.
  logger.SetCallback(LogCapture::Callback);
  logger.SetLogMask(15);
  logger.Log(BRIX_ERROR, "F", "BRIX/X", 1, "before init");
  logger.Log(0, "F", "BRIX/X", 1, "level zero before init");
  EXPECT_TRUE(LogCapture::Lines().empty());
  EXPECT_FALSE(logger.ShouldLog(BRIX_ERROR));
}

TEST_F(LoggerFileTest, NothingIsWrittenToAFileBeforeInitLogger) {
  {
    BRIXLogger logger;
    logger.SetLogPath("LogFile.log");
    logger.SetLogMask(15);
    logger.Log(BRIX_ERROR, "F", "BRIX/X", 1, "before init");
  }
  EXPECT_FALSE(std::filesystem::exists(PathIn("LogFile.log")));
}

TEST_F(LoggerTest, CallbackReceivesEveryPart) {
  BRIXLogger logger;
  EXPECT_EQ(logger.InitLogger(LogCapture::Callback, 15), 0);
  EXPECT_TRUE(logger.GetInited());
  EXPECT_EQ(logger.GetLogMask(), 15u);

  logger.Log(BRIX_WARNING, "DoThing", "BRIX/BRIXQuery", 1234,
             "value %d of '%s'", 42, "item");
  const auto lines = LogCapture::Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 2u);
  EXPECT_EQ(lines[0].line, 1234u);
  EXPECT_EQ(lines[0].function, "DoThing");
  EXPECT_EQ(lines[0].file, "BRIX/BRIXQuery");
  EXPECT_EQ(lines[0].message, "value 42 of 'item'");
  EXPECT_EQ(lines[0].length, 18u);
}

TEST_F(LoggerTest, CallbackModeHandsNullNamesOnUnchanged) {
  BRIXLogger logger;
  logger.InitLogger(PointerCallback, 15);
  logger.Log(BRIX_INFO, nullptr, nullptr, 7, "m");
  EXPECT_EQ(g_seenFunction, nullptr);
  EXPECT_EQ(g_seenFile, nullptr);
}

TEST_F(LoggerTest, LevelPassesOnlyWhenAllItsBitsAreInTheMask) {
  BRIXLogger logger;
  logger.InitLogger(LogCapture::Callback, BRIX_ERROR | BRIX_TRACE);

  const struct {
    int level;
    bool passes;
  } cases[] = {
      {1, false}, {2, false}, {4, true},  {8, true},  {12, true},
      {9, false}, {6, false}, {15, false}, {16, false}, {0, true},
  };
  for (const auto& c : cases) {
    LogCapture::Clear();
    logger.Log(c.level, "F", "BRIX/X", 1, "level %d", c.level);
    EXPECT_EQ(LogCapture::Lines().size(), c.passes ? 1u : 0u)
        << "level " << c.level;
    EXPECT_EQ(logger.ShouldLog(static_cast<unsigned>(c.level)), c.passes)
        << "level " << c.level;
  }

  // A later mask replaces the old one entirely.
  logger.SetLogMask(BRIX_INFO);
  LogCapture::Clear();
  logger.Log(BRIX_ERROR, "F", "BRIX/X", 1, "error");
  logger.Log(BRIX_INFO, "F", "BRIX/X", 1, "info");
  const auto lines = LogCapture::Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].message, "info");
}

TEST_F(LoggerTest, CallbackWithMaskZeroIsSilentUntilMaskIsSet) {
  BRIXLogger logger;
  logger.InitLogger(LogCapture::Callback, 0);
  EXPECT_EQ(logger.GetLogMask(), 0u);
  for (int level : {1, 2, 4, 8}) logger.Log(level, "F", "BRIX/X", 1, "m");
  EXPECT_TRUE(LogCapture::Lines().empty());

  logger.SetLogMask(BRIX_TRACE);
  for (int level : {1, 2, 4, 8}) logger.Log(level, "F", "BRIX/X", 1, "m");
  const auto lines = LogCapture::Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 8u);
}

TEST_F(LoggerTest, SecondInitLogsWarningThroughFirstCallbackAndChangesNothing) {
  BRIXLogger logger;
  logger.InitLogger(LogCapture::Callback, BRIX_WARNING | BRIX_ERROR);
  EXPECT_EQ(logger.InitLogger(OtherCallback, BRIX_TRACE), 0);

  auto lines = LogCapture::Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 2u);
  EXPECT_EQ(lines[0].function, "InitLogger");
  EXPECT_EQ(lines[0].file, "BRIX/BRIXLogger");
  EXPECT_EQ(lines[0].message, "BRIX Logging already initialized!");
  EXPECT_NE(lines[0].line, 0u);
  EXPECT_EQ(g_otherCalls, 0);

  // Mask and callback are the first call's.
  EXPECT_EQ(logger.GetLogMask(), unsigned{BRIX_WARNING | BRIX_ERROR});
  LogCapture::Clear();
  logger.Log(BRIX_TRACE, "F", "BRIX/X", 1, "trace");
  logger.Log(BRIX_ERROR, "F", "BRIX/X", 1, "error");
  lines = LogCapture::Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].message, "error");
  EXPECT_EQ(g_otherCalls, 0);
}

TEST_F(LoggerTest, SecondInitWarningIsFilteredByTheMask) {
  BRIXLogger logger;
  logger.InitLogger(LogCapture::Callback, BRIX_TRACE);
  logger.InitLogger(LogCapture::Callback, 15);
  EXPECT_TRUE(LogCapture::Lines().empty());
  EXPECT_EQ(logger.GetLogMask(), unsigned{BRIX_TRACE});
}

TEST_F(LoggerTest, SetCallbackIgnoresNull) {
  BRIXLogger logger;
  logger.InitLogger(LogCapture::Callback, 15);
  logger.SetCallback(nullptr);
  logger.Log(BRIX_INFO, "F", "BRIX/X", 1, "still here");
  EXPECT_TRUE(LogCapture::Contains("still here"));
}

TEST_F(LoggerTest, LongMessageIsCutTo1023Characters) {
  BRIXLogger logger;
  logger.InitLogger(LogCapture::Callback, 15);
  std::string text(1500, 'a');
  text += std::string(500, 'b');
  logger.Log(BRIX_INFO, "F", "BRIX/X", 1, "%s", text.c_str());
  const auto lines = LogCapture::Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].message, std::string(1023, 'a'));
  EXPECT_EQ(lines[0].length, 1023u);

  // Exactly 1023 characters pass whole.
  LogCapture::Clear();
  const std::string fits(1023, 'c');
  logger.Log(BRIX_INFO, "F", "BRIX/X", 1, "%s", fits.c_str());
  ASSERT_EQ(LogCapture::Lines().size(), 1u);
  EXPECT_EQ(LogCapture::Lines()[0].message, fits);
}

TEST(LoggerLevelNames, LevelToString) {
  EXPECT_EQ(BRIXLogger::LogLevelToString(1), "INFO");
  EXPECT_EQ(BRIXLogger::LogLevelToString(2), "WARNING");
  EXPECT_EQ(BRIXLogger::LogLevelToString(4), "ERROR");
  EXPECT_EQ(BRIXLogger::LogLevelToString(8), "TRACE");
  for (unsigned other : {0u, 3u, 5u, 12u, 15u, 16u, 0xffffffffu})
    EXPECT_EQ(BRIXLogger::LogLevelToString(other), "UNKNOWN") << other;
}

TEST_F(LoggerFileTest, CallbackModeCreatesNoFile) {
  {
    BRIXLogger logger;
    logger.InitLogger(LogCapture::Callback, 15);
    logger.Log(BRIX_ERROR, "F", "BRIX/X", 1, "to the host");
  }
  EXPECT_FALSE(std::filesystem::exists(PathIn("LogFile.log")));
}

TEST_F(LoggerFileTest, NullCallbackWritesAllLevelsToLogFile) {
  BRIXLogger logger;
  // The mask argument is ignored in file mode.
  EXPECT_EQ(logger.InitLogger(nullptr, 0), 0);
  EXPECT_TRUE(logger.GetInited());
  EXPECT_EQ(logger.GetLogMask(), 15u);

  logger.Log(BRIX_INFO, "Alpha", "BRIX/BRIX", 10, "one %d", 1);
  logger.Log(BRIX_WARNING, "Beta", "BRIX/BRIXQuery", 20, "two");
  logger.Log(BRIX_ERROR, "Gamma", "BRIX/BRIXDataAccessLayer", -3, "three");
  logger.Log(BRIX_TRACE, "Delta", "BRIX/BRIXStats", 40, "four: %s", "x y");
  logger.Log(0, "Eps", "BRIX/BRIXLogger", 50, "zero");
  logger.Log(16, "Zeta", "BRIX/BRIXLogger", 60, "not in mask");

  // Read while the logger is alive: every line is flushed at once.
  const std::string text = LogText();
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find("\n\n"), std::string::npos);
  EXPECT_EQ(text.find('\r'), std::string::npos);

  const auto lines = SplitLines(text);
  ASSERT_EQ(lines.size(), 5u) << text;
  EXPECT_TRUE(MatchesLine(lines[0], "INFO BRIX/BRIX Alpha 10: one 1"))
      << lines[0];
  EXPECT_TRUE(MatchesLine(lines[1], "WARNING BRIX/BRIXQuery Beta 20: two"))
      << lines[1];
  EXPECT_TRUE(MatchesLine(lines[2],
                          "ERROR BRIX/BRIXDataAccessLayer Gamma -3: three"))
      << lines[2];
  EXPECT_TRUE(MatchesLine(lines[3], "TRACE BRIX/BRIXStats Delta 40: four: x y"))
      << lines[3];
  EXPECT_TRUE(MatchesLine(lines[4], "UNKNOWN BRIX/BRIXLogger Eps 50: zero"))
      << lines[4];
}

TEST_F(LoggerFileTest, FileIsAppendedToNotReplaced) {
  {
    std::ofstream old(PathIn("LogFile.log"));
    old << "earlier line\n";
  }
  BRIXLogger logger;
  logger.InitLogger(nullptr, 0);
  logger.Log(BRIX_INFO, "F", "BRIX/X", 1, "new");
  const auto lines = SplitLines(LogText());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "earlier line");
  EXPECT_TRUE(MatchesLine(lines[1], "INFO BRIX/X F 1: new")) << lines[1];
}

TEST_F(LoggerFileTest, SecondInitWarnsInTheFileAndKeepsFileMode) {
  BRIXLogger logger;
  logger.InitLogger(nullptr, 0);
  logger.InitLogger(LogCapture::Callback, BRIX_ERROR);

  EXPECT_TRUE(LogCapture::Lines().empty());
  EXPECT_EQ(logger.GetLogMask(), 15u);
  logger.Log(BRIX_TRACE, "F", "BRIX/X", 2, "after");

  const auto lines = SplitLines(LogText());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(std::regex_match(
      lines[0], std::regex(std::string(kTimePattern) +
                           R"(WARNING BRIX/BRIXLogger InitLogger \d+: )"
                           R"(BRIX Logging already initialized!)")))
      << lines[0];
  EXPECT_TRUE(MatchesLine(lines[1], "TRACE BRIX/X F 2: after")) << lines[1];
  EXPECT_TRUE(LogCapture::Lines().empty());
}

TEST_F(LoggerFileTest, NullNamesInFileModeWriteThePartialLine) {
  BRIXLogger logger;
  logger.InitLogger(nullptr, 0);
  logger.Log(BRIX_INFO, "Func", nullptr, 5, "lost");
  logger.Log(BRIX_ERROR, nullptr, "BRIX/X", 6, "lost too");
  logger.Log(BRIX_TRACE, "Func", "BRIX/X", 7, "whole");

  const std::string text = LogText();
  const auto lines = SplitLines(text);
  ASSERT_EQ(lines.size(), 3u) << text;
  EXPECT_TRUE(MatchesLine(lines[0], "INFO ")) << lines[0];
  EXPECT_TRUE(MatchesLine(lines[1], "ERROR BRIX/X ")) << lines[1];
  // A bad line does not spoil the next one.
  EXPECT_TRUE(MatchesLine(lines[2], "TRACE BRIX/X Func 7: whole")) << lines[2];
}

TEST_F(LoggerFileTest, LinesFromManyThreadsNeverInterleave) {
  BRIXLogger logger;
  logger.InitLogger(nullptr, 0);
  constexpr int kThreads = 4;
  constexpr int kPerThread = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&logger, t] {
      const std::string payload(100, static_cast<char>('a' + t));
      for (int i = 0; i < kPerThread; ++i)
        logger.Log(BRIX_INFO, "Worker", "BRIX/X", t, "%s", payload.c_str());
    });
  }
  for (auto& th : threads) th.join();

  const auto lines = SplitLines(LogText());
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kPerThread));
  const std::regex pattern(std::string(kTimePattern) +
                           R"(INFO BRIX/X Worker (\d): ([a-d]{100}))");
  for (const auto& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, pattern)) << line;
    EXPECT_EQ(m[2].str(), std::string(100, static_cast<char>(
                                               'a' + std::stoi(m[1].str()))));
  }
}

}  // namespace
