/*
 * brix.h: the boundary between a host agent and the brix engine.
 *
 * A host loads brix.so, starts the engine once with engine_start, passes
 * every monitored event to app_ctl and stops the engine with engine_stop.
 * Every function returns an unsigned 32-bit status (BRIX_STATUS_*); app_ctl
 * alone may also return BRIX_STATUS_BLOCK, which tells the host to refuse
 * the operation.
 *
 * The records below are wire layouts: little-endian with 64-bit pointers,
 * at the offsets asserted at the end of this file.  Text pointers are
 * NUL-terminated; a null pointer means "not given".  The engine only reads
 * the host's records during the call and copies what it keeps.
 *
 * Threads: call engine_start first and engine_stop last, from one thread,
 * while no other call runs.  Everything in between may be called from any
 * number of host threads at once.
 */
#ifndef BRIX_INCLUDE_BRIX_H_
#define BRIX_INCLUDE_BRIX_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#else
#include <stdbool.h>
#endif

#if defined(BRIX_BUILDING_LIBRARY)
#define BRIX_EXPORT __attribute__((visibility("default")))
#else
#define BRIX_EXPORT
#endif

/* Status codes. */
#define BRIX_STATUS_SUCCESS 0x00000000u
#define BRIX_STATUS_BLOCK 0x00000001u               /* app_ctl: block it */
#define BRIX_STATUS_FAILED 0xc0000000u              /* failure, error verdict */
#define BRIX_STATUS_NULL_LENGTH 0xc0000001u         /* null length pointer */
#define BRIX_STATUS_NOT_STARTED 0xc0000002u         /* engine not started */
#define BRIX_STATUS_BAD_PATH 0xc0000004u            /* bad or refused path */
#define BRIX_STATUS_DB_INIT_FAILED 0xc0000006u      /* database did not open */
#define BRIX_STATUS_LOGGER_INIT_FAILED 0xc0000007u  /* logger did not start */
#define BRIX_STATUS_NULL_EVENT 0xc000000bu          /* null event */
#define BRIX_STATUS_INCOMPLETE_ITEM 0xc000000cu     /* item lacks a text */
#define BRIX_STATUS_NULL_RULESET 0xc000000du        /* null ruleset or name */
#define BRIX_STATUS_NULL_START_RECORD 0xc000000eu   /* null start record */
#define BRIX_STATUS_BUFFER_TOO_SMALL 0xc000000fu    /* size returned */

/* Log level bits, for the start record's mask and set_loglevel. */
#define BRIX_LOG_INFO 1u
#define BRIX_LOG_WARNING 2u
#define BRIX_LOG_ERROR 4u
#define BRIX_LOG_TRACE 8u

/* set_config mode bits. */
#define BRIX_MODE_LOCKDOWN 1u
#define BRIX_MODE_INVENTORY_EXISTS 2u
#define BRIX_MODE_RULESET_EXISTS 4u
#define BRIX_MODE_AUTO_AUTHORIZE 8u /* maintenance window */
#define BRIX_MODE_ALLOWLIST_INVENTORY 16u

/* Verdicts found in ac_wrapper_response_s.action. */
#define BRIX_ACTION_NONE 0u
#define BRIX_ACTION_NOT_RELEVANT 7u
#define BRIX_ACTION_ERROR 8u
#define BRIX_ACTION_ALLOW 9u
#define BRIX_ACTION_BLOCK 10u

/* Source of an inventory item; also the selector of purge_db and
 * get_inventory. */
typedef enum DALSource {
  DAL_SOURCE_ALL = 0,
  DAL_SOURCE_AGENT_RULES = 1,
  DAL_SOURCE_EXECUTION_RULES = 2,
  DAL_SOURCE_SCANNED_ITEMS = 3,
  DAL_SOURCE_APPROVED_DRIFT = 4,
  DAL_SOURCE_PRELINK = 5,
  DAL_SOURCE_TRUST_RULES = 6
} DALSource;

/* Host log callback.  Called from the thread that logs, possibly from
 * several threads at once; message is NUL-terminated and length is its
 * strlen.  The result is ignored. */
typedef int (*ac_log_callback_t)(unsigned level, unsigned line,
                                 const char* function, const char* file,
                                 const char* message, unsigned length);

/* Passed to engine_start. */
typedef struct ac_engine_start_s {
  uint64_t reserved0;             /* not read */
  const char* dbPath;             /* null: keep the default "ac.db" */
  uint32_t logMask;               /* set of BRIX_LOG_* bits */
  uint32_t padding;
  uint64_t reserved1;             /* not read */
  uint64_t reserved2;             /* not read */
  ac_log_callback_t logCallback;  /* null: log to "LogFile.log" */
} ac_engine_start_s;

/* One monitored event, host to engine. */
typedef struct ac_wrapper_event_s {
  uint64_t reserved0;   /* not read */
  uint64_t pid;         /* acting process */
  uint64_t auxiliary1;  /* carried, never read */
  uint64_t flags;       /* open flags (0x40 create, 0x200 truncate) */
  uint64_t result;      /* outcome of an after-the-fact operation; 0 = ok */
  uint64_t auxiliary2;  /* carried, never read */
  uint64_t size;        /* target size in bytes */
  uint64_t mode;        /* target mode; mappings: protection (4 = exec) */
  uint64_t auxiliary3;  /* carried, never read */
  uint8_t dirty;        /* target was written */
  uint8_t isexec;       /* target carries an execute permission */
  uint8_t trusted;      /* host vouches for the acting process */
  uint8_t isSymlink;    /* target is a symbolic link */
  uint32_t type;        /* host event type code */
  const char* processName;
  const char* name;
  const char* cmdLine;
  const char* processSignerName;
  const char* processIssuerCN;
  const char* processIssuerC;
  const char* processIssuerS;
  const char* processIssuerL;
  const char* processIssuerO;
  const char* processIssuerOU;
  const char* processCompanyName;
  const char* processProductName;
  const char* fileSignerName;
  const char* fileIssuerCN;
  const char* fileIssuerC;
  const char* fileIssuerS;
  const char* fileIssuerL;
  const char* fileIssuerO;
  const char* fileIssuerOU;
  const char* fileCompanyName;
  const char* fileProductName;
  const unsigned char* fileSha256;     /* 32 bytes */
  const unsigned char* fileSha1;       /* 20 bytes */
  const unsigned char* fileMd5;        /* 16 bytes */
  const unsigned char* processSha256;  /* 32 bytes */
  const char* user;
  const char* group;
  const char* oldName;  /* previous path, for renames */
} ac_wrapper_event_s;

/* The engine's verdict, engine to host.  Cleared, then filled. */
typedef struct ac_wrapper_response_s {
  uint32_t action;        /* BRIX_ACTION_* */
  uint32_t itemType;      /* classification of the target */
  uint32_t source;        /* DALSource of the matching rule or item */
  uint32_t isAuthorized;  /* 0 unknown .. 5 excluded */
  uint32_t type;          /* event category after abstraction */
  uint32_t reserved;      /* 0 */
  uint32_t decision;      /* 0 unknown, 1 allowed, 2 blocked */
  char ruleset[80];       /* not NUL-terminated when 80 bytes long */
  uint32_t padding;       /* 0 */
  uint64_t changeTime;    /* target birth time, ns since the epoch */
} ac_wrapper_response_s;

/* One inventory item found by the host's own scan, for store_item. */
typedef struct ac_db_item_s {
  uint64_t reserved0;
  unsigned char md5[16];
  unsigned char sha1[20];
  unsigned char sha256[32];
  uint32_t source;          /* DALSource */
  uint64_t reserved1;
  const char* fileName;     /* required */
  const char* path;         /* required */
  const char* nativePath;   /* required: full path */
  uint64_t size;
  uint64_t reserved2;
  uint8_t isAuthorized;     /* non-zero: on the allow list */
  uint8_t reserved3[7];
  const char* ruleset;      /* required, may be "" */
} ac_db_item_s;

BRIX_EXPORT uint32_t engine_start(const ac_engine_start_s* start);
BRIX_EXPORT uint32_t engine_stop(void);
BRIX_EXPORT uint32_t app_ctl(void* ignored, const ac_wrapper_event_s* event,
                             ac_wrapper_response_s* response);
BRIX_EXPORT uint32_t set_config(uint32_t modeBits, uint64_t windowStart,
                                uint64_t windowEnd);
BRIX_EXPORT uint32_t set_loglevel(uint32_t mask);
BRIX_EXPORT uint32_t get_metrics_mem(char* buffer, uint32_t* length);
BRIX_EXPORT uint32_t delete_db(void);
BRIX_EXPORT uint32_t purge_db(DALSource source);
BRIX_EXPORT uint32_t flush_db_buffer(void);
BRIX_EXPORT uint32_t store_item(const ac_db_item_s* item, int buffered);
BRIX_EXPORT uint32_t set_ruleset_buffer(bool append, const char* ruleset,
                                        const char* name);
BRIX_EXPORT uint32_t set_ruleset(bool append, const char* path,
                                 const char* name);
BRIX_EXPORT uint32_t get_inventory(uint64_t lastItemId, uint64_t limit,
                                   DALSource source, const char* payloadPath,
                                   const char* scanId);

#ifdef __cplusplus
} /* extern "C" */
#define BRIX_STATIC_ASSERT(e, m) static_assert(e, m)
#else
#define BRIX_STATIC_ASSERT(e, m) _Static_assert(e, m)
#endif

/* The wire layouts; a compiler that lays them out otherwise must fail. */
#define BRIX_AT(T, f, o) BRIX_STATIC_ASSERT(offsetof(T, f) == (o), #T "." #f)
BRIX_STATIC_ASSERT(sizeof(void*) == 8, "brix needs 64-bit pointers");
BRIX_AT(ac_engine_start_s, dbPath, 8);
BRIX_AT(ac_engine_start_s, logMask, 16);
BRIX_AT(ac_engine_start_s, padding, 20);
BRIX_AT(ac_engine_start_s, reserved1, 24);
BRIX_AT(ac_engine_start_s, reserved2, 32);
BRIX_AT(ac_engine_start_s, logCallback, 40);
BRIX_STATIC_ASSERT(sizeof(ac_engine_start_s) == 48, "ac_engine_start_s");

BRIX_AT(ac_wrapper_event_s, pid, 8);
BRIX_AT(ac_wrapper_event_s, auxiliary1, 16);
BRIX_AT(ac_wrapper_event_s, flags, 24);
BRIX_AT(ac_wrapper_event_s, result, 32);
BRIX_AT(ac_wrapper_event_s, auxiliary2, 40);
BRIX_AT(ac_wrapper_event_s, size, 48);
BRIX_AT(ac_wrapper_event_s, mode, 56);
BRIX_AT(ac_wrapper_event_s, auxiliary3, 64);
BRIX_AT(ac_wrapper_event_s, dirty, 72);
BRIX_AT(ac_wrapper_event_s, isexec, 73);
BRIX_AT(ac_wrapper_event_s, trusted, 74);
BRIX_AT(ac_wrapper_event_s, isSymlink, 75);
BRIX_AT(ac_wrapper_event_s, type, 76);
BRIX_AT(ac_wrapper_event_s, processName, 80);
BRIX_AT(ac_wrapper_event_s, name, 88);
BRIX_AT(ac_wrapper_event_s, cmdLine, 96);
BRIX_AT(ac_wrapper_event_s, processSignerName, 104);
BRIX_AT(ac_wrapper_event_s, processIssuerCN, 112);
BRIX_AT(ac_wrapper_event_s, processIssuerC, 120);
BRIX_AT(ac_wrapper_event_s, processIssuerS, 128);
BRIX_AT(ac_wrapper_event_s, processIssuerL, 136);
BRIX_AT(ac_wrapper_event_s, processIssuerO, 144);
BRIX_AT(ac_wrapper_event_s, processIssuerOU, 152);
BRIX_AT(ac_wrapper_event_s, processCompanyName, 160);
BRIX_AT(ac_wrapper_event_s, processProductName, 168);
BRIX_AT(ac_wrapper_event_s, fileSignerName, 176);
BRIX_AT(ac_wrapper_event_s, fileIssuerCN, 184);
BRIX_AT(ac_wrapper_event_s, fileIssuerC, 192);
BRIX_AT(ac_wrapper_event_s, fileIssuerS, 200);
BRIX_AT(ac_wrapper_event_s, fileIssuerL, 208);
BRIX_AT(ac_wrapper_event_s, fileIssuerO, 216);
BRIX_AT(ac_wrapper_event_s, fileIssuerOU, 224);
BRIX_AT(ac_wrapper_event_s, fileCompanyName, 232);
BRIX_AT(ac_wrapper_event_s, fileProductName, 240);
BRIX_AT(ac_wrapper_event_s, fileSha256, 248);
BRIX_AT(ac_wrapper_event_s, fileSha1, 256);
BRIX_AT(ac_wrapper_event_s, fileMd5, 264);
BRIX_AT(ac_wrapper_event_s, processSha256, 272);
BRIX_AT(ac_wrapper_event_s, user, 280);
BRIX_AT(ac_wrapper_event_s, group, 288);
BRIX_AT(ac_wrapper_event_s, oldName, 296);
BRIX_STATIC_ASSERT(sizeof(ac_wrapper_event_s) == 304, "ac_wrapper_event_s");

BRIX_AT(ac_wrapper_response_s, action, 0);
BRIX_AT(ac_wrapper_response_s, itemType, 4);
BRIX_AT(ac_wrapper_response_s, source, 8);
BRIX_AT(ac_wrapper_response_s, isAuthorized, 12);
BRIX_AT(ac_wrapper_response_s, type, 16);
BRIX_AT(ac_wrapper_response_s, reserved, 20);
BRIX_AT(ac_wrapper_response_s, decision, 24);
BRIX_AT(ac_wrapper_response_s, ruleset, 28);
BRIX_AT(ac_wrapper_response_s, padding, 108);
BRIX_AT(ac_wrapper_response_s, changeTime, 112);
BRIX_STATIC_ASSERT(sizeof(ac_wrapper_response_s) == 120,
                   "ac_wrapper_response_s");

BRIX_AT(ac_db_item_s, md5, 8);
BRIX_AT(ac_db_item_s, sha1, 24);
BRIX_AT(ac_db_item_s, sha256, 44);
BRIX_AT(ac_db_item_s, source, 76);
BRIX_AT(ac_db_item_s, reserved1, 80);
BRIX_AT(ac_db_item_s, fileName, 88);
BRIX_AT(ac_db_item_s, path, 96);
BRIX_AT(ac_db_item_s, nativePath, 104);
BRIX_AT(ac_db_item_s, size, 112);
BRIX_AT(ac_db_item_s, reserved2, 120);
BRIX_AT(ac_db_item_s, isAuthorized, 128);
BRIX_AT(ac_db_item_s, reserved3, 129);
BRIX_AT(ac_db_item_s, ruleset, 136);
BRIX_STATIC_ASSERT(sizeof(ac_db_item_s) == 144, "ac_db_item_s");
BRIX_STATIC_ASSERT(sizeof(DALSource) == 4, "DALSource is a 32-bit value");
#undef BRIX_AT

#endif /* BRIX_INCLUDE_BRIX_H_ */
