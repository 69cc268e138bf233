#pragma once

#include <memory>
#include <string>

#include "Backend.h"
#include "Config.h"

namespace tqhsm::tools {

// The configuration file a tool was given with --config, in force for the
// library while this object lives. Without a path the process's default
// source stays in force. problem() tells why the source in force cannot be
// used (a missing, unreadable or malformed file), empty when it can.
class ToolConfig {
 public:
  explicit ToolConfig(const std::string& path) {
    if (path.empty()) return;
    m_file = IniConfig::FromFile(path);
    m_scope.reset(new ScopedBackend<ConfigSource>(m_file.get()));
  }
  std::string problem() const { return ConfigSource::Current().problem(); }

 private:
  std::unique_ptr<IniConfig> m_file;
  std::unique_ptr<ScopedBackend<ConfigSource>> m_scope;
};

}  // namespace tqhsm::tools
