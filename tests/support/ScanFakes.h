#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Config.h"
#include "HSMLowLevel.h"
#include "MountTable.h"
#include "ObSession.h"

namespace tqhsm {
namespace test {

// A low-level object whose watch operations and extended-attribute answer are
// scripted; every call is recorded as "op path".
class FakeLowLevel : public TQHSMLowLevel {
 public:
  explicit FakeLowLevel(const std::string& mountPoint) : TQHSMLowLevel(mountPoint) {}

  int startWatchingDirTree(const char* dir) override {
    calls.push_back(std::string("start ") + dir);
    if (startRc < 0) setLastError("start refused");
    return startRc;
  }
  int stopWatchingDirTree(const char* dir) override {
    calls.push_back(std::string("stop ") + dir);
    auto it = stopRc.find(dir);
    int rc = it == stopRc.end() ? 0 : it->second;
    if (rc != 0) setLastError(std::string("cannot unwatch ") + dir);
    return rc;
  }
  int isDirWatched(const char* dir) override {
    calls.push_back(std::string("watched? ") + dir);
    return watched;
  }
  int isXattrSupported(const char* path) override {
    calls.push_back(std::string("xattr? ") + path);
    if (!xattr) setLastError("no user xattrs on " + m_sMountPoint);
    return xattr;
  }

  // With scriptInfo set, getFileInfo answers as told instead of looking.
  using TQHSMLowLevel::getFileInfo;
  int getFileInfo(const char* path, const struct stat* st, bool& isStub,
                  int& fileState) override {
    if (!scriptInfo) return TQHSMLowLevel::getFileInfo(path, st, isStub, fileState);
    calls.push_back(std::string("info ") + path);
    isStub = infoStub;
    fileState = infoState;
    if (infoRc != 0) setLastError("cannot inspect " + std::string(path));
    return infoRc;
  }

  // The stub test answers from the same script.
  int stubTest(const char* path, const struct stat* st, bool& isStub) override {
    if (!scriptInfo) return TQHSMLowLevel::stubTest(path, st, isStub);
    calls.push_back(std::string("stub? ") + path);
    isStub = infoStub;
    if (infoRc != 0) setLastError("cannot inspect " + std::string(path));
    return infoRc;
  }

  bool scriptInfo = false;
  int infoRc = 0;
  bool infoStub = false;
  int infoState = 0;
  int startRc = 0;
  std::map<std::string, int> stopRc;
  int watched = 0;
  int xattr = 1;
  std::vector<std::string> calls;
};

// A context that hands out FakeLowLevel objects: one per mount point, where the
// mount point is the longest of those it was told about that holds the path.
// Paths under no known mount point get no object.
class FakeCtx : public TQHSMLowLevelCtx {
 public:
  explicit FakeCtx(int driver = 0) : TQHSMLowLevelCtx(driver) {}
  FakeLowLevel* add(const std::string& mountPoint) {
    std::unique_ptr<FakeLowLevel>& slot = m_objects[mountPoint];
    if (!slot) slot.reset(new FakeLowLevel(mountPoint));
    return slot.get();
  }
  TQHSMLowLevel* getByFileName(const char* path) override {
    ++lookups;
    FakeLowLevel* best = nullptr;
    for (auto& o : m_objects) {
      int rel = ComparePath::Check(path, o.first);
      if ((rel == ComparePath::eSame || rel == ComparePath::eBelow) &&
          (!best || o.first.size() > best->mountPoint().size()))
        best = o.second.get();
    }
    return best;
  }
  int lookups = 0;

 private:
  std::map<std::string, std::unique_ptr<FakeLowLevel>> m_objects;
};

// A mount table of given entries (or a read error).
class FakeMounts : public MountSource {
 public:
  FakeMounts() = default;
  explicit FakeMounts(std::vector<ObMntEnt> entries) : m_entries(std::move(entries)) {}
  CZoError readMounts(std::vector<ObMntEnt>& entries) override {
    ++reads;
    if (fail) return CZoError(-1, "mount table unreadable");
    entries = m_entries;
    return CZoError::Success();
  }
  void add(const std::string& mountPoint, const std::string& type) {
    m_entries.push_back({"dev", mountPoint, type, "rw"});
  }
  bool fail = false;
  int reads = 0;

 private:
  std::vector<ObMntEnt> m_entries;
};

// Installs a configuration from INI text for the life of the object.
class ScopedConfig {
 public:
  explicit ScopedConfig(const std::string& text)
      : m_config(IniConfig::FromString(text)), m_scope(m_config.get()) {}

 private:
  std::unique_ptr<IniConfig> m_config;
  ScopedBackend<ConfigSource> m_scope;
};

}  // namespace test
}  // namespace tqhsm
