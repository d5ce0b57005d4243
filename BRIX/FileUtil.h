// FileUtil.h: time and file helpers shared by every part of the engine.
#ifndef BRIX_FILEUTIL_H_
#define BRIX_FILEUTIL_H_

#include <cstdint>

// Milliseconds since the Unix epoch, from the wall clock.
uint64_t GetCurrentTimeInMillis();

// A time in seconds, milliseconds or microseconds, told apart by its number
// of decimal digits (at most 10: seconds; 14 or more: microseconds), in
// milliseconds.
uint64_t convertTimeToMillis(uint64_t t);

#endif  // BRIX_FILEUTIL_H_
