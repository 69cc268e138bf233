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
  // true when the key is present and holds a whole unsigned number: decimal
  // digits (a leading zero does not make it octal: "010" is ten), or
  // hexadecimal digits after "0x" or "0X". Blanks around it are allowed.
  virtual bool getNumber(const std::string& section, const std::string& key,
                         uint64_t& value) const;
  // Why the configuration could not be read; empty when it was read.
  virtual std::string problem() const { return std::string(); }
};

// Configuration from one INI file (parsed with inih). The default source reads
// the file named by TQHSM_CONFIG; without it every key is absent.
//
// A configuration that cannot be read or holds a line that inih would misread
// is not used at all (every key absent) and problem() says why, naming the
// line: a line that is not a section, a key = value pair or a comment; a line
// longer than inih's line buffer (which would otherwise be cut, the rest read
// as a line of its own); a NUL byte; an indented line after a key, which inih
// would read as a new value for that key. A directory or an unreadable file is
// named as such.
class TQHSM_API IniConfig : public ConfigSource {
 public:
  // The most bytes FromFile reads; a longer file is refused, not cut.
  static constexpr size_t kMaxFileSize = 1 << 20;

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
  // Parses text into this configuration; what names it in problem texts
  // ("Configuration file <path>"). On a problem no key is kept.
  void parse(const std::string& text, const std::string& what);

  std::map<std::pair<std::string, std::string>, std::string> m_mapValues;
  std::string m_sProblem;
};

}  // namespace tqhsm
