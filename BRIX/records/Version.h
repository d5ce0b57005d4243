// Version.h: the engine's own version, reported in the metrics and compared
// with the stored agent version to detect an upgrade.
#ifndef BRIX_VERSION_H_
#define BRIX_VERSION_H_

inline constexpr char BRIX_VERSION[] = "12.0.178";

#endif  // BRIX_VERSION_H_
