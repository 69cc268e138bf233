#include "TempDir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace tqhsm {
namespace test {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tqhsm-test-XXXXXX";
  if (!mkdtemp(&tmpl[0])) throw std::runtime_error("mkdtemp failed");
  m_sPath = tmpl;
}

TempDir::~TempDir() {
  std::string cmd = "rm -rf '" + m_sPath + "'";
  if (std::system(cmd.c_str()) != 0) {
    // nothing more to do in a destructor
  }
}

std::string TempDir::write(const std::string& name, const std::string& content) const {
  std::string p = file(name);
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << content;
  return p;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace test
}  // namespace tqhsm
