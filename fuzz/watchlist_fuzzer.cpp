// Fuzzes the reader of the watch list and of the migrated-tree list
// (StateList::load) on arbitrary file content: the bytes are written to a real
// list file in a scratch state directory and read as both lists. What must
// hold whatever the bytes:
//  - a refused file gives no records and a reason;
//  - a read list has records of exactly the list's number of fields;
//  - a read list written back (store) reads back as the same records, so the
//    field escapes lose nothing.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "HSMWatch.h"

namespace {

std::string g_dir;

void RemoveScratch() {
  for (const char* name : {"watched_dirs", "migrated_trees"}) unlink((g_dir + "/" + name).c_str());
  rmdir(g_dir.c_str());
}

void Check(const tqhsm::StateList& list, size_t fields, const uint8_t* data, size_t size) {
  FILE* f = fopen(list.path().c_str(), "w");
  if (!f || (size && fwrite(data, 1, size, f) != size) || fclose(f) != 0) abort();
  std::vector<std::vector<std::string>> records;
  std::string error;
  if (!list.load(records, error)) {
    if (!records.empty() || error.empty()) abort();
    return;
  }
  for (const std::vector<std::string>& r : records)
    if (r.size() != fields) abort();
  if (!list.store(records, false, error)) abort();
  std::vector<std::vector<std::string>> again;
  if (!list.load(again, error) || again != records) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A memory file system where there is one: the lists are synced on store.
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tqhsm-fuzz-XXXXXX";
  if (!mkdtemp(&tmpl[0])) abort();
  g_dir = tmpl;
  atexit(RemoveScratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const tqhsm::StateList watched(g_dir, "watched_dirs", "tqhsm-watched-dirs 1", 1);
  static const tqhsm::StateList migrated(g_dir, "migrated_trees", "tqhsm-migrated-trees 1", 2);
  Check(watched, 1, data, size);
  Check(migrated, 2, data, size);
  return 0;
}
