// BRIXDALImport.cpp: ruleset import.
#include "BRIXDataAccessLayer.h"

// Until the importer exists every import fails.
bool BRIXDAL::ImportRuleset(bool /*append*/, const std::string& /*path*/,
                            const std::string& /*name*/) {
  return false;
}

bool BRIXDAL::ImportRulesetBuffer(bool /*append*/, const char* /*text*/,
                                  const std::string& /*name*/) {
  return false;
}
