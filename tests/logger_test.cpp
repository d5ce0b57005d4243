// Tests of BRIXLogger on private instances: level filtering, callback
// mode, file mode and its line format, and the one-time initialisation.
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "BRIXLogger.h"
#include "test_util.h"

namespace {

// The file line of a message, with the time part matched loosely.
const char kTimePattern[] = R"(\d{4} \d{2} \d{2} \d{2}:\d{2}:\d{2} )";

bool MatchesLine(const std::string& line, const std::string& rest) {
  static const std::regex kRegexMeta(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_match(
      line, std::regex(kTimePattern + std::regex_replace(rest, kRegexMeta, R"(\$&)")));
}

// A second callback, to tell which one the logger calls; it records
// whether the names reached the host as given.
int g_otherCalls = 0;
const char* g_seenFunction = "unset";
int OtherCallback(unsigned, unsigned, const char* function, const char*,
                  const char*, unsigned) {
  ++g_otherCalls;
  g_seenFunction = function;
  return 0;
}

class LoggerTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    LogCapture::Clear();
    g_otherCalls = 0;
  }
  std::string LogText() const { return ReadFile(PathIn("LogFile.log")); }
};

TEST_F(LoggerTest, NothingIsLoggedBeforeInitLoggerNorToAFileInCallbackMode) {
  {
    BRIXLogger logger;
    // Even with a callback, a path and a full mask in place, an
    // uninitialised logger stays silent.
    logger.SetCallback(LogCapture::Callback);
    logger.SetLogPath("LogFile.log");
    logger.SetLogMask(15);
    logger.Log(BRIX_ERROR, "F", "BRIX/X", 1, "before init");
    logger.Log(0, "F", "BRIX/X", 1, "level zero before init");
    EXPECT_FALSE(logger.ShouldLog(BRIX_ERROR));
  }
  EXPECT_TRUE(LogCapture::Lines().empty());
  {
    BRIXLogger logger;
    logger.InitLogger(LogCapture::Callback, 15);
    logger.Log(BRIX_ERROR, "F", "BRIX/X", 1, "to the host");
  }
  EXPECT_FALSE(std::filesystem::exists(PathIn("LogFile.log")));
}

TEST_F(LoggerTest, CallbackReceivesEveryPart) {
  BRIXLogger logger;
  EXPECT_EQ(logger.InitLogger(LogCapture::Callback, 15), 0);
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
  // A null callback leaves the first in place.
  logger.SetCallback(nullptr);
  logger.Log(BRIX_INFO, "F", "BRIX/X", 1, "still here");
  EXPECT_TRUE(LogCapture::Contains("still here"));

  // Null names are handed on unchanged.
  BRIXLogger other;
  other.InitLogger(OtherCallback, 15);
  other.Log(BRIX_INFO, nullptr, nullptr, 7, "m");
  EXPECT_EQ(g_seenFunction, nullptr);
}

TEST_F(LoggerTest, LevelPassesOnlyWhenAllItsBitsAreInTheMask) {
  const struct {
    unsigned mask;
    int level;
    bool passes;
  } kCases[] = {
      {BRIX_ERROR | BRIX_TRACE, 1, false},  {BRIX_ERROR | BRIX_TRACE, 2, false},
      {BRIX_ERROR | BRIX_TRACE, 4, true},   {BRIX_ERROR | BRIX_TRACE, 8, true},
      {BRIX_ERROR | BRIX_TRACE, 12, true},  {BRIX_ERROR | BRIX_TRACE, 9, false},
      {BRIX_ERROR | BRIX_TRACE, 6, false},  {BRIX_ERROR | BRIX_TRACE, 15, false},
      {BRIX_ERROR | BRIX_TRACE, 16, false}, {BRIX_ERROR | BRIX_TRACE, 0, true},
      // A later mask replaces the old one entirely.
      {BRIX_INFO, 4, false},                {BRIX_INFO, 1, true},
      {0, 1, false},                        {0, 8, false},
  };
  for (const auto& c : kCases) {
    BRIXLogger logger;
    logger.InitLogger(LogCapture::Callback, c.mask == 0 ? 0 : BRIX_ERROR | BRIX_TRACE);
    logger.SetLogMask(c.mask);
    LogCapture::Clear();
    logger.Log(c.level, "F", "BRIX/X", 1, "level %d", c.level);
    SCOPED_TRACE("mask " + std::to_string(c.mask) + " level " + std::to_string(c.level));
    EXPECT_EQ(LogCapture::Lines().size(), c.passes ? 1u : 0u);
    EXPECT_EQ(logger.ShouldLog(static_cast<unsigned>(c.level)), c.passes);
  }
}

TEST_F(LoggerTest, SecondInitWarnsThroughTheFirstCallbackAndChangesNothing) {
  BRIXLogger logger;
  logger.InitLogger(LogCapture::Callback, BRIX_WARNING | BRIX_ERROR);
  EXPECT_EQ(logger.InitLogger(OtherCallback, BRIX_TRACE), 0);
  auto lines = LogCapture::Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 2u);
  EXPECT_EQ(lines[0].function, "InitLogger");
  EXPECT_EQ(lines[0].message, "BRIX Logging already initialized!");
  // Mask and callback are the first call's.
  EXPECT_EQ(logger.GetLogMask(), unsigned{BRIX_WARNING | BRIX_ERROR});
  LogCapture::Clear();
  logger.Log(BRIX_TRACE, "F", "BRIX/X", 1, "trace");
  logger.Log(BRIX_ERROR, "F", "BRIX/X", 1, "error");
  lines = LogCapture::Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].message, "error");
  EXPECT_EQ(g_otherCalls, 0);

  // The warning itself passes the first mask or not at all.
  BRIXLogger traceOnly;
  traceOnly.InitLogger(LogCapture::Callback, BRIX_TRACE);
  LogCapture::Clear();
  traceOnly.InitLogger(LogCapture::Callback, 15);
  EXPECT_TRUE(LogCapture::Lines().empty());
}

TEST_F(LoggerTest, LongMessageIsCutTo1023Characters) {
  BRIXLogger logger;
  logger.InitLogger(LogCapture::Callback, 15);
  logger.Log(BRIX_INFO, "F", "BRIX/X", 1, "%s",
             (std::string(1500, 'a') + std::string(500, 'b')).c_str());
  const std::string fits(1023, 'c');
  logger.Log(BRIX_INFO, "F", "BRIX/X", 1, "%s", fits.c_str());
  const auto lines = LogCapture::Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].message, std::string(1023, 'a'));
  EXPECT_EQ(lines[0].length, 1023u);
  EXPECT_EQ(lines[1].message, fits);
}

TEST_F(LoggerTest, NullCallbackAppendsAllLevelsToLogFile) {
  std::ofstream(PathIn("LogFile.log")) << "earlier line\n";
  BRIXLogger logger;
  // The mask argument is ignored in file mode.
  EXPECT_EQ(logger.InitLogger(nullptr, 0), 0);
  EXPECT_EQ(logger.GetLogMask(), 15u);
  logger.Log(BRIX_INFO, "Alpha", "BRIX/BRIX", 10, "one %d", 1);
  logger.Log(BRIX_WARNING, "Beta", "BRIX/BRIXQuery", 20, "two");
  logger.Log(BRIX_ERROR, "Gamma", "BRIX/BRIXDataAccessLayer", -3, "three");
  logger.Log(BRIX_TRACE, "Delta", "BRIX/BRIXStats", 40, "four: %s", "x y");
  logger.Log(0, "Eps", "BRIX/BRIXLogger", 50, "zero");
  logger.Log(16, "Zeta", "BRIX/BRIXLogger", 60, "not in mask");
  // A null name writes what it can, and does not spoil the next line.
  logger.Log(BRIX_INFO, "Func", nullptr, 5, "lost");
  logger.Log(BRIX_ERROR, nullptr, "BRIX/X", 6, "lost too");

  // A second start warns in the file and keeps file mode.
  logger.InitLogger(LogCapture::Callback, BRIX_ERROR);
  EXPECT_EQ(logger.GetLogMask(), 15u);
  EXPECT_TRUE(LogCapture::Lines().empty());

  // Read while the logger is alive: every line is flushed at once.
  const std::string text = LogText();
  EXPECT_EQ(text.find('\r'), std::string::npos);
  const std::vector<std::string> expected = {
      "INFO BRIX/BRIX Alpha 10: one 1",
      "WARNING BRIX/BRIXQuery Beta 20: two",
      "ERROR BRIX/BRIXDataAccessLayer Gamma -3: three",
      "TRACE BRIX/BRIXStats Delta 40: four: x y",
      "UNKNOWN BRIX/BRIXLogger Eps 50: zero",
      "INFO ",
      "ERROR BRIX/X "};
  const auto lines = TextLines(text);
  ASSERT_EQ(lines.size(), expected.size() + 2) << text;
  EXPECT_EQ(lines[0], "earlier line");
  for (size_t i = 0; i < expected.size(); ++i)
    EXPECT_TRUE(MatchesLine(lines[i + 1], expected[i])) << lines[i + 1];
  EXPECT_TRUE(std::regex_match(
      lines.back(), std::regex(std::string(kTimePattern) +
                               R"(WARNING BRIX/BRIXLogger InitLogger \d+: )"
                               R"(BRIX Logging already initialized!)")))
      << lines.back();
}

TEST_F(LoggerTest, LinesFromManyThreadsNeverInterleave) {
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
  const auto lines = TextLines(LogText());
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kPerThread));
  const std::regex pattern(std::string(kTimePattern) +
                           R"(INFO BRIX/X Worker (\d): ([a-d]{100}))");
  for (const auto& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, pattern)) << line;
    EXPECT_EQ(m[2].str(), std::string(100, static_cast<char>('a' + std::stoi(m[1].str()))));
  }
}

}  // namespace
