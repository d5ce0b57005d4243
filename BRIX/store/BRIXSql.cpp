// BRIXSql.cpp: the texts of the rule store's statements, one per line, as
// the engine prepares them.  They are part of the library's exported
// surface; a byte changed here changes what hosts see.
#include "brix_sql.h"

extern "C" {

const char* InsertItemSQL = "INSERT INTO InventoryItems( md5, sha1, sha256, source, fileName, path, nativePath, size, recordTime, isAuthorized, ruleset ) VALUES( :md5, :sha1, :sha256, :source, :fileName, :path, :nativePath, :size, :recordTime, :isAuthorized, :ruleset );";
const char* InsertTrustRuleSQL = "INSERT INTO TrustRules( processName, paths, trustType, signerName, productName, companyName, sha256, issuerCN, issuerC, issuerL, issuerS, issuerO, issuerOU, ruleset, procUser, procGroup, userList ) VALUES( :processName, :paths, :trustType, :signerName, :productName, :companyName, :sha256, :issuerCN, :issuerC, :issuerL, :issuerS, :issuerO, :issuerOU, :ruleset, :procUser, :procGroup, :userList );";
const char* InsertUserListSQL = "INSERT INTO UserList( id, user ) VALUES( :id, :user );";
const char* UpdatePrelinkItemSQL = "UPDATE InventoryItems SET sha256 = :hash, size = :size, recordTime = :recordTime WHERE source = 5 and sha256 = :oldhash and path = :path and fileName = :fileName ;";
const char* LookupMD5_CountSQL = "select count(*) FROM inventoryItems where source = 2 and md5 IS NOT NULL;";
const char* LookupSHA1_CountSQL = "select count(*) FROM inventoryItems where source = 2 and sha1 IS NOT NULL;";
const char* LookupItemAuthSQL = "SELECT * FROM InventoryItems WHERE(sha256 = :hash) and (size = 0 or size = :size) ORDER BY inventoryItemId DESC LIMIT 1;";
const char* LookupItemAuthRulesetSQL = "SELECT * FROM InventoryItems WHERE(sha256 = :hash) and (size = 0 or size = :size) AND (source = 2 OR source = 1) ORDER BY inventoryItemId DESC LIMIT 1;";
const char* LookupItemAlternateSHA1HashSQL = "SELECT * FROM InventoryItems WHERE((LENGTH(sha256) IS NULL) AND(sha1 = :sha1)) ORDER BY inventoryItemId DESC LIMIT 1;";
const char* LookupItemAlternateMD5HashSQL = "SELECT * FROM InventoryItems WHERE((LENGTH(sha256) IS NULL) AND (md5 = :md5 )) ORDER BY inventoryItemId DESC LIMIT 1;";
const char* LookupTrustRuleSQL = "SELECT trustRuleId, paths, hitcount, processName, ruleset, procGroup FROM TrustRules LEFT JOIN UserList ON TrustRules.userList = UserList.id WHERE (processName is NULL or processName = :processName or instr(processName,'?') or instr(processName,'*')) and (trustType = 0 or trustType = :trustType) and (signerName is NULL or signerName = :signerName) and (productName is NULL or productName = :productName) and (companyName is NULL or companyName = :companyName) and (sha256 is NULL or sha256 = :sha256) and (issuerCN is NULL or issuerCN= :issuerCN) and (issuerC is NULL or issuerC= :issuerC) and (issuerS is NULL or issuerS= :issuerS) and (issuerL is NULL or issuerL= :issuerL) and (issuerO is NULL or issuerO= :issuerO) and (issuerOU is NULL or issuerOU= :issuerOU) and (procGroup is NULL or INSTR(:procGroup, procGroup)) and ((TrustRules.userList is NULL and TrustRules.procUser is NULL) or (TrustRules.procUser = :procUser or UserList.user = :procUser)) ORDER BY trustRuleId ;";
const char* LookupUserListSQL = "SELECT user FROM UserList WHERE id = :id ;";
const char* UpdateTrustRuleHitcountSQL = "UPDATE TrustRules SET hitcount = :hitcount WHERE (trustRuleId = :trustRuleId) ;";
const char* MetricsLookupTrustRuleSQL = "SELECT trustRuleId, paths, hitcount, processName, ruleset, trustType, signerName, productName, companyName, sha256, issuerCN, issuerC, issuerS, issuerL, issuerO, issuerOU, procUser, procGroup, userList FROM TrustRules WHERE hitcount >= 1 ;";
const char* LookupRuleCountSQL = "SELECT count(*) totalInventoryItems, SUM(CASE WHEN source=1 THEN 1 ELSE 0 END) agentRules, SUM(CASE WHEN source=2 THEN 1 ELSE 0 END) executionRules, SUM(CASE WHEN source=3 THEN 1 ELSE 0 END) scannedItems, SUM(CASE WHEN source=4 THEN 1 ELSE 0 END) approvedDrift FROM InventoryItems;";
const char* LookupTrustRuleCountSQL = "SELECT count(*) totalTrustRules FROM TrustRules;";
const char* LookupUserGroupTrustRuleCountSQL = "SELECT count(*) totalUserGroupTrustRules FROM TrustRules WHERE procUser IS NOT NULL OR procGroup IS NOT NULL OR userList IS NOT NULL;";
const char* LookupRulesetCountSQL = "SELECT ruleset, count(*) totalRules FROM InventoryItems WHERE ruleset != '' GROUP BY ruleset;";
const char* DeleteInventoryItemsSQL = "DELETE FROM InventoryItems WHERE(fileName = :fileName) AND (path IN (:path, :path2)) AND (source = 3 OR source = 4);";
const char* GetAcStateSQL = "SELECT settingValue FROM AppControlState WHERE (settingName = :setting);";
const char* SetAcStateSQL = "UPDATE AppControlState SET settingValue = :value WHERE (settingName = :setting);";

}  // extern "C"
