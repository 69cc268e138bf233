#pragma once

#include <string>

namespace tqhsm {
namespace test {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return m_sPath; }
  std::string file(const std::string& name) const { return m_sPath + "/" + name; }
  // Writes content to name (created or replaced); returns the full path.
  std::string write(const std::string& name, const std::string& content) const;

 private:
  std::string m_sPath;
};

// The whole content of a file ("" when it cannot be read).
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);

}  // namespace test
}  // namespace tqhsm
