// module_settings - reads the module's settings (see the header).
// The limits are read straight into the instance: the getters write their output
// only on success, so a missing or bad value leaves the default in place.
// Tests: tests/e2e_settings_test.cpp (through the loaded module).
#include "module_settings.h"

#include <string.h>

#include "tlvpr_fileio.h"
#include "tlvpr_format.h"
#include "tlvpr_mem.h"
#include "tvr_config.h"
#include "tvr_log.h"
#include "tvr_securitykey.h"
#include "tvr_status.h"

namespace {

constexpr const char kClientCertPath[] = "//package[@name='serverPackage']/clientCert";
constexpr const char kRuleFileName[] = "kelv";

struct LimitSetting {
  const char *xpath;
  uint32_t ModuleInstance::*field;
};

// Read in this order; a query error stops before the later ones.
constexpr LimitSetting kLimits[] = {
    {"//module[@name='hdrweights']/maxHeaderLength", &ModuleInstance::max_header_length},
    {"//module[@name='hdrweights']/maxTotalHeadersLength",
     &ModuleInstance::max_total_headers_length},
    {"//module[@name='hdrweights']/maxBackTracks", &ModuleInstance::max_back_tracks},
};

}  // namespace

// module_settings_client_key - derives the key from the certificate clientCert names
// Returns 0, 21018 (absent), the derivation's code (both to be returned after the
// limits), or sets *fatal for a query error that ends the reading at once.
static uint32_t module_settings_client_key(ConfigHandle *config, ModuleInstance *instance,
                                           bool *fatal) {
  char *cert_path = nullptr;
  uint32_t rc = tvr_config_get_string(&cert_path, kClientCertPath, config);
  if (rc == TVR_CONFIG_NO_DATA) {
    tvr_log(TVR_LOG_ERR, TVR_SETTING_MISSING, kClientCertPath);
    return TVR_CONFIG_NO_DATA;
  }
  if (rc != 0) {
    tvr_log(TVR_LOG_ERR, TVR_SETTING_READ_ERROR, kClientCertPath);
    *fatal = true;
    return rc;
  }
  rc = tvr_securitykey_from_file(cert_path, &instance->key);
  if (rc != 0) tvr_log(TVR_LOG_ERR, TVR_SETTINGS_MISSING, kClientCertPath);
  tlvpr_free(cert_path);
  instance->key_type = 2;
  return rc;
}

// read_module_settings - fills the instance's path, key and limits (see the header)
uint32_t read_module_settings(uintptr_t host, ModuleInstance *instance) {
  if (instance == nullptr || instance->callbacks == nullptr) return TVR_BAD_ARGUMENT;
  const HostCallbackTable *callbacks = instance->callbacks;
  const char *directory = (const char *)callbacks->entry[TVR_HOST_GET_LOAD_POINT_DIRECTORY](host);

  instance->max_total_headers_length = 32768;
  instance->max_header_length = 768;
  instance->rule_file_path = nullptr;
  instance->key = nullptr;
  instance->max_back_tracks = 25000;
  instance->key_type = -1;

  // A host without a load point cannot name the rule file; refuse instead of
  // reading through a null text.
  if (directory == nullptr) {
    tvr_log(TVR_LOG_ERR, TVR_ENTRY_NULL_ARGUMENT, "read_module_settings: (regex filter)");
    return TVR_BAD_ARGUMENT;
  }
  size_t size = strlen(directory) + 6;
  char *path = (char *)tlvpr_malloc(size);
  if (path == nullptr) {
    tvr_log(TVR_LOG_ERR, TVR_MALLOC_FAILED, (int)size);
    return TVR_MALLOC_FAILED;
  }
  tlvpr_snprintf(path, size, "%s%c%s", directory, (int)tlvpr_path_separator(), kRuleFileName);
  instance->rule_file_path = path;

  ConfigHandle *config = (ConfigHandle *)callbacks->entry[TVR_HOST_GET_CONFIGURATION](host);
  bool fatal = false;
  uint32_t result = module_settings_client_key(config, instance, &fatal);
  if (fatal) return result;

  for (const LimitSetting &limit : kLimits) {
    uint32_t rc = tvr_config_get_uint(&(instance->*limit.field), limit.xpath, config);
    if (rc == 0 || rc == TVR_CONFIG_NO_DATA) continue;
    if (rc == TVR_CONFIG_WRONG_TYPE) {
      tvr_log(TVR_LOG_WARNING, TVR_SETTING_BAD_VALUE, limit.xpath);
      continue;
    }
    tvr_log(TVR_LOG_ERR, TVR_SETTING_READ_ERROR, limit.xpath);
    return rc;
  }
  // Kept, since a configuration may mean it, but said where it is seen.
  if (instance->max_back_tracks < TLVMOD_FEWEST_USEFUL_BACKTRACKS) {
    tvr_log(TVR_LOG_ERR, TVR_SETTING_BAD_VALUE, kLimits[2].xpath);
  }
  return result;
}
