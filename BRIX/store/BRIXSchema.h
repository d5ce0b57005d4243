// BRIXSchema.h: the creation and migration scripts of ac.db.
#ifndef BRIX_BRIXSCHEMA_H_
#define BRIX_BRIXSCHEMA_H_

#include <cstddef>

inline constexpr int CURRENT_SCHEMA_VERSION = 15;
// The oldest version a script can migrate from.
inline constexpr int kOldestMigratableVersion = 4;
inline constexpr size_t kSchemaScriptCount = 12;

// Index 0 creates a version-4 file; index k migrates version k+3 to k+4.
extern const char* const kSchemaScripts[kSchemaScriptCount];

#endif  // BRIX_BRIXSCHEMA_H_
