#include "Application.h"

#include <unistd.h>

#include <cinttypes>
#include <limits>
#include <type_traits>

#include "Config.h"
#include "EvEvent.h"
#include "ServiceProtocol.h"

// ---------------------------------------------------------------- subclient

Subclient::~Subclient() = default;

int Subclient::getGUIDStr(std::string& guid) {
  if (m_settings.guid.empty()) return 1;
  guid = m_settings.guid;
  return 0;
}

int64_t Subclient::getSubclientId() { return m_settings.subclientId; }

int Subclient::getHighFreeSpace(int32_t& percent) {
  percent = m_settings.highFreeSpace;
  return result("HighFreeSpace");
}

int Subclient::getLowFreeSpace(int32_t& percent) {
  percent = m_settings.lowFreeSpace;
  return result("LowFreeSpace");
}

int Subclient::getDaysOld(int64_t& days) {
  days = m_settings.daysOld;
  return result("DaysOld");
}

int Subclient::getDaysOldMTime(int64_t& days) {
  days = m_settings.daysOldMTime;
  return result("DaysOldMTime");
}

int Subclient::getMinFileSizeKB(int64_t& kb) {
  kb = m_settings.minFileSizeKB;
  return result("MinFileSizeKB");
}

int Subclient::getMaxFileSizeKB(int64_t& kb) {
  kb = m_settings.maxFileSizeKB;
  return result("MaxFileSizeKB");
}

int Subclient::getDeleteStubAfterNDays(int64_t& days) {
  days = m_settings.deleteStubAfterNDays;
  return result("DeleteStubAfterNDays");
}

bool Subclient::isHonorArchiverAgentRetention() { return m_settings.honorArchiverRetention; }

int Subclient::getRulesFlag(uint64_t& flags) {
  flags = m_settings.rulesFlag;
  return result("RulesFlag");
}

// ---------------------------------------------------------------- default service

namespace tqhsm {

ApplicationService::~ApplicationService() = default;

TQHSM_DEFINE_BACKEND_SLOT(ApplicationService)

namespace {

bool isYes(const std::string& v) { return !v.empty() && (v[0] == 'y' || v[0] == 'Y'); }

// Reads subclients and client names from the configuration.
class ConfigApplicationService : public ApplicationService {
 public:
  int resolve(int, int appId, std::unique_ptr<Subclient>& subclient) override {
    const ConfigSource& config = ConfigSource::Current();
    const std::string section = "Subclient " + std::to_string(appId);
    EvDebug log;

    static const char* const kKeys[] = {
        "SubclientId",  "GUID",          "HighFreeSpace",        "LowFreeSpace",
        "DaysOld",      "DaysOldMTime",  "MinFileSizeKB",        "MaxFileSizeKB",
        "DeleteStubAfterNDays", "HonorArchiverRetention", "RulesFlag"};
    bool known = false;
    std::string text;
    for (const char* key : kKeys) known = known || config.getString(section, key, text);
    if (!known) {
      if (!config.problem().empty())
        log.Error(kTag, "No subclient for application id %d: the configuration is not usable (%s).",
                  appId, config.problem().c_str());
      else
        log.Error(kTag, "No subclient for application id %d: section [%s] is missing from the "
                  "configuration.", appId, section.c_str());
      return 1;
    }

    SubclientSettings s;
    s.subclientId = appId;
    std::set<std::string> bad;
    auto number = [&](const char* key, auto& field, uint64_t max) {
      std::string value;
      if (!config.getString(section, key, value)) return;
      uint64_t n = 0;
      if (!config.getNumber(section, key, n) || n > max) {
        log.Error(kTag, "Key %s of section [%s] is not a whole number from 0 to %" PRIu64
                  " [%s]; the default %s is used.", key, section.c_str(), max, value.c_str(),
                  std::to_string(field).c_str());
        bad.insert(key);
        return;
      }
      field = static_cast<std::remove_reference_t<decltype(field)>>(n);
    };
    const uint64_t kInt64Max = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    number("SubclientId", s.subclientId, kInt64Max);
    number("HighFreeSpace", s.highFreeSpace, 100);
    number("LowFreeSpace", s.lowFreeSpace, 100);
    number("DaysOld", s.daysOld, kInt64Max);
    number("DaysOldMTime", s.daysOldMTime, kInt64Max);
    // Sizes are turned into bytes: keep them where that cannot overflow.
    number("MinFileSizeKB", s.minFileSizeKB, kInt64Max / 1024);
    number("MaxFileSizeKB", s.maxFileSizeKB, kInt64Max / 1024);
    number("DeleteStubAfterNDays", s.deleteStubAfterNDays, kInt64Max);
    number("RulesFlag", s.rulesFlag, std::numeric_limits<uint64_t>::max());
    if (config.getString(section, "GUID", text)) s.guid = text;
    if (config.getString(section, "HonorArchiverRetention", text))
      s.honorArchiverRetention = isYes(text);

    subclient.reset(new Subclient(s));
    for (const std::string& key : bad) subclient->markBad(key);
    return 0;
  }

  int clientName(int clientId, ClientNameKind kind, std::string& name) override {
    const ConfigSource& config = ConfigSource::Current();
    const std::string section = "Client " + std::to_string(clientId);
    std::string host;
    bool haveHost = config.getString(section, "HostName", host) && !host.empty();
    if (kind == ClientNameKind::Short) {
      std::string shortName;
      if (config.getString(section, "Name", shortName) && !shortName.empty()) {
        name = shortName;
        return 0;
      }
      if (haveHost) {
        name = host.substr(0, host.find('.'));
        return 0;
      }
    } else if (haveHost) {
      name = host;
      return 0;
    }
    EvDebug log;
    if (!config.problem().empty())
      log.Error(kTag, "Client %d is unknown: the configuration is not usable (%s).", clientId,
                config.problem().c_str());
    else
      log.Error(kTag, "Client %d is unknown: key HostName of section [%s] is missing or empty.",
                clientId, section.c_str());
    return 1;
  }

 private:
  static constexpr const char* kTag = "ApplicationId";
};

}  // namespace

ApplicationService& ApplicationService::Default() {
  static ConfigApplicationService service;
  return service;
}

}  // namespace tqhsm

// ---------------------------------------------------------------- application id, client

ApplicationId::ApplicationId(int appKey, int appId) : m_nAppKey(appKey), m_nAppId(appId) {}
ApplicationId::~ApplicationId() = default;

int ApplicationId::getApplicationId() {
  m_pSubclient.reset();
  return tqhsm::ApplicationService::Current().resolve(m_nAppKey, m_nAppId, m_pSubclient);
}

int OBClient::getNetworkHostnameMangled(std::string& name) {
  return tqhsm::ApplicationService::Current().clientName(
      m_nClientId, tqhsm::ClientNameKind::NetworkHostnameMangled, name);
}

int OBClient::getShortName(std::string& name) {
  return tqhsm::ApplicationService::Current().clientName(m_nClientId,
                                                         tqhsm::ClientNameKind::Short, name);
}

int OBClient::getServicePort(int& port, std::string& error) {
  const tqhsm::ConfigSource& config = tqhsm::ConfigSource::Current();
  const std::string section = "Client " + std::to_string(m_nClientId);
  std::string text;
  if (!config.getString(section, "ServicePort", text) || text.empty()) {
    port = tqhsm::proto::kDefaultPort;
    return 0;
  }
  uint64_t n = 0;
  if (!config.getNumber(section, "ServicePort", n) || n < 1 || n > 65535) {
    error = "key ServicePort of section [" + section + "] is not a TCP port (1 to 65535): " + text;
    return 1;
  }
  port = static_cast<int>(n);
  return 0;
}

// ---------------------------------------------------------------- platform info

std::string OBPlatformInfo::getPhysicalMachine() {
  std::string name;
  if (tqhsm::ConfigSource::Current().getString("Client", "PhysicalMachine", name) &&
      !name.empty())
    return name;
  char host[256] = {0};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "localhost";
  return host;
}

int OBPlatformInfo::getString(const char* section, const char* key, std::string& value) {
  return tqhsm::ConfigSource::Current().getString(section, key, value) ? 1 : 0;
}

int OBPlatformInfo::getNumber(const char* section, const char* key, uint64_t& value) {
  const tqhsm::ConfigSource& config = tqhsm::ConfigSource::Current();
  uint64_t n = 0;
  if (config.getNumber(section, key, n)) {
    value = n;
    return 1;
  }
  std::string text;
  if (config.getString(section, key, text)) {
    EvDebug log;
    log.Error("OBPlatformInfo",
              "Key %s of section [%s] is not a whole number [%s]; it counts as absent.", key,
              section, text.c_str());
  }
  return 0;
}
