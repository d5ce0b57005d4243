// The pattern language of trust-rule paths and process names.
#include <gtest/gtest.h>

#include <list>
#include <string>

#include "PathMatch.h"

namespace {

TEST(MatchFunction, PatternAgainstPath) {
  const struct {
    const char* pattern;
    const char* text;
    bool matches;
  } kCases[] = {
      // A pattern that starts the text matches, whatever the boundaries.
      {"/usr/bin", "/usr/binx/ls", true},
      {"/usr/bin/", "/usr/bin/sub/ls", true},
      {"", "/anything", true},
      {"", "", true},
      {"/usr/bin/ls", "/usr/bin", false},
      // '*' stays within one component.
      {"/usr/bin/*", "/usr/bin/ls", true},
      {"/usr/bin/*", "/usr/bin/sub/ls", false},
      {"/home/*/x", "/home/u/x", true},
      {"/home/*/x", "/home/u/v/x", false},
      {"*", "abc", true},
      {"*", "/a/b/c", false},
      {"*", "", true},
      // '?' is one non-separator character.
      {"/tmp/f?.sh", "/tmp/f1.sh", true},
      {"/tmp/f?.sh", "/tmp/f12.sh", false},
      {"/tmp/f?.sh", "/tmp/f/.sh", false},
      {"/tmp/*.sh", "/tmp/a/f1.sh", false},
      {"/tmp/*.sh", "/tmp/f1.sh", true},
      // A trailing "**" becomes "**/*".
      {"/usr/**", "/usr/ls", true},
      {"/usr/**", "/usr/a/b/c/ls", true},
      {"/a/b/**", "/a/b", false},
      {"/a/b/**", "/a/b/c/d", true},
      // Globstar groups in the middle.
      {"/opt/**/bin/*", "/opt/bin/x", true},
      {"/opt/**/bin/*", "/opt/a/bin/x", true},
      {"/opt/**/bin/*", "/opt/a/b/bin/x", true},
      {"/opt/**/bin/*", "/opt/axbin/x", true},
      {"/opt/**/bin/*", "/opt/a/xbin/x", false},
      {"/a/**/b", "/a/b", true},
      {"/a/**/b", "/a/x/y/b", true},
      {"/a/**/b", "/a/xb", true},
      {"/a/**/b", "/a/x/c", false},
      // Backslash is a separator too.
      {"C:\\Windows\\*", "C:\\Windows\\cmd.exe", true},
      {"C:\\Windows\\*", "C:\\Windows\\System32\\cmd.exe", false},
      {"C:\\**\\cmd.exe", "C:\\Windows\\System32\\cmd.exe", true},
      {"/usr/*\\x", "/usr/a\\x", true},
      // A trailing separator gets a '*' once wildcards are involved.
      {"/usr/*/", "/usr/lib/libc.so", true},
      {"/usr/*\\", "/usr/lib\\libc.so", true},
      {"/usr/*/", "/usr/lib/x/libc.so", false},
      // Case-sensitive, byte by byte.
      {"/usr/bin/L*", "/usr/bin/ls", false},
      {"/usr/?in/ls", "/usr/bin/ls", true},
      // Empty text against a wildcard pattern.
      {"?", "", false},
      {"**", "", true},  // "**/*": every row may stay empty
  };
  for (const auto& c : kCases)
    EXPECT_EQ(MatchFunction(c.text, c.pattern), c.matches)
        << "pattern [" << c.pattern << "] text [" << c.text << "]";
}

TEST(MatchEventPath, AnyPieceOfTheListMatches) {
  EXPECT_TRUE(MatchEventPathWithRulePath("/usr/bin/ls", ";/opt/;/usr/bin/;"));
  EXPECT_TRUE(MatchEventPathWithRulePath("/opt/x", "/opt/"));
  EXPECT_FALSE(MatchEventPathWithRulePath("/usr/sbin/ls", ";/opt/;/usr/bin/;"));
  // Empty pieces are skipped rather than matching everything.
  EXPECT_FALSE(MatchEventPathWithRulePath("/usr/bin/ls", ""));
  EXPECT_FALSE(MatchEventPathWithRulePath("/usr/bin/ls", ";;;"));
  // Pieces are not trimmed.
  EXPECT_FALSE(MatchEventPathWithRulePath("/usr/bin/ls", " /usr/bin/"));
}

TEST(Split, TrimsAndDropsEmptyPieces) {
  std::list<std::string> out{"kept"};
  split(" users,\twheel , ,staff\t", ',', out);
  EXPECT_EQ(out, (std::list<std::string>{"kept", "users", "wheel", "staff"}));
  out.clear();
  split("", ',', out);
  EXPECT_TRUE(out.empty());
  split("solo", ',', out);
  EXPECT_EQ(out, (std::list<std::string>{"solo"}));
  out.clear();
  split(",,", ',', out);
  EXPECT_TRUE(out.empty());
}

}  // namespace
