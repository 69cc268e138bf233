#include "Config.h"

#include <ini.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "EvEvent.h"

namespace tqhsm {

ConfigSource::~ConfigSource() = default;

TQHSM_DEFINE_BACKEND_SLOT(ConfigSource)

ConfigSource& ConfigSource::Default() {
  static IniConfig* config = [] {
    const char* path = std::getenv("TQHSM_CONFIG");
    std::unique_ptr<IniConfig> c = (path && *path) ? IniConfig::FromFile(path) : IniConfig::Empty();
    if (!c->problem().empty()) {
      EvDebug log;
      log.Error("Configuration", "%s; every configuration key counts as absent.",
                c->problem().c_str());
    }
    return c.release();  // lives for the whole process
  }();
  return *config;
}

bool ConfigSource::getNumber(const std::string& section, const std::string& key,
                             uint64_t& value) const {
  std::string text;
  if (!getString(section, key, text)) return false;
  const char* s = text.c_str();
  while (*s == ' ' || *s == '\t') ++s;
  if (*s < '0' || *s > '9') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(s, &end, 0);
  while (end && (*end == ' ' || *end == '\t')) ++end;
  if (errno == ERANGE || !end || *end != '\0') return false;
  value = v;
  return true;
}

int IniConfig::onValue(void* user, const char* section, const char* name, const char* value) {
  static_cast<IniConfig*>(user)->set(section, name, value ? value : "");
  return 1;
}

std::unique_ptr<IniConfig> IniConfig::Empty() { return std::unique_ptr<IniConfig>(new IniConfig()); }

std::unique_ptr<IniConfig> IniConfig::FromFile(const std::string& path) {
  std::unique_ptr<IniConfig> c(new IniConfig());
  int rc = ini_parse(path.c_str(), &IniConfig::onValue, c.get());
  if (rc == -1) {
    c->m_sProblem = "Cannot open configuration file " + path + ": " + std::strerror(errno);
  } else if (rc == -2) {
    c->m_sProblem = "Out of memory reading configuration file " + path;
  } else if (rc > 0) {
    c->m_sProblem = "Configuration file " + path + " is malformed at line " + std::to_string(rc);
  }
  // A file that cannot be trusted as a whole is not used at all.
  if (!c->m_sProblem.empty()) c->m_mapValues.clear();
  return c;
}

std::unique_ptr<IniConfig> IniConfig::FromString(const std::string& text) {
  std::unique_ptr<IniConfig> c(new IniConfig());
  int rc = ini_parse_string(text.c_str(), &IniConfig::onValue, c.get());
  if (rc != 0) {
    c->m_sProblem = "Configuration text is malformed at line " + std::to_string(rc);
    c->m_mapValues.clear();
  }
  return c;
}

bool IniConfig::getString(const std::string& section, const std::string& key,
                          std::string& value) const {
  auto it = m_mapValues.find(std::make_pair(section, key));
  if (it == m_mapValues.end()) return false;
  value = it->second;
  return true;
}

void IniConfig::set(const std::string& section, const std::string& key, const std::string& value) {
  m_mapValues[std::make_pair(section, key)] = value;
}

}  // namespace tqhsm
