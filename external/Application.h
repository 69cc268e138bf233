#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "Backend.h"

// The application (subclient) whose data a scan reads, the clients of the
// backup system, and the platform's configuration reader.
//
// By default all of them read the configuration (see Config.h and README,
// "Configuration"): the subclient of application id N from section
// "[Subclient N]", the names of client N from "[Client N]", the local machine
// from "[Client]".

// The settings of a subclient as the backup system keeps them.
struct TQHSM_API SubclientSettings {
  int64_t subclientId = 0;
  std::string guid;  // empty: the subclient has no GUID
  int32_t highFreeSpace = 0;
  int32_t lowFreeSpace = 0;
  int64_t daysOld = 0;       // access-time age rule, days
  int64_t daysOldMTime = 0;  // modification-time age rule, days
  int64_t minFileSizeKB = 0;
  int64_t maxFileSizeKB = 0;
  int64_t deleteStubAfterNDays = 0;
  bool honorArchiverRetention = false;
  uint64_t rulesFlag = 0x2000;  // archive rules disabled until configured
};

// A subclient. Getters return 0 on success; a getter whose setting could not be
// read returns non-zero and hands back the setting's default.
class TQHSM_API Subclient {
 public:
  explicit Subclient(SubclientSettings settings) : m_settings(std::move(settings)) {}
  virtual ~Subclient();

  virtual int getGUIDStr(std::string& guid);  // non-zero when the subclient has no GUID
  virtual int64_t getSubclientId();
  virtual int getHighFreeSpace(int32_t& percent);
  virtual int getLowFreeSpace(int32_t& percent);
  virtual int getDaysOld(int64_t& days);
  virtual int getDaysOldMTime(int64_t& days);
  virtual int getMinFileSizeKB(int64_t& kb);
  virtual int getMaxFileSizeKB(int64_t& kb);
  virtual int getDeleteStubAfterNDays(int64_t& days);
  virtual bool isHonorArchiverAgentRetention();
  virtual int getRulesFlag(uint64_t& flags);

  const SubclientSettings& settings() const { return m_settings; }
  // Marks a setting (by its configuration key) as unreadable.
  void markBad(const std::string& key) { m_setBad.insert(key); }

 protected:
  int result(const char* key) const { return m_setBad.count(key) ? -1 : 0; }

  SubclientSettings m_settings;
  std::set<std::string> m_setBad;
};

namespace tqhsm {

enum class ClientNameKind {
  NetworkHostnameMangled,  // the name the client's services are reached by
  Short,                   // the client's short name
};

// Resolves applications and client names.
class TQHSM_API ApplicationService {
  TQHSM_BACKEND_SLOT(ApplicationService)

 public:
  virtual ~ApplicationService();
  // 0 when the application is known; subclient is then set (a backend may
  // resolve an application without a subclient). Non-zero otherwise.
  virtual int resolve(int appKey, int appId, std::unique_ptr<Subclient>& subclient) = 0;
  // 0 with the name when the client and the name are known.
  virtual int clientName(int clientId, ClientNameKind kind, std::string& name) = 0;
};

}  // namespace tqhsm

// The application id of a scan. Used within Initialize only.
class TQHSM_API ApplicationId {
 public:
  ApplicationId(int appKey, int appId);
  ~ApplicationId();
  ApplicationId(const ApplicationId&) = delete;
  ApplicationId& operator=(const ApplicationId&) = delete;

  // 0 when the application is known.
  int getApplicationId();
  // The application's subclient; null before getApplicationId succeeded or when
  // there is none. Owned by this object.
  Subclient* getSubclient() { return m_pSubclient.get(); }

 private:
  int m_nAppKey;
  int m_nAppId;
  std::unique_ptr<Subclient> m_pSubclient;
};

// A client of the backup system.
class TQHSM_API OBClient {
 public:
  explicit OBClient(int clientId) : m_nClientId(clientId) {}
  // 0 on success.
  int getNetworkHostnameMangled(std::string& name);
  int getShortName(std::string& name);
  // The TCP port of the client's HSM service: key ServicePort of section
  // "[Client <id>]", tqhsm::proto::kDefaultPort (8405) when absent. 0 on
  // success; non-zero, with the reason in error, for a value that is not a
  // port number.
  int getServicePort(int& port, std::string& error);

 private:
  int m_nClientId;
};

// The platform's view of this machine and of the agent's configuration.
class TQHSM_API OBPlatformInfo {
 public:
  // This machine's physical name ("[Client]" key "PhysicalMachine", else the
  // host name).
  std::string getPhysicalMachine();
  // Non-zero when the key is present (an empty value counts as present).
  int getString(const char* section, const char* key, std::string& value);
  // Non-zero when the key is present and holds a whole unsigned number. A key
  // that holds anything else counts as absent and is reported in the log.
  int getNumber(const char* section, const char* key, uint64_t& value);
};
