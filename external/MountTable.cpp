#include "MountTable.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tqhsm {

MountSource::~MountSource() = default;

TQHSM_DEFINE_BACKEND_SLOT(MountSource)

MountSource& MountSource::Default() {
  static MountSource source;
  return source;
}

CZoError MountSource::readMounts(std::vector<ObMntEnt>& entries) {
  std::ifstream in("/proc/self/mounts");
  if (!in) return CZoError(-1, std::string("Cannot read /proc/self/mounts: ") + strerror(errno));
  std::stringstream ss;
  ss << in.rdbuf();
  entries = ParseMountTable(ss.str());
  return CZoError::Success();
}

std::string DecodeMountField(const std::string& field) {
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3' &&
        field[i + 2] >= '0' && field[i + 2] <= '7' && field[i + 3] >= '0' && field[i + 3] <= '7') {
      out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                               (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

std::vector<ObMntEnt> ParseMountTable(const std::string& text) {
  std::vector<ObMntEnt> entries;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string dev, dir, type, opts;
    if (!(fields >> dev >> dir >> type)) continue;
    fields >> opts;
    entries.push_back(
        {DecodeMountField(dev), DecodeMountField(dir), DecodeMountField(type), DecodeMountField(opts)});
  }
  return entries;
}

}  // namespace tqhsm

CZoError ObMntTab::getAll(std::vector<ObMntEnt>& entries) {
  entries.clear();
  return tqhsm::MountSource::Current().readMounts(entries);
}

namespace {

std::string trimSlashes(const std::string& p) {
  size_t n = p.size();
  while (n > 1 && p[n - 1] == '/') --n;
  return p.substr(0, n);
}

// Whether inner lies strictly below outer (both without trailing slashes).
bool below(const std::string& inner, const std::string& outer) {
  if (outer == "/") return inner.size() > 1 && inner[0] == '/';
  return inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
         inner[outer.size()] == '/';
}

}  // namespace

int ComparePath::Check(const std::string& path, const std::string& mountPoint) {
  std::string p = trimSlashes(path);
  std::string m = trimSlashes(mountPoint);
  if (p == m) return eSame;
  if (below(p, m)) return eBelow;
  if (below(m, p)) return eAbove;
  return eUnrelated;
}
