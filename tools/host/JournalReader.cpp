#include "JournalReader.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <utility>

namespace brix_host {

namespace {

constexpr size_t kListedProblems = 10;

// Rotated files beside `path`: PATH.1, PATH.2 ... with their numbers.
std::vector<std::pair<unsigned long, std::string>> RotatedFiles(const std::string& path) {
  std::vector<std::pair<unsigned long, std::string>> found;
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".";
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return found;
  while (const struct dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string number = name.substr(prefix.size());
    if (number.size() > 6 || number[0] == '0' ||
        number.find_first_not_of("0123456789") != std::string::npos)
      continue;
    found.emplace_back(std::stoul(number), path + "." + number);
  }
  closedir(dir);
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace

std::vector<std::string> JournalFiles(const std::vector<std::string>& paths) {
  std::vector<std::string> files;
  std::set<std::pair<dev_t, ino_t>> seen;
  auto add = [&](const std::string& file) {
    struct stat st {};
    if (stat(file.c_str(), &st) == 0) {
      if (!seen.insert({st.st_dev, st.st_ino}).second) return;
    } else if (std::find(files.begin(), files.end(), file) != files.end()) {
      return;  // missing twice: one error is enough
    }
    files.push_back(file);
  };
  for (const std::string& path : paths) {
    auto rotated = RotatedFiles(path);
    for (auto it = rotated.rbegin(); it != rotated.rend(); ++it) add(it->second);
    add(path);
  }
  return files;
}

bool ReadJournals(const std::vector<std::string>& paths, const JournalFilter& filter,
                  const std::function<void(const JournalRecord&)>& take,
                  JournalReading* reading, std::string* error) {
  for (const std::string& file : JournalFiles(paths)) {
    struct stat st {};
    if (stat(file.c_str(), &st) != 0) {
      *error = "cannot read journal " + file + ": " + strerror(errno);
      return false;
    }
    if (!S_ISREG(st.st_mode)) {
      *error = "cannot read journal " + file + ": not a regular file";
      return false;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      *error = "cannot read journal " + file + ": " + strerror(errno);
      return false;
    }
    reading->files.push_back(file);
    std::string line;
    uint64_t number = 0;
    while (std::getline(in, line)) {
      ++number;
      ++reading->lines;
      // getline stops at the end of the file without a line feed only on
      // the last line: the one a writer may not have finished.
      const bool complete = !in.eof();
      if (line.empty()) continue;
      JournalRecord record;
      std::string why;
      if (!ParseJournalLine(line, &record, &why)) {
        if (!complete) {
          ++reading->truncated;
          continue;
        }
        if (++reading->badLines <= kListedProblems)
          reading->problems.push_back(file + ":" + std::to_string(number) + ": " + why);
        continue;
      }
      if (record.timeMillis < filter.sinceMillis || record.timeMillis > filter.untilMillis) {
        ++reading->outsideTime;
        continue;
      }
      ++reading->records;
      take(record);
    }
    if (in.bad()) {
      *error = "cannot read journal " + file + ": " + strerror(errno);
      return false;
    }
  }
  return true;
}

}  // namespace brix_host
