/*
 * brix_sql.h: the SQL texts of the rule store's prepared statements.
 *
 * Exported so that tools and hosts can read the exact queries the engine
 * runs against ac.db (for example to inspect a database by hand).  Each
 * symbol points at its statement text; the engine prepares its statements
 * from these pointers when it opens the database.
 */
#ifndef BRIX_INCLUDE_BRIX_SQL_H_
#define BRIX_INCLUDE_BRIX_SQL_H_

#include "brix.h"

#ifdef __cplusplus
extern "C" {
#endif

BRIX_EXPORT extern const char* InsertItemSQL;
BRIX_EXPORT extern const char* InsertTrustRuleSQL;
BRIX_EXPORT extern const char* InsertUserListSQL;
BRIX_EXPORT extern const char* UpdatePrelinkItemSQL;
BRIX_EXPORT extern const char* LookupMD5_CountSQL;
BRIX_EXPORT extern const char* LookupSHA1_CountSQL;
BRIX_EXPORT extern const char* LookupItemAuthSQL;
BRIX_EXPORT extern const char* LookupItemAuthRulesetSQL;
BRIX_EXPORT extern const char* LookupItemAlternateSHA1HashSQL;
BRIX_EXPORT extern const char* LookupItemAlternateMD5HashSQL;
BRIX_EXPORT extern const char* LookupTrustRuleSQL;
BRIX_EXPORT extern const char* LookupUserListSQL;
BRIX_EXPORT extern const char* UpdateTrustRuleHitcountSQL;
BRIX_EXPORT extern const char* MetricsLookupTrustRuleSQL;
BRIX_EXPORT extern const char* LookupRuleCountSQL;
BRIX_EXPORT extern const char* LookupTrustRuleCountSQL;
BRIX_EXPORT extern const char* LookupUserGroupTrustRuleCountSQL;
BRIX_EXPORT extern const char* LookupRulesetCountSQL;
BRIX_EXPORT extern const char* DeleteInventoryItemsSQL;
BRIX_EXPORT extern const char* GetAcStateSQL;
BRIX_EXPORT extern const char* SetAcStateSQL;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* BRIX_INCLUDE_BRIX_SQL_H_ */
