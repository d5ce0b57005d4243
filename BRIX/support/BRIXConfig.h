// BRIXConfig.h: the engine's operating modes.
//
// `config` lives from library load to unload; the host changes it through
// set_config while events are decided on other threads.  Every member is an
// atomic word or byte, so a reader sees either the old or the new value of
// each member (though not necessarily all members of one set_config call).
#ifndef BRIX_BRIXCONFIG_H_
#define BRIX_BRIXCONFIG_H_

#include <atomic>
#include <cstdint>
#include <string>

#include "Version.h"

class BRIXConfig {
 public:
  static constexpr uint64_t kUnset = ~0ULL;  // a window bound never loaded

  uint64_t GetAutoAuthorizeStartTime() const { return Load(autoAuthorizeStartTime); }
  void SetAutoAuthorizeStartTime(uint64_t v) { Store(autoAuthorizeStartTime, v); }
  uint64_t GetAutoAuthorizeEndTime() const { return Load(autoAuthorizeEndTime); }
  void SetAutoAuthorizeEndTime(uint64_t v) { Store(autoAuthorizeEndTime, v); }
  uint64_t GetPreviousMaxInventoryItemId() const { return Load(previousMaxInventoryItemId); }
  void SetPreviousMaxInventoryItemId(uint64_t v) { Store(previousMaxInventoryItemId, v); }
  uint64_t GetPreviousMaxRulesetItemId() const { return Load(previousMaxRulesetItemId); }
  void SetPreviousMaxRulesetItemId(uint64_t v) { Store(previousMaxRulesetItemId, v); }
  bool GetInventoryAutoAuthorize() const { return Load(inventoryAutoAuthorize); }
  void SetInventoryAutoAuthorize(bool v) { Store(inventoryAutoAuthorize, v); }
  bool GetInventoryExists() const { return Load(inventoryExists); }
  void SetInventoryExists(bool v) { Store(inventoryExists, v); }
  bool GetLockdown() const { return Load(lockdown); }
  void SetLockdown(bool v) { Store(lockdown, v); }
  bool GetRulesetExists() const { return Load(rulesetExists); }
  void SetRulesetExists(bool v) { Store(rulesetExists, v); }
  bool GetWhitelistInventory() const { return Load(whitelistInventory); }
  void SetWhitelistInventory(bool v) { Store(whitelistInventory, v); }
  int32_t GetImportState() const { return Load(importState); }
  void SetImportState(int32_t v) { Store(importState, v); }
  int32_t GetRebuildState() const { return Load(rebuildState); }
  void SetRebuildState(int32_t v) { Store(rebuildState, v); }
  bool GetManifestApplied() const { return Load(manifestApplied); }
  void SetManifestApplied(bool v) { Store(manifestApplied, v); }
  std::string GetCurrentVersion() const { return currentVersion; }

 private:
  template <typename T>
  static T Load(const std::atomic<T>& a) {
    return a.load(std::memory_order_relaxed);
  }
  template <typename T>
  static void Store(std::atomic<T>& a, T v) {
    a.store(v, std::memory_order_relaxed);
  }

  std::atomic<uint64_t> autoAuthorizeStartTime{kUnset};
  std::atomic<uint64_t> autoAuthorizeEndTime{kUnset};
  std::atomic<uint64_t> previousMaxInventoryItemId{0};
  std::atomic<uint64_t> previousMaxRulesetItemId{0};
  std::atomic<bool> inventoryAutoAuthorize{false};
  std::atomic<bool> inventoryExists{false};
  std::atomic<bool> lockdown{false};
  std::atomic<bool> rulesetExists{false};
  std::atomic<bool> whitelistInventory{false};
  std::atomic<int32_t> importState{0};
  std::atomic<int32_t> rebuildState{0};
  std::atomic<bool> manifestApplied{true};
  const std::string currentVersion{BRIX_VERSION};
};

extern BRIXConfig config;

#endif  // BRIX_BRIXCONFIG_H_
