#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "Backend.h"

namespace tqhsm {

// The agent's configuration store: named keys in named sections.
class TQHSM_API ConfigSource {
  TQHSM_BACKEND_SLOT(ConfigSource)

 public:
  virtual ~ConfigSource();
  // true when the key is present; an empty value counts as present.
  virtual bool getString(const std::string& section, const std::string& key,
                         std::string& value) const = 0;
  // true when the key is present and holds a whole unsigned number.
  virtual bool getNumber(const std::string& section, const std::string& key,
                         uint64_t& value) const;
  // Why the configuration could not be read; empty when it was read.
  virtual std::string problem() const { return std::string(); }
};

// Configuration from one INI file (parsed with inih). The default source reads
// the file named by TQHSM_CONFIG; without it every key is absent.
class TQHSM_API IniConfig : public ConfigSource {
 public:
  static std::unique_ptr<IniConfig> FromFile(const std::string& path);
  static std::unique_ptr<IniConfig> FromString(const std::string& text);
  static std::unique_ptr<IniConfig> Empty();

  bool getString(const std::string& section, const std::string& key,
                 std::string& value) const override;
  std::string problem() const override { return m_sProblem; }

  // Adds or replaces a key (for tools that build a configuration).
  void set(const std::string& section, const std::string& key, const std::string& value);

 private:
  IniConfig() = default;
  static int onValue(void* user, const char* section, const char* name, const char* value);

  std::map<std::pair<std::string, std::string>, std::string> m_mapValues;
  std::string m_sProblem;
};

}  // namespace tqhsm
