// BRIXSchema.cpp: the scripts that create ac.db and migrate it.
//
// Script 0 creates a version-4 file from nothing; script k (1 to 11) moves a
// version k+3 file to version k+4.  Each sets user_version first and runs
// the rest in one transaction.  Existing files in the field were written by
// these exact scripts, so they are never edited: a change to the schema is
// a new script at the end.
#include "BRIXSchema.h"

const char* const kSchemaScripts[kSchemaScriptCount] = {
    // 0: version 4
    "PRAGMA page_size = 4096; "
    "PRAGMA user_version = 4; "
    "BEGIN TRANSACTION; "
    "CREATE TABLE InventoryItems( inventoryItemId INTEGER PRIMARY KEY AUTOINCREMENT, fileName TEXT, path TEXT, nativePath TEXT, md5 BLOB, sha1 BLOB, sha256 BLOB, size INTEGER, recordTime INTEGER, isAuthorized INTEGER(1), source INTEGER, ruleset TEXT ); "
    "CREATE INDEX InventoryItems_Sha256 ON InventoryItems(sha256); "
    "CREATE INDEX InventoryItems_fileName ON InventoryItems(fileName); "
    "CREATE INDEX InventoryItems_size ON InventoryItems(size); "
    "CREATE TABLE AppControlState( id INTEGER PRIMARY KEY AUTOINCREMENT, settingName TEXT, settingValue TEXT ); "
    "INSERT INTO AppControlState(settingName, settingValue) VALUES('inventoryState', '-1'); "
    "INSERT INTO AppControlState(settingName, settingValue) VALUES('inventoryCookie', ''); "
    "INSERT INTO AppControlState(settingName, settingValue) VALUES('importState', '-1'); "
    "INSERT INTO AppControlState(settingName, settingValue) VALUES('effectiveRulesetIds', ''); "
    "INSERT INTO AppControlState(settingName, settingValue) VALUES('agentVersion', ''); "
    "INSERT INTO AppControlState(settingName, settingValue) VALUES('autoAuthorizeEndTime', '-1'); "
    "INSERT INTO AppControlState(settingName, settingValue) VALUES('autoAuthorizeStartTime', '-1'); "
    "INSERT INTO AppControlState(settingName, settingValue) VALUES('whitelistInventory', '-1'); "
    "INSERT INTO AppControlState(settingName, settingValue) VALUES('enableHTML', '1'); "
    "CREATE VIEW Items AS SELECT inventoryItemId, fileName, path, nativePath, md5, sha1, sha256, size, recordTime, isAuthorized, source, ruleset FROM InventoryItems JOIN AppControlState ON AppControlState.settingName = 'inventoryCookie'; "
    "CREATE INDEX AppControlState_settingName ON AppControlState(settingName); "
    "COMMIT TRANSACTION;",
    // 1: version 5
    "PRAGMA user_version = 5; BEGIN TRANSACTION; CREATE TABLE TrustRules( trustRuleId INTEGER PRIMARY KEY AUTOINCREMENT, processName TEXT, paths TEXT, trustType INTEGER, signerName TEXT, productName TEXT, companyName TEXT, sha256 BLOB ); DROP INDEX InventoryItems_fileName; COMMIT TRANSACTION;",
    // 2: version 6
    "PRAGMA user_version = 6; BEGIN TRANSACTION; ALTER TABLE TrustRules ADD issuerCN TEXT; COMMIT TRANSACTION;",
    // 3: version 7
    "PRAGMA user_version = 7; BEGIN TRANSACTION; ALTER TABLE TrustRules ADD issuerC TEXT; ALTER TABLE TrustRules ADD issuerS TEXT; ALTER TABLE TrustRules ADD issuerL TEXT; ALTER TABLE TrustRules ADD issuerO TEXT; ALTER TABLE TrustRules ADD issuerOU TEXT; COMMIT TRANSACTION;",
    // 4: version 8
    "PRAGMA user_version = 8; BEGIN TRANSACTION; CREATE INDEX InventoryItems_Sha1 ON InventoryItems(sha1); CREATE INDEX InventoryItems_Md5 ON InventoryItems(md5); COMMIT TRANSACTION;",
    // 5: version 9
    "PRAGMA user_version = 9; BEGIN TRANSACTION; ALTER TABLE TrustRules ADD hitcount INTEGER DEFAULT 0; COMMIT TRANSACTION;",
    // 6: version 10
    "PRAGMA user_version = 10; BEGIN TRANSACTION; CREATE INDEX TrustRules_processName ON TrustRules(processName); CREATE INDEX TrustRules_signerName ON TrustRules(signerName); COMMIT TRANSACTION;",
    // 7: version 11
    "PRAGMA user_version = 11; BEGIN TRANSACTION; CREATE INDEX InventoryItems_fileName ON InventoryItems(fileName); COMMIT TRANSACTION;",
    // 8: version 12
    "PRAGMA user_version = 12; BEGIN TRANSACTION; CREATE INDEX TrustRules_trustType ON TrustRules(trustType); ALTER TABLE TrustRules ADD ruleset TEXT; COMMIT TRANSACTION;",
    // 9: version 13
    "PRAGMA user_version = 13; BEGIN TRANSACTION; INSERT INTO AppControlState(settingName, settingValue) VALUES('upgradetime', strftime('%s','now')); COMMIT TRANSACTION;",
    // 10: version 14
    "PRAGMA user_version = 14; BEGIN TRANSACTION; ALTER TABLE TrustRules ADD procUser TEXT; ALTER TABLE TrustRules ADD procGroup TEXT; CREATE INDEX TrustRules_procUser ON TrustRules(procUser); CREATE INDEX TrustRules_procGroup ON TrustRules(procGroup); COMMIT TRANSACTION;",
    // 11: version 15
    "PRAGMA user_version = 15; BEGIN TRANSACTION; ALTER TABLE TrustRules ADD userList TEXT; CREATE INDEX TrustRules_userList ON TrustRules(userList); CREATE TABLE UserList( id TEXT, user TEXT ); CREATE INDEX UserList_id_user ON UserList(id, user); COMMIT TRANSACTION;",
};
