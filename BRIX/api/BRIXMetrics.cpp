// BRIXMetrics.cpp: the metrics document that get_metrics_mem hands out.
//
// The document gathers the counters, the rule store's figures and the allow
// cache's, so it is put together here, above all three, rather than inside
// the counters (which every part of the engine uses and which must not
// reach back up into the rule store or the decision engine).
#include <cjson/cJSON.h>

#include <cstring>

#include "BRIXDataAccessLayer.h"
#include "BRIXEventAbstraction.h"
#include "BRIXLogger.h"
#include "BRIXStats.h"
#include "Version.h"
#include "brix.h"

uint32_t BRIXStats::GetMetrics(char* buffer, unsigned* length) {
  cJSON* root = cJSON_CreateObject();
  cJSON* metrics = cJSON_AddObjectToObject(root, "metrics");
  cJSON_AddStringToObject(metrics, "ACVersion", BRIX_VERSION);
  AddCounters(metrics);

  BRIXDAL* dal = BRIXDAL::GetDAL();
  dal->PrepareMetrics(cJSON_AddArrayToObject(metrics, "trustrules_stats"));
  if (BRIXEngine* engine = BRIXEngine::GetEngine())
    engine->GetAllowCache().GetMetrics(metrics);
  cJSON* dbinfo = cJSON_AddObjectToObject(metrics, "dbinfo");
  dal->PrepareMetricsDBInfo(dbinfo);
  dal->PrepareMetricsDBInfoTrustRules(dbinfo);
  dal->PrepareMetricsDBInfoRulesets(dbinfo);
  dal->PrepareMetricsDBSize(dbinfo);

  char* text = cJSON_PrintUnformatted(root);
  cJSON_Delete(root);
  if (text == nullptr) {
    // Out of memory while printing: nothing to hand out.
    if (length != nullptr) *length = 0;
    return BRIX_STATUS_FAILED;
  }
  const size_t needed = strlen(text) + 1;

  uint32_t status;
  if (length == nullptr) {
    BRIX_LOG(BRIX_ERROR, kLogFileStats, "parameter is null \n");
    status = BRIX_STATUS_NULL_LENGTH;
  } else if (buffer != nullptr && *length >= needed) {
    memcpy(buffer, text, needed);
    *length = static_cast<unsigned>(needed);
    status = BRIX_STATUS_SUCCESS;
  } else {
    *length = static_cast<unsigned>(needed);
    status = BRIX_STATUS_BUFFER_TOO_SMALL;
  }
  cJSON_free(text);
  return status;
}
