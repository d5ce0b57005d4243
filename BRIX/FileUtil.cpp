#include "FileUtil.h"

#include <sys/time.h>

uint64_t GetCurrentTimeInMillis() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<uint64_t>(tv.tv_sec) * 1000 +
         static_cast<uint64_t>(tv.tv_usec) / 1000;
}

uint64_t convertTimeToMillis(uint64_t t) {
  if (t > 9999999999999ULL) return t / 1000;  // microseconds
  if (t <= 9999999999ULL) return t * 1000;    // seconds
  return t;                                   // milliseconds
}
