#include <gtest/gtest.h>

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
