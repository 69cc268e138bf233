#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "ArchiveManager.h"
#include "CaptureLog.h"
#include "Catalog.h"
#include "Config.h"
#include "FetchIndexInfo.h"
#include "TempDir.h"

using namespace tqhsm::test;
using tqhsm::Catalog;

namespace {

const uint32_t kKind = 0x85ED33A1u;

class CatalogServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    std::unique_ptr<Catalog> c = Catalog::Open(m_dir.file("catalog.db"), error);
    ASSERT_NE(c, nullptr) << error;
    ASSERT_TRUE(c->exec(
        "INSERT INTO parvis VALUES (2, 20);"
        "INSERT INTO archive_files VALUES (4711, 1, 20, 3, 0), (4712, 1, 20, 0, 0),"
        " (4713, 1, 20, 7, 1);"
        "INSERT INTO stub_index VALUES ('g1', 2, 1, 4711, 1), ('g2', 2, 1, 4712, 0);",
        error))
        << error;
    Catalog::SetShared(std::move(c));
  }
  void TearDown() override { Catalog::SetShared(nullptr); }

  CaptureLog m_log;
  TempDir m_dir;
};

class CollectingSink : public FetchIndexInfoSendRes {
 public:
  CollectingSink() : FetchIndexInfoSendRes(nullptr) {}
  int function(FetchIndexInfoResp* response) override {
    ++calls;
    for (const FInfoRespItem& i : response->m_lstItems) items.push_back(i);
    return result;
  }
  std::vector<FInfoRespItem> items;
  int calls = 0;
  int result = 0;
};

}  // namespace

TEST_F(CatalogServicesTest, ArchiveManagerAndParvisMapperAnswerFromTheCatalog) {
  ParvisMapper mapper;
  EXPECT_EQ(mapper.numberToId(2), 20u);
  EXPECT_EQ(mapper.numberToId(9), 0u);

  OBArchive archive("client", nullptr, true);
  struct Case {
    uint64_t afile;
    int rc;
    uint64_t copyId;
    uint64_t pruned;
  };
  const Case cases[] = {{4711, 0, 3, 0}, {4712, 0, 0, 0}, {4713, 0, 7, 1}};
  for (const Case& c : cases) {
    OBA_GetCopyIdByAfileCopyPrec50Req_t req;
    req.afileId = c.afile;
    req.copyPrecedence = 1;
    req.parvisId = 20;
    OBA_GetCopyIdByAfileCopyPrec50Resp_t resp;
    EXPECT_EQ(archive.getAfileCopy(req, resp), c.rc) << c.afile;
    EXPECT_EQ(resp.copyId, c.copyId) << c.afile;
    EXPECT_EQ(resp.prunedFlag, c.pruned) << c.afile;
  }
  // An AF the archive manager does not know is an error, never "no copy".
  OBA_GetCopyIdByAfileCopyPrec50Req_t unknown;
  unknown.afileId = 4711;
  unknown.copyPrecedence = 1;
  unknown.parvisId = 2;  // wrong Parvis id
  OBA_GetCopyIdByAfileCopyPrec50Resp_t resp;
  EXPECT_EQ(archive.getAfileCopy(unknown, resp), tqhsm::ArchiveService::eUnknownAfile);
}

TEST_F(CatalogServicesTest, SingleLookupNeedsInitAndAnswersEveryKey) {
  FetchIndexInfo index;
  FInfoRespItem answer;
  EXPECT_NE(index.lookup(MetaData(kKind, "g1"), answer), 0);
  index.setInitFlags(0x40);
  index.setInitFlags(0x11);
  EXPECT_EQ(index.initFlags(), 0x51u);
  ASSERT_EQ(index.initByAfileId(4711, 20), 0);

  ASSERT_EQ(index.lookup(MetaData(kKind, "g1"), answer), 0);
  EXPECT_EQ(answer.found, 1);
  EXPECT_EQ(answer.parvisNumber, 2u);
  EXPECT_EQ(answer.copyPrecedence, 1u);
  EXPECT_EQ(answer.afileId, 4711u);

  ASSERT_EQ(index.lookup(MetaData(kKind, "g2"), answer), 0);
  EXPECT_EQ(answer.found, 0);  // erased from the index
  EXPECT_EQ(answer.afileId, 4712u);

  for (const MetaData& key : {MetaData(kKind, "nope"), MetaData(7, "g1")}) {
    answer.found = 9;
    ASSERT_EQ(index.lookup(key, answer), 0);
    EXPECT_EQ(answer.found, 0);
    EXPECT_EQ(answer.afileId, 0u);
  }
}

TEST_F(CatalogServicesTest, BatchLookupDeliversOneItemPerKeyInOrder) {
  FetchIndexInfo index;
  CollectingSink sink;
  std::list<MetaData> keys;
  EXPECT_NE(index.lookup(keys, &sink), 0);  // not initialised
  ASSERT_EQ(index.init("idx", 1, 5, 0, 2), 0);

  size_t n = tqhsm::IndexService::kBatchSize * 2 + 3;
  for (size_t i = 0; i < n; ++i) keys.push_back(MetaData(kKind, i % 3 == 0 ? "g1" : i % 3 == 1 ? "x" : "g2"));
  ASSERT_EQ(index.lookup(keys, &sink), 0);
  ASSERT_EQ(sink.items.size(), n);
  EXPECT_EQ(sink.calls, 3);
  for (size_t i = 0; i < n; ++i) {
    const FInfoRespItem& it = sink.items[i];
    if (i % 3 == 0) {
      EXPECT_EQ(it.found, 1) << i;
      EXPECT_EQ(it.afileId, 4711u) << i;
    } else if (i % 3 == 1) {
      EXPECT_EQ(it.found, 0) << i;
    } else {
      EXPECT_EQ(it.afileId, 4712u) << i;
    }
  }
  EXPECT_NE(index.lookup(keys, nullptr), 0);
  CollectingSink refusing;
  refusing.result = 1;
  EXPECT_NE(index.lookup(keys, &refusing), 0);
}

// The lookups of a batch share one read transaction; it never outlives the
// batch: another process may write the catalog while the answers are handed
// on, and none is left open afterwards, whatever the sink says.
TEST_F(CatalogServicesTest, BatchLookupHoldsNoLockWhileAnswersAreHandedOnOrAfterwards) {
  class WritingSink : public FetchIndexInfoSendRes {
   public:
    WritingSink(const std::string& db, const std::string& prefix)
        : FetchIndexInfoSendRes(nullptr), m_db(db), m_prefix(prefix) {}
    int function(FetchIndexInfoResp* response) override {
      sqlite3* other = nullptr;
      int rc = sqlite3_open(m_db.c_str(), &other);
      if (rc == SQLITE_OK) {
        std::string sql = "INSERT INTO stub_index VALUES ('" + m_prefix + std::to_string(calls) +
                          "', 2, 1, 4711, 1);";
        rc = sqlite3_exec(other, sql.c_str(), nullptr, nullptr, nullptr);  // no busy wait
      }
      sqlite3_close(other);
      if (rc != SQLITE_OK) ++blocked;
      ++calls;
      items += response->m_lstItems.size();
      return result;
    }
    std::string m_db, m_prefix;
    int calls = 0, blocked = 0, result = 0;
    size_t items = 0;
  };
  std::string error;
  Catalog* shared = Catalog::Shared(error);
  ASSERT_NE(shared, nullptr) << error;
  FetchIndexInfo index;
  ASSERT_EQ(index.init("idx", 1, 5, 0, 2), 0);
  std::list<MetaData> keys(tqhsm::IndexService::kBatchSize * 2 + 1, MetaData(kKind, "g1"));
  WritingSink sink(m_dir.file("catalog.db"), "w");
  ASSERT_EQ(index.lookup(keys, &sink), 0);
  EXPECT_EQ(sink.items, keys.size());
  EXPECT_EQ(sink.calls, 3);
  EXPECT_EQ(sink.blocked, 0);
  EXPECT_NE(sqlite3_get_autocommit(shared->db()), 0);

  WritingSink refusing(m_dir.file("catalog.db"), "r");
  refusing.result = 1;
  EXPECT_NE(index.lookup(keys, &refusing), 0);
  EXPECT_EQ(refusing.blocked, 0);
  EXPECT_NE(sqlite3_get_autocommit(shared->db()), 0);
  FInfoRespItem answer;
  ASSERT_EQ(index.lookup(MetaData(kKind, "r0"), answer), 0);  // what the writer wrote is seen
  EXPECT_EQ(answer.found, 1);
}

TEST(CatalogServicesFailureTest, AnUnusableCatalogFailsEveryService) {
  CaptureLog log;
  Catalog::SetShared(nullptr);
  std::unique_ptr<tqhsm::IniConfig> config =
      tqhsm::IniConfig::FromString("[Catalog]\nPath=/nonexistent-dir/for/catalog.db\n");
  tqhsm::ScopedBackend<tqhsm::ConfigSource> scope(config.get());
  FetchIndexInfo index;
  EXPECT_NE(index.init("idx", 0, 0, 0, 0), 0);
  EXPECT_NE(index.initByAfileId(1, 2), 0);
  ParvisMapper mapper;
  EXPECT_EQ(mapper.numberToId(2), 0u);
  OBArchive archive("client", nullptr, true);
  OBA_GetCopyIdByAfileCopyPrec50Req_t req;
  OBA_GetCopyIdByAfileCopyPrec50Resp_t resp;
  EXPECT_EQ(archive.getAfileCopy(req, resp), tqhsm::ArchiveService::eNoCatalog);
  EXPECT_FALSE(log.lines.empty());
}

namespace {

// Holds the catalog locked (BEGIN EXCLUSIVE) from another process for the life
// of the object.
class LockingProcess {
 public:
  explicit LockingProcess(const std::string& path) {
    int ready[2], release[2];
    if (pipe(ready) != 0 || pipe(release) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
      close(ready[0]);
      close(release[1]);
      sqlite3* db = nullptr;
      char c = 1;
      if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
          sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK)
        _exit(1);
      if (write(ready[1], &c, 1) != 1) _exit(1);
      ssize_t n = read(release[0], &c, 1);  // until the test lets go
      (void)n;
      _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    char c = 0;
    m_bLocked = m_pid > 0 && read(ready[0], &c, 1) == 1;
    close(ready[0]);
    m_nRelease = release[1];
  }
  ~LockingProcess() { release(); }
  void release() {
    if (m_nRelease >= 0) close(m_nRelease);
    m_nRelease = -1;
    if (m_pid > 0) waitpid(m_pid, nullptr, 0);
    m_pid = -1;
  }
  bool locked() const { return m_bLocked; }

 private:
  pid_t m_pid = -1;
  int m_nRelease = -1;
  bool m_bLocked = false;
};

class CatalogUnusableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    std::unique_ptr<Catalog> c = Catalog::Open(m_path, error);
    ASSERT_NE(c, nullptr) << error;
    ASSERT_TRUE(c->exec("INSERT INTO parvis VALUES (2, 20);"
                        "INSERT INTO archive_files VALUES (4711, 1, 20, 3, 0);"
                        "INSERT INTO stub_index VALUES ('g1', 2, 1, 4711, 1);",
                        error))
        << error;
    // No connection of this process stays open across the fork.
    Catalog::SetShared(nullptr);
  }
  void TearDown() override { Catalog::SetShared(nullptr); }

  // The questions one stub costs a scan that honours archiver retention,
  // asked for `stubs` stubs; the number of them answered.
  int askAsAScanWould(int stubs) {
    int answered = 0;
    ParvisMapper mapper;
    OBArchive archive("client", nullptr, true);
    for (int i = 0; i < stubs; ++i) {
      OBA_GetCopyIdByAfileCopyPrec50Req_t req;
      req.afileId = 4711;
      req.copyPrecedence = 1;
      req.parvisId = mapper.numberToId(2);
      OBA_GetCopyIdByAfileCopyPrec50Resp_t resp;
      if (archive.getAfileCopy(req, resp) == 0) ++answered;
      FetchIndexInfo index;
      FInfoRespItem item;
      if (index.initByAfileId(4711, 20) == 0 && index.lookup(MetaData(kKind, "g1"), item) == 0)
        ++answered;
    }
    return answered;
  }
  size_t linesWith(const std::string& text) const {
    size_t n = 0;
    for (const tqhsm::test::LogLine& l : m_log.lines)
      if (l.text.find(text) != std::string::npos) ++n;
    return n;
  }

  CaptureLog m_log;
  TempDir m_dir;
  std::string m_path = m_dir.file("catalog.db");
  std::unique_ptr<tqhsm::IniConfig> m_config = tqhsm::IniConfig::FromString(
      "[Catalog]\nPath = " + m_path + "\nBusyTimeout = 200\n");
  tqhsm::ScopedBackend<tqhsm::ConfigSource> m_scope{m_config.get()};
};

}  // namespace

TEST_F(CatalogUnusableTest, ALockedCatalogCostsOneWaitPerRun) {
  const std::string off = "Pruning and re-stubbing checks are off for this run.";
  for (bool openFirst : {false, true}) {
    SCOPED_TRACE(openFirst ? "locked after the first answer" : "locked from the start");
    Catalog::SetShared(nullptr);
    m_log.clear();
    if (openFirst) {
      ASSERT_EQ(askAsAScanWould(1), 2);
    }
    LockingProcess lock(m_path);
    ASSERT_TRUE(lock.locked());
    uint64_t waits = Catalog::BusyWaits();
    EXPECT_EQ(askAsAScanWould(5), 0);
    EXPECT_EQ(Catalog::BusyWaits(), waits + 1);
    EXPECT_EQ(linesWith("Catalog " + m_path + " is locked by another process; waiting up to 200 ms"),
              1u);
    EXPECT_EQ(linesWith("Catalog " + m_path + " is busy: another process has held it locked for "
                        "more than 200 ms. " + off),
              1u);
    size_t errors = 0;
    for (const tqhsm::test::LogLine& l : m_log.lines) errors += l.kind == tqhsm::LogKind::Error;
    EXPECT_EQ(errors, 1u);
    // Still off for this run once the lock is gone; a new run asks again.
    lock.release();
    EXPECT_EQ(askAsAScanWould(1), 0);
    Catalog::SetShared(nullptr);
    EXPECT_EQ(askAsAScanWould(1), 2);
  }
}

TEST_F(CatalogUnusableTest, ABrokenCatalogIsReportedOnceAndNeverWaitedOn) {
  struct Case {
    const char* name;
    void (*make)(const std::string& path);
    const char* why;
  };
  const Case cases[] = {
      {"not a database",
       [](const std::string& p) {
         FILE* f = fopen(p.c_str(), "w");
         fputs(std::string(8192, 'x').c_str(), f);
         fclose(f);
       },
       "file is not a database"},
      {"a directory", [](const std::string& p) { mkdir(p.c_str(), 0755); }, "unable to open"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = m_dir.file(std::string("broken-") + (c.why[0] == 'f' ? "a" : "b"));
    c.make(path);
    std::unique_ptr<tqhsm::IniConfig> config =
        tqhsm::IniConfig::FromString("[Catalog]\nPath = " + path + "\n");
    tqhsm::ScopedBackend<tqhsm::ConfigSource> scope(config.get());
    Catalog::SetShared(nullptr);
    m_log.clear();
    uint64_t waits = Catalog::BusyWaits();
    EXPECT_EQ(askAsAScanWould(5), 0);
    EXPECT_EQ(Catalog::BusyWaits(), waits);
    EXPECT_EQ(linesWith("Catalog " + path + " cannot be used ("), 1u);
    EXPECT_EQ(linesWith(c.why), 1u);
    EXPECT_EQ(m_log.lines.size(), 1u);
  }
}
