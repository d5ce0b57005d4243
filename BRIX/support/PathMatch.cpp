#include "PathMatch.h"

#include <vector>

#include "BRIXLogger.h"

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool IsGlobstarAt(const std::string& pattern, size_t pos) {
  return pattern.compare(pos, 3, "**/") == 0 ||
         pattern.compare(pos, 3, "**\\") == 0;
}

}  // namespace

bool MatchFunction(std::string text, std::string pattern) {
  if (text.compare(0, pattern.size(), pattern) == 0) return true;
  if (pattern.find_first_of("*?") == std::string::npos) return false;
  const size_t len = pattern.size();
  if (len >= 2 && pattern[len - 1] == '*' && pattern[len - 2] == '*')
    pattern += "/*";
  if (!pattern.empty() && IsSeparator(pattern.back())) pattern += "*";

  const size_t m = pattern.size();
  const size_t n = text.size();
  const size_t width = n + 1;
  // D[i][j]: the first i pattern characters match the first j text ones.
  std::vector<unsigned char> table((m + 1) * width, 0);
  auto D = [&](size_t i, size_t j) -> unsigned char& {
    return table[i * width + j];
  };
  D(0, 0) = 1;

  for (size_t i = 1; i <= m; ++i) {
    const char p = pattern[i - 1];
    D(i, 0) = D(i - 1, 0) && p == '*';
    if (i + 2 <= m && IsGlobstarAt(pattern, i - 1)) {
      // Rows i, i+1 and i+2 are the one group.  After the first separator
      // the group consumes, it can end only just after a separator.
      bool afterSeparator = false;
      for (size_t j = 1; j <= n; ++j) {
        const char c = text[j - 1];
        unsigned char v;
        if (afterSeparator) {
          v = IsSeparator(c);
        } else if (D(i - 1, j) || D(i, j - 1)) {
          v = 1;
          if (D(i, j - 1) && IsSeparator(c)) afterSeparator = true;
        } else {
          v = 0;
        }
        D(i, j) = v;
        D(i + 1, j) = v;
        D(i + 2, j) = v;
      }
      D(i + 1, 0) = D(i, 0);
      D(i + 2, 0) = D(i, 0);
      i += 2;
      continue;
    }
    for (size_t j = 1; j <= n; ++j) {
      const char c = text[j - 1];
      if (p == '*')
        D(i, j) = D(i - 1, j) || (!IsSeparator(c) && D(i, j - 1));
      else if (p == '?')
        D(i, j) = !IsSeparator(c) && D(i - 1, j - 1);
      else
        D(i, j) = D(i - 1, j - 1) && p == c;
    }
  }
  return D(m, n) != 0;
}

bool MatchEventPathWithRulePath(const std::string& eventPath,
                                const std::string& rulePaths) {
  size_t start = 0;
  while (start <= rulePaths.size()) {
    size_t end = rulePaths.find(';', start);
    if (end == std::string::npos) end = rulePaths.size();
    if (end > start) {
      const std::string piece = rulePaths.substr(start, end - start);
      if (MatchFunction(eventPath, piece)) {
        BRIX_LOG(BRIX_TRACE, kLogFileDAL,
                 "Match found between event path [%s] and rule path [%s]",
                 eventPath.c_str(), piece.c_str());
        return true;
      }
    }
    start = end + 1;
  }
  return false;
}

void split(const std::string& text, char delimiter,
           std::list<std::string>& out) {
  size_t start = 0;
  while (true) {
    size_t end = text.find(delimiter, start);
    const size_t stop = end == std::string::npos ? text.size() : end;
    const size_t first = text.find_first_not_of(" \t", start);
    if (first != std::string::npos && first < stop) {
      const size_t last = text.find_last_not_of(" \t", stop - 1);
      out.push_back(text.substr(first, last - first + 1));
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
}
