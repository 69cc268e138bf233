#include "HSMLowLevel.h"

// Watch lists and the list of migrated directory trees of the HSM low-level
// library. Until the persistent store is wired in nothing is watched.

namespace {
const char* kNotAvailable = "HSM watch list not available";
}

int TQHSMLowLevel::startWatchingDirTree(const char*) {
  setLastError(kNotAvailable);
  return -1;
}
int TQHSMLowLevel::stopWatchingDirTree(const char*) {
  setLastError(kNotAvailable);
  return -1;
}
int TQHSMLowLevel::isDirWatched(const char*) { return 0; }

TQHSMMigratedDirTrees::TQHSMMigratedDirTrees(bool create, const std::string& clientName)
    : m_bCreate(create), m_sClientName(clientName) {}
TQHSMMigratedDirTrees::~TQHSMMigratedDirTrees() = default;
int TQHSMMigratedDirTrees::wasDirMigrated(const char*, std::string&) { return 0; }
int TQHSMMigratedDirTrees::addTree(const char*) { return -1; }
int TQHSMMigratedDirTrees::delTree(const char*) { return -1; }
