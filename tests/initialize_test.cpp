#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Application.h"
#include "CaptureLog.h"
#include "Catalog.h"
#include "Config.h"
#include "Messages.h"
#include "TQHSMHelper.h"
#include "TempDir.h"

using tqhsm::ApplicationService;
using tqhsm::Catalog;
using tqhsm::ClientNameKind;
using tqhsm::ConfigSource;
using tqhsm::IniConfig;
using tqhsm::LogKind;
using tqhsm::ScopedBackend;
using tqhsm::StoredProcedures;
using tqhsm::test::CaptureLog;
using tqhsm::test::FileExists;
using tqhsm::test::TempDir;

namespace {

const char* const kTag = "TQHSMHelper::Initialize";
const char* const kDefaultSkip =
    ":nfs:isofs:openpromfs:smbfs:devfs:procfs:nsspool:sysfs:floppy:lofs:tmpfs:proc:ctfs:ufs:";
const char* const kRequestXml =
    "<CNMessage family=\"30\" type=\"1958\"><object id=\"0x1e2132cd\" type=\"0xdd020b\">"
    "<int64 id=\"0x12d8e9ce\" type=\"0xa4b486\" value=\"42\"/></object></CNMessage>";
const char* const kAccessTimeWarning =
    "Access time rule is enabled without enabling 'use Native Snap to preserve file access "
    "time' option. This may lead to access time of files being changed and thereby delaying "
    "access time rule.";

std::string RetentionResponse(long long days) {
  return "<CNMessage family=\"30\" type=\"1959\"><int64 id=\"0x1e052781\" type=\"0x614c3b\" "
         "value=\"" + std::to_string(days) + "\"/></CNMessage>";
}

// Application service with scripted answers.
class FakeApplications : public ApplicationService {
 public:
  int resolve(int appKey, int appId, std::unique_ptr<Subclient>& subclient) override {
    resolved.push_back({appKey, appId});
    if (resolveResult != 0) return resolveResult;
    if (withSubclient) subclient.reset(new Subclient(settings));
    return 0;
  }
  int clientName(int clientId, ClientNameKind kind, std::string& name) override {
    if (kind == ClientNameKind::NetworkHostnameMangled) ++hostAsked;
    const std::map<int, std::string>& names =
        kind == ClientNameKind::Short ? shortNames : hostNames;
    auto it = names.find(clientId);
    if (it == names.end()) return 1;
    name = it->second;
    return 0;
  }

  int resolveResult = 0;
  bool withSubclient = true;
  SubclientSettings settings;
  std::vector<std::pair<int, int>> resolved;
  std::map<int, std::string> hostNames;
  std::map<int, std::string> shortNames;
  int hostAsked = 0;
};

class FakeProcedures : public StoredProcedures {
 public:
  int execute(uint32_t id, const std::string& in, std::string& out) override {
    calls.push_back(id);
    request = in;
    out = response;
    return result;
  }
  int result = 0;
  std::string response;
  std::string request;
  std::vector<uint32_t> calls;
};

class FakeSession : public CObNetwork {
 public:
  CZoError Attach_RemoteService(const std::string& host, const std::string& service,
                                const std::string& physical, int timeout, bool&) override {
    attached.push_back(host + "|" + service + "|" + physical + "|" + std::to_string(timeout));
    return error;
  }
  CZoError error;
  std::vector<std::string> attached;
};

class KeptCtx : public TQHSMLowLevelCtx {
 public:
  KeptCtx() : TQHSMLowLevelCtx(7) {}
};

class InitializeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Catalog::SetShared(nullptr);
    args.m_sJobResultsDir = dir.path();
    args.m_sCollectFileName = "StubCollect";
    UseConfig(Config());
  }
  void TearDown() override { Catalog::SetShared(nullptr); }

  // The configuration of application 5 (subclient 42) plus extra lines for the
  // subclient and for section FileSystemAgent.
  std::string Config(const std::string& subclient = "", const std::string& agent = "") const {
    return "[Subclient 5]\n"
           "SubclientId = 42\n"
           "GUID = 5A1B-GUID\n"
           "HighFreeSpace = 30\n"
           "LowFreeSpace = 10\n"
           "DaysOldMTime = 7\n"
           "MinFileSizeKB = 10\n"
           "MaxFileSizeKB = 11\n"
           "RulesFlag = 0\n" +
           subclient +
           "\n[FileSystemAgent]\n" + agent +
           "\n[Catalog]\n"
           "Path = " + dir.file("catalog.db") + "\n"
           "[Client]\n"
           "Name = here\n"
           "PhysicalMachine = box-1\n"
           "[Client 9]\n"
           "HostName = far.example.com\n"
           "Name = far\n";
  }
  void UseConfig(const std::string& text) {
    m_scope.reset();
    m_config = IniConfig::FromString(text);
    ASSERT_EQ(m_config->problem(), "") << text;
    m_scope.reset(new ScopedBackend<ConfigSource>(m_config.get()));
  }
  void UseConfigFile(const std::string& path) {
    m_scope.reset();
    m_config = IniConfig::FromFile(path);
    m_scope.reset(new ScopedBackend<ConfigSource>(m_config.get()));
  }
  std::unique_ptr<TQHSMHelper> Helper() { return std::unique_ptr<TQHSMHelper>(new TQHSMHelper(args)); }
  std::vector<std::string> Lines() const { return log.texts(kTag); }
  bool Has(const std::string& text) const { return log.has(kTag, text); }
  const tqhsm::test::LogLine* Line(const std::string& text) const { return log.find(text); }
  std::string Collect() const { return dir.file("StubCollect"); }
  std::string Temp() const { return dir.file("StubCollect_temp"); }
  void ExpectNoCollectFiles() const {
    EXPECT_FALSE(FileExists(Collect()));
    EXPECT_FALSE(FileExists(Temp()));
  }

  CaptureLog log;
  TempDir dir;
  TQHSMHelperInitArgs args;

 private:
  std::unique_ptr<IniConfig> m_config;
  std::unique_ptr<ScopedBackend<ConfigSource>> m_scope;
};

// --------------------------------------------------------------- the whole run

TEST_F(InitializeTest, FromAConfigurationFileAndACatalog) {
  std::string error;
  {
    auto catalog = Catalog::Open(dir.file("catalog.db"), error);
    ASSERT_TRUE(catalog) << error;
    ASSERT_TRUE(catalog->exec("INSERT INTO subclient_retention VALUES (42, 30)", error)) << error;
  }
  std::string path = dir.write(
      "tqhsm.ini", Config("HonorArchiverRetention = yes\nDeleteStubAfterNDays = 90\n"));
  UseConfigFile(path);

  auto h = Helper();
  ASSERT_EQ(h->Initialize(1, 5, 0), 1);

  EXPECT_EQ(log.texts("TQHSMHelper::PrintHSMRules"),
            (std::vector<std::string>{
                "SUBLCIENT SETTINGS",
                "\tHigh Free Space\t\t:30",
                "\tLow Free Space\t\t:10",
                "\tDays Old\t\t:0",
                "\tDays Old (M-Time)\t:7",
                "\tMin File Size\t\t:10240B",
                "\tMax File Size\t\t:11264B",
                "\tHonor Archiver Retention:\t:Yes",
                "\tDeleteStubAfterNDatys\t:90",
                "\tDoNotCreateStub\t\t:FALSE",
                "\tUseAllRules\t\t:TRUE",
                "\tRules Flag\t\t:0",
                "\tUse DC\t\t:FALSE",
            }));
  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         std::string("Checking archiver retention setting XML-[") + kRequestXml + "]",
                         "Archiver retention setting out XML-[" + RetentionResponse(30) + "]",
                         "Archive Rules Enabled.",
                         "sSKIPLOCKF option not set in FileSystemAgent registry.",
                         "Skip mandatory lock tests: NO",
                         "sTQHSM_SKIP_FILES_SMALLER_THAN_FSBLOCK option not set in "
                         "FileSystemAgent registry.",
                         "Skip files smaller than FS block size : YES.",
                         std::string("Will Skip all fileSystems of type ") + kDefaultSkip,
                         "Skip files smaller than FS block: YES",
                         "HSM Rules Initialized.",
                         "StubCollect file initialized at " + Collect() + ".",
                         "StubCollectTemp file initialized at " + Temp() + ".",
                     }));

  // State left behind.
  EXPECT_TRUE(h->m_bRulesInitialized);
  EXPECT_TRUE(h->m_rules.m_bHonorArchiverRetention);  // 30 days is not infinite
  EXPECT_EQ(h->m_rules.m_lDeleteStubAfterNDays, 90);
  EXPECT_EQ(h->m_sAppGUID, "5A1B-GUID");
  EXPECT_NE(h->m_pLowLevelCtx, nullptr);
  EXPECT_NE(h->m_rules.m_pParvisMapper, nullptr);
  EXPECT_NE(h->m_rules.m_pArchive, nullptr);
  EXPECT_EQ(h->m_pSession, nullptr);
  EXPECT_NE(h->m_tInitTime, 0);
  EXPECT_TRUE(h->m_stubCollect.IsOpen());
  EXPECT_EQ(h->m_stubCollect.Seperator(), '|');
  EXPECT_TRUE(h->m_tempCollect.IsOpen());
  EXPECT_EQ(h->m_tempCollect.Seperator(), '|');
  EXPECT_EQ(h->m_sTempCollectPath, Temp());
  EXPECT_TRUE(h->m_bReStubbingEnabled);
  EXPECT_TRUE(FileExists(Collect()));
  EXPECT_TRUE(FileExists(Temp()));
  EXPECT_TRUE(log.events.empty());  // no access-time rule, no warning

  // The counters are registered in the order of their ids.
  const char* names[] = {"IsDMCandidate", "GetFileInfo", "backupStub", "isAFilePruned",
                         "RestubCheck"};
  for (int id = 1; id <= 5; ++id) {
    PerfCounter::Totals t;
    ASSERT_TRUE(h->m_perf.GetTotals(id, t)) << id;
    EXPECT_EQ(t.name, names[id - 1]);
  }
}

TEST_F(InitializeTest, RuleFlagsDecideWhetherTheRulesAreEnabled) {
  // 0x2004: disabled and archive without stub.
  UseConfig(Config("RulesFlag = 0x2004\n"));
  auto h = Helper();
  EXPECT_EQ(h->Initialize(1, 5, 0), 0);
  EXPECT_TRUE(h->m_bRulesInitialized);
  EXPECT_TRUE(h->m_rules.m_bDoNotCreateStub);
  EXPECT_EQ(h->m_rules.m_ulRulesFlag, 0x2004u);
  EXPECT_TRUE(Has("Archive Rules disabled."));
  EXPECT_EQ(Line("Archive Rules disabled.")->level, 1);
  EXPECT_FALSE(Has("Archive Rules Enabled."));
  EXPECT_TRUE(log.texts("TQHSMHelper::PrintHSMRules").empty());
  EXPECT_FALSE(h->m_stubCollect.IsOpen());
  EXPECT_FALSE(h->m_tempCollect.IsOpen());
  ExpectNoCollectFiles();

  // 0x4 alone: enabled, no stub, and small files are no longer skipped.
  log.clear();
  UseConfig(Config("RulesFlag = 4\n"));
  auto h2 = Helper();
  EXPECT_EQ(h2->Initialize(1, 5, 0), 1);
  EXPECT_TRUE(h2->m_rules.m_bDoNotCreateStub);
  EXPECT_TRUE(h2->m_rules.m_bUseAllRules);
  EXPECT_FALSE(h2->m_rules.m_bSkipSmallerThanFsBlock);
  EXPECT_TRUE(Has("Skip files smaller than FS block size : NO."));
}

TEST_F(InitializeTest, SizesAreNormalisedToBytes) {
  struct Case {
    int64_t minKB, maxKB;
    int64_t minBytes, maxBytes;
  };
  const int64_t kMaxKB = INT64_MAX / 1024;
  const Case cases[] = {
      {10, 10, 10240, 0},             // maximum equal to the minimum: no maximum
      {10, 11, 10240, 11264},
      {11, 10, 11264, 0},             // maximum below the minimum: no maximum
      {10, 0, 10240, 0},              // no maximum stays none
      {0, 0, 0, 0},
      {0, 1, 0, 1024},
      {-1, 5, -1024, 0},              // compared unsigned: 5 is not above the minimum
      {0, kMaxKB + 1, 0, INT64_MAX},  // beyond 64 bits in bytes: the largest size
  };
  for (const Case& c : cases) {
    FakeApplications apps;
    apps.settings.guid = "g";
    apps.settings.rulesFlag = 0;
    apps.settings.minFileSizeKB = c.minKB;
    apps.settings.maxFileSizeKB = c.maxKB;
    ScopedBackend<ApplicationService> scope(&apps);
    auto h = Helper();
    EXPECT_EQ(h->Initialize(1, 5, 0), 1);
    EXPECT_EQ(h->m_rules.m_lMinFileSize, c.minBytes) << c.minKB << " " << c.maxKB;
    EXPECT_EQ(h->m_rules.m_lMaxFileSize, c.maxBytes) << c.minKB << " " << c.maxKB;
  }
}

// --------------------------------------------------------------- agent keys

TEST_F(InitializeTest, AgentKeysOverrideTheirDefaults) {
  struct Case {
    const char* name;
    std::string subclient;  // extra subclient lines
    std::string agent;      // lines of section FileSystemAgent
    bool skipLockf;
    bool skipSmaller;
    std::string skipFs;
    uint64_t limit;
    std::vector<std::string> lines;     // must be among the Initialize lines
    std::vector<std::string> notLines;  // must not be
  };
  const std::string limitLine =
      "Registry key 'LimitStubCollect_5' exists under FileSystemAgent section, will limit files "
      "to stub to [100]";
  const std::vector<Case> cases = {
      {"nothing set", "", "", false, true, kDefaultSkip, 0,
       {"sSKIPLOCKF option not set in FileSystemAgent registry.", "Skip mandatory lock tests: NO",
        "sTQHSM_SKIP_FILES_SMALLER_THAN_FSBLOCK option not set in FileSystemAgent registry."},
       {limitLine}},
      {"lock test skipped", "", "sSKIPLOCKF = Yes\n", true, true, kDefaultSkip, 0,
       {"sSKIPLOCKF option set in FileSystemAgent registry.", "Skip mandatory lock tests: YES"},
       {}},
      {"lower-case y", "", "sSKIPLOCKF = yes please\n", true, true, kDefaultSkip, 0, {}, {}},
      {"lock key no", "", "sSKIPLOCKF = No\n", false, true, kDefaultSkip, 0,
       {"sSKIPLOCKF option set in FileSystemAgent registry.", "Skip mandatory lock tests: NO"},
       {}},
      {"empty lock flag is present and false", "", "sSKIPLOCKF =\n", false, true, kDefaultSkip, 0,
       {"sSKIPLOCKF option set in FileSystemAgent registry."}, {}},
      {"no stub, no key: small files kept", "RulesFlag = 4\n", "", false, false, kDefaultSkip, 0,
       {"Skip files smaller than FS block size : NO.", "Skip files smaller than FS block: NO"},
       {}},
      {"no stub, key Yes: small files skipped", "RulesFlag = 4\n",
       "sTQHSM_SKIP_FILES_SMALLER_THAN_FSBLOCK = Yes\n", false, true, kDefaultSkip, 0,
       {"sTQHSM_SKIP_FILES_SMALLER_THAN_FSBLOCK option set in FileSystemAgent registry.",
        "Skip files smaller than FS block size : YES."},
       {}},
      {"key No overrides the stub default", "", "sTQHSM_SKIP_FILES_SMALLER_THAN_FSBLOCK = No\n",
       false, false, kDefaultSkip, 0, {"Skip files smaller than FS block: NO"}, {}},
      {"empty skip-small flag is false", "", "sTQHSM_SKIP_FILES_SMALLER_THAN_FSBLOCK =\n", false,
       false, kDefaultSkip, 0,
       {"sTQHSM_SKIP_FILES_SMALLER_THAN_FSBLOCK option set in FileSystemAgent registry."}, {}},
      {"own skip list", "", "sSKIP_FS_TO_MONITOR = :nfs:cifs:\n", false, true, ":nfs:cifs:", 0,
       {"Will Skip all fileSystems of type :nfs:cifs:"}, {}},
      {"empty skip list gives the default", "", "sSKIP_FS_TO_MONITOR =\n", false, true,
       kDefaultSkip, 0, {std::string("Will Skip all fileSystems of type ") + kDefaultSkip}, {}},
      {"limit of this application", "", "LimitStubCollect_5 = 100\n", false, true, kDefaultSkip,
       100, {limitLine}, {}},
      {"limit 0 is no limit", "", "LimitStubCollect_5 = 0\n", false, true, kDefaultSkip, 0, {},
       {}},
      {"limit of another application", "", "LimitStubCollect_6 = 100\n", false, true,
       kDefaultSkip, 0, {}, {}},
      {"limit that is not a number", "", "LimitStubCollect_5 = lots\n", false, true,
       kDefaultSkip, 0, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    UseConfig(Config(c.subclient, c.agent));
    auto h = Helper();
    ASSERT_EQ(h->Initialize(1, 5, 0), 1);
    EXPECT_EQ(h->m_rules.m_bSkipLockf, c.skipLockf);
    EXPECT_EQ(h->m_rules.m_bSkipSmallerThanFsBlock, c.skipSmaller);
    EXPECT_EQ(h->m_sSkipFsTypes, c.skipFs);
    EXPECT_EQ(h->m_ulLimitStubCollect, c.limit);
    for (const std::string& l : c.lines) EXPECT_TRUE(Has(l)) << l;
    for (const std::string& l : c.notLines) EXPECT_FALSE(Has(l)) << l;
    bool anyLimitLine = false;
    for (const std::string& l : Lines()) anyLimitLine |= l.rfind("Registry key", 0) == 0;
    EXPECT_EQ(anyLimitLine, c.limit != 0);
  }
  // A limit that is not a number is reported rather than silently dropped.
  EXPECT_TRUE(log.hasText(
      "Key LimitStubCollect_5 of section [FileSystemAgent] is not a whole number [lots]; it "
      "counts as absent."));
}

// --------------------------------------------------------------- retention

TEST_F(InitializeTest, RetentionAnswerDecidesPruningByArchiveFileValidity) {
  struct Case {
    long long days;
    bool honor;
  };
  // Only the low 32 bits count: 0xffffffff is -1 as well.
  for (const Case& c : {Case{-1, false}, Case{30, true}, Case{0, true}, Case{4294967295LL, false},
                        Case{4294967296LL, true}}) {
    log.clear();
    FakeProcedures sp;
    sp.response = RetentionResponse(c.days);
    ScopedBackend<StoredProcedures> scope(&sp);
    UseConfig(Config("HonorArchiverRetention = Yes\n"));
    auto h = Helper();
    ASSERT_EQ(h->Initialize(1, 5, 0), 1);
    EXPECT_EQ(h->m_rules.m_bHonorArchiverRetention, c.honor) << c.days;
    const tqhsm::test::LogLine* l = Line(
        "Archiver retention is set to infinite, forcing archive file validity based retention "
        "to false");
    EXPECT_EQ(l != nullptr, !c.honor) << c.days;
    if (l) {
      EXPECT_EQ(l->level, 0);
    }
    ASSERT_EQ(sp.calls, std::vector<uint32_t>{0x1e2132cd});
    EXPECT_EQ(sp.request, kRequestXml);
  }
}

TEST_F(InitializeTest, RetentionFailuresLeavePruningOn) {
  const std::string spFailed = std::string(
      "Failed to execute stored procedure GetHonorArchiverRetentionDaysReq[") + kRequestXml +
      "], error=%d. Stub pruning based on archive file validity will be in effect";
  auto spLine = [&](int rc) {
    char buf[1024];
    snprintf(buf, sizeof buf, spFailed.c_str(), rc);
    return std::string(buf);
  };
  const std::string wrongType =
      "<CNMessage family=\"30\" type=\"1958\"><int64 id=\"0x1e052781\" type=\"0x614c3b\" "
      "value=\"-1\"/></CNMessage>";
  struct Case {
    const char* name;
    int rc;
    std::string response;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"procedure fails", 7, RetentionResponse(-1), spLine(7)},
      {"answer is not XML", 0, "garbage",
       "Failed to unserialize [garbage], error=1. Stub pruning based on archive file validity "
       "will be in effect"},
      {"answer is another message", 0, wrongType,
       "Failed to unserialize [" + wrongType +
           "], error=2. Stub pruning based on archive file validity will be in effect"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    FakeProcedures sp;
    sp.result = c.rc;
    sp.response = c.response;
    ScopedBackend<StoredProcedures> scope(&sp);
    UseConfig(Config("HonorArchiverRetention = Yes\n"));
    auto h = Helper();
    ASSERT_EQ(h->Initialize(1, 5, 0), 1);
    EXPECT_TRUE(h->m_rules.m_bHonorArchiverRetention);
    ASSERT_TRUE(Has(c.line));
    EXPECT_EQ(Line(c.line)->level, -1);
    EXPECT_TRUE(h->m_bRulesInitialized);
    EXPECT_TRUE(h->m_stubCollect.IsOpen());
  }

  // Not honouring the retention asks nothing.
  log.clear();
  FakeProcedures sp;
  ScopedBackend<StoredProcedures> scope(&sp);
  UseConfig(Config("HonorArchiverRetention = no\n"));
  auto h = Helper();
  ASSERT_EQ(h->Initialize(1, 5, 0), 1);
  EXPECT_TRUE(sp.calls.empty());
  EXPECT_FALSE(h->m_rules.m_bHonorArchiverRetention);
}

TEST_F(InitializeTest, RetentionFromTheCatalog) {
  std::string error;
  auto catalog = Catalog::Open(dir.file("catalog.db"), error);
  ASSERT_TRUE(catalog) << error;
  ASSERT_TRUE(catalog->exec("INSERT INTO subclient_retention VALUES (42, -1)", error));
  catalog.reset();
  UseConfig(Config("HonorArchiverRetention = Yes\n"));
  auto h = Helper();
  ASSERT_EQ(h->Initialize(1, 5, 0), 1);
  EXPECT_FALSE(h->m_rules.m_bHonorArchiverRetention);

  // A subclient the catalog does not know: the procedure fails, pruning stays on.
  log.clear();
  Catalog::SetShared(nullptr);
  UseConfig(Config("HonorArchiverRetention = Yes\nSubclientId = 43\n"));
  auto h2 = Helper();
  ASSERT_EQ(h2->Initialize(1, 5, 0), 1);
  EXPECT_TRUE(h2->m_rules.m_bHonorArchiverRetention);
  bool failed = false;
  for (const std::string& l : Lines())
    failed |= l.find("error=4. Stub pruning based on archive file validity") != std::string::npos;
  EXPECT_TRUE(failed);
  EXPECT_TRUE(log.hasText("No archiver retention recorded for subclient 43 in " +
                          dir.file("catalog.db") + "."));
}

TEST_F(InitializeTest, CatalogThatCannotBeOpenedIsReportedAndTheScanGoesOn) {
  std::string bad = dir.file("no/such/dir/catalog.db");
  UseConfig(Config("HonorArchiverRetention = Yes\n") + "[Catalog]\nPath = " + bad + "\n");
  auto h = Helper();
  ASSERT_EQ(h->Initialize(1, 5, 0), 1);
  EXPECT_TRUE(h->m_rules.m_bHonorArchiverRetention);
  const tqhsm::test::LogLine* why =
      log.find("Cannot open catalog " + bad + ": unable to open database file.");
  ASSERT_NE(why, nullptr);
  EXPECT_EQ(why->kind, LogKind::Error);
  EXPECT_EQ(why->tag, "App_ExecuteSP");
  bool failed = false;
  for (const std::string& l : Lines())
    failed |= l.find("error=3. Stub pruning based on archive file validity") != std::string::npos;
  EXPECT_TRUE(failed);
}

// --------------------------------------------------------------- failures

TEST_F(InitializeTest, UnknownApplicationIdFailsBeforeAnythingIsCreated) {
  auto h = Helper();
  EXPECT_EQ(h->Initialize(1, 6, 0), -1);
  const tqhsm::test::LogLine* l = Line("Failed to get application id.");
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(l->kind, LogKind::Error);
  EXPECT_EQ(l->tag, kTag);
  EXPECT_TRUE(log.hasText(
      "No subclient for application id 6: section [Subclient 6] is missing from the "
      "configuration."));
  EXPECT_FALSE(h->m_bRulesInitialized);
  EXPECT_EQ(h->m_rules.m_pParvisMapper, nullptr);
  EXPECT_EQ(h->m_rules.m_pArchive, nullptr);
  EXPECT_EQ(h->m_pLowLevelCtx, nullptr);
  EXPECT_EQ(h->m_rules.m_ulRulesFlag, 0x2000u);
  ExpectNoCollectFiles();
  // The counters were registered before the failure.
  PerfCounter::Totals t;
  EXPECT_TRUE(h->m_perf.GetTotals(ePerfRestubCheck, t));
}

TEST_F(InitializeTest, BadConfigurationFileIsReportedAndFailsCleanly) {
  struct Case {
    const char* name;
    std::string path;
    std::string problem;
  };
  std::string malformed = dir.write("bad.ini", "[Subclient 5]\nRulesFlag = 0\nnot a key line\n");
  const std::vector<Case> cases = {
      {"unreadable", dir.file("missing.ini"),
       "Cannot open configuration file " + dir.file("missing.ini") + ": No such file or directory"},
      {"malformed", malformed, "Configuration file " + malformed + " is malformed at line 3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    UseConfigFile(c.path);
    auto h = Helper();
    EXPECT_EQ(h->Initialize(1, 5, 0), -1);
    EXPECT_TRUE(Has("Failed to get application id."));
    EXPECT_TRUE(log.hasText("No subclient for application id 5: the configuration is not usable (" +
                            c.problem + ")."));
    EXPECT_FALSE(h->m_bRulesInitialized);
    ExpectNoCollectFiles();
  }
}

TEST_F(InitializeTest, NoSubclientFails) {
  FakeApplications apps;
  apps.withSubclient = false;
  ScopedBackend<ApplicationService> scope(&apps);
  auto h = Helper();
  EXPECT_EQ(h->Initialize(3, 5, 0), -1);
  EXPECT_EQ(apps.resolved, (std::vector<std::pair<int, int>>{{3, 5}}));
  EXPECT_TRUE(Has("Failed to get SubClient."));
  EXPECT_FALSE(log.hasText("Could not get App GUID for AppID[=5]"));
  EXPECT_FALSE(h->m_bRulesInitialized);
  // The objects of steps 3 and 4 exist and stay for the destructor.
  EXPECT_NE(h->m_pLowLevelCtx, nullptr);
  EXPECT_NE(h->m_rules.m_pArchive, nullptr);
  ExpectNoCollectFiles();
}

TEST_F(InitializeTest, MissingGuidIsLoggedAndTheScanGoesOn) {
  FakeApplications apps;
  apps.settings.rulesFlag = 0;  // no GUID
  ScopedBackend<ApplicationService> scope(&apps);
  auto h = Helper();
  h->m_sAppGUID = "left over";
  EXPECT_EQ(h->Initialize(1, 5, 0), 1);
  EXPECT_EQ(h->m_sAppGUID, "");
  const tqhsm::test::LogLine* l = Line("Could not get App GUID for AppID[=5]");
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(l->level, -1);
  EXPECT_EQ(l->kind, LogKind::Debug);
}

TEST_F(InitializeTest, OwnedObjectsAreCreatedOnlyWhenMissing) {
  auto h = Helper();
  auto* ctx = new KeptCtx();
  auto* mapper = new ParvisMapper();
  auto* archive = new OBArchive("someone", nullptr, true);
  h->m_pLowLevelCtx = ctx;
  h->m_rules.m_pParvisMapper = mapper;
  h->m_rules.m_pArchive = archive;
  ASSERT_EQ(h->Initialize(1, 5, 2), 1);
  EXPECT_EQ(h->m_pLowLevelCtx, ctx);
  EXPECT_EQ(h->m_pLowLevelCtx->getuseDriver(), 7);
  EXPECT_EQ(h->m_rules.m_pParvisMapper, mapper);
  EXPECT_EQ(h->m_rules.m_pArchive, archive);

  // Created ones get the driver mode.
  auto h2 = Helper();
  ASSERT_EQ(h2->Initialize(1, 5, 2), 1);
  ASSERT_NE(h2->m_pLowLevelCtx, nullptr);
  EXPECT_EQ(h2->m_pLowLevelCtx->getuseDriver(), 2);
}

TEST_F(InitializeTest, RemoteClientAttachesToItsHsmService) {
  args.m_nRemoteClientId = 9;
  auto h = Helper();
  auto* session = new FakeSession();
  h->m_pSession = session;
  ASSERT_EQ(h->Initialize(1, 5, 0), 1);
  EXPECT_EQ(h->m_pSession, session);
  EXPECT_EQ(session->attached,
            std::vector<std::string>{"far.example.com|TQHSMService|box-1|300"});
  EXPECT_EQ(h->m_sRemoteClientName, "far");
  EXPECT_EQ(session->servicePort(), 8405);  // the default port

  // The client's own port.
  UseConfig(Config() + "ServicePort = 18405\n");
  auto other = Helper();
  auto* second = new FakeSession();
  other->m_pSession = second;
  ASSERT_EQ(other->Initialize(1, 5, 0), 1);
  EXPECT_EQ(second->servicePort(), 18405);
}

TEST_F(InitializeTest, RemoteClientFailures) {
  args.m_nRemoteClientId = 9;
  const std::string namesFailed = "Failed to get remote hostname mangled for client id 9.";

  // The client is not in the configuration. The session object was created all
  // the same (and is freed by the destructor); nothing was sent.
  UseConfig(Config() + "[Client 9]\nHostName =\n");
  {
    auto h = Helper();
    EXPECT_EQ(h->Initialize(1, 5, 0), -1);
    EXPECT_TRUE(Has(namesFailed));
    EXPECT_TRUE(log.hasText(
        "Client 9 is unknown: key HostName of section [Client 9] is missing or empty."));
    EXPECT_NE(h->m_pSession, nullptr);
    EXPECT_FALSE(h->m_bRulesInitialized);
  }

  // Host name known, short name not: the short name is asked after the host name.
  log.clear();
  UseConfig(Config());
  {
    FakeApplications apps;
    apps.settings.rulesFlag = 0;
    apps.hostNames[9] = "far.example.com";
    ScopedBackend<ApplicationService> scope(&apps);
    auto h = Helper();
    auto* session = new FakeSession();
    h->m_pSession = session;
    EXPECT_EQ(h->Initialize(1, 5, 0), -1);
    EXPECT_TRUE(Has(namesFailed));
    EXPECT_EQ(apps.hostAsked, 1);
    EXPECT_TRUE(session->attached.empty());
    EXPECT_EQ(h->m_sRemoteClientName, "");
  }

  // A port that is no port: nothing is attempted.
  log.clear();
  UseConfig(Config() + "ServicePort = 70000\n");
  {
    auto h = Helper();
    auto* session = new FakeSession();
    h->m_pSession = session;
    EXPECT_EQ(h->Initialize(1, 5, 0), -1);
    EXPECT_TRUE(Has("Failed to attach to On demand service [TQHSMService].Error [key ServicePort of "
                    "section [Client 9] is not a TCP port (1 to 65535): 70000]"));
    EXPECT_TRUE(session->attached.empty());
    EXPECT_FALSE(h->m_bRulesInitialized);
  }
  UseConfig(Config());

  // The service refuses the session.
  log.clear();
  {
    auto h = Helper();
    auto* session = new FakeSession();
    session->error = CZoError(-61, "Connection refused");
    h->m_pSession = session;
    EXPECT_EQ(h->Initialize(1, 5, 0), -1);
    const tqhsm::test::LogLine* l =
        Line("Failed to attach to On demand service [TQHSMService].Error [Connection refused]");
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->kind, LogKind::Error);
    EXPECT_FALSE(h->m_bRulesInitialized);
    EXPECT_EQ(h->m_pSession, session);  // freed (and disconnected) by the destructor
    ExpectNoCollectFiles();
  }

}

TEST_F(InitializeTest, CollectFileFailures) {
  // StubCollect cannot be created: -1 with the rules read.
  args.m_sJobResultsDir = dir.file("missing");
  {
    auto h = Helper();
    EXPECT_EQ(h->Initialize(1, 5, 0), -1);
    const std::string path = dir.file("missing") + "/StubCollect";
    const tqhsm::test::LogLine* l = Line("Failed to initialize collect file " + path + ".");
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->kind, LogKind::Error);
    EXPECT_TRUE(h->m_bRulesInitialized);
    EXPECT_FALSE(h->m_stubCollect.IsOpen());
    EXPECT_FALSE(h->m_tempCollect.IsOpen());
    EXPECT_TRUE(h->m_sTempCollectPath.empty());
  }

  // StubCollectTemp cannot be created (a directory is in the way): no re-stubbing,
  // but the scan goes on.
  log.clear();
  args.m_sJobResultsDir = dir.path();
  ASSERT_EQ(mkdir(Temp().c_str(), 0755), 0);
  auto h = Helper();
  EXPECT_EQ(h->Initialize(1, 5, 0), 1);
  EXPECT_TRUE(h->m_stubCollect.IsOpen());
  EXPECT_FALSE(h->m_tempCollect.IsOpen());
  EXPECT_FALSE(h->m_bReStubbingEnabled);
  std::vector<std::string> errors;
  for (const auto& l : log.lines)
    if (l.kind == LogKind::Error && l.tag == kTag) errors.push_back(l.text);
  EXPECT_EQ(errors, (std::vector<std::string>{
                        "Failed to initialize temp collect file " + Temp() + ".",
                        "We would not be able to chekc for re-stubbing.",
                    }));
  EXPECT_FALSE(Has("StubCollectTemp file initialized at " + Temp() + "."));
}

TEST_F(InitializeTest, AccessTimeRuleWithoutNativeSnapshotWarns) {
  struct Case {
    const char* daysOld;
    bool nativeSnap;
    bool warns;
  };
  for (const Case& c : {Case{"30", false, true}, Case{"30", true, false}, Case{"0", false, false}}) {
    log.clear();
    args.m_bUseNativeSnap = c.nativeSnap;
    args.m_jobId = 77;
    UseConfig(Config(std::string("DaysOld = ") + c.daysOld + "\n"));
    auto h = Helper();
    ASSERT_EQ(h->Initialize(1, 5, 0), 1);
    EXPECT_EQ(Has(std::string("Warning: ") + kAccessTimeWarning), c.warns);
    if (c.warns) {
      EXPECT_EQ(Line(std::string("Warning: ") + kAccessTimeWarning)->level, 1);
      ASSERT_EQ(log.events.size(), 1u);
      EXPECT_EQ(log.events[0].id, 0x13000359u);
      EXPECT_EQ(log.events[0].jobId, 0);
      EXPECT_EQ(log.events[0].arg, 0);
      EXPECT_EQ(log.events[0].args, std::vector<std::string>{kAccessTimeWarning});
    } else {
      EXPECT_TRUE(log.events.empty());
    }
  }
}

// The example configuration of the README works as printed.
TEST_F(InitializeTest, ReadmeExampleConfiguration) {
  const char* source = std::getenv("TQHSM_TEST_SOURCE_DIR");
  if (!source) GTEST_SKIP() << "TQHSM_TEST_SOURCE_DIR not set";
  std::string readme = tqhsm::test::ReadFile(std::string(source) + "/README.md");
  size_t start = readme.find("    ; /etc/tqhsm/tqhsm.ini\n");
  ASSERT_NE(start, std::string::npos);
  std::string example;
  for (size_t pos = start; pos < readme.size();) {
    size_t end = readme.find('\n', pos);
    if (end == std::string::npos) end = readme.size();
    std::string line = readme.substr(pos, end - pos);
    if (!line.empty() && line.compare(0, 4, "    ") != 0) break;
    if (line.compare(0, 4, "    ") == 0) line = line.substr(4);
    // The catalog of the test, not the system's.
    if (line.rfind("Path = ", 0) == 0) line = "Path = " + dir.file("catalog.db");
    example += line + "\n";
    pos = end + 1;
  }
  UseConfig(example);
  auto h = Helper();
  ASSERT_EQ(h->Initialize(1, 5, 0), 1);
  EXPECT_EQ(h->m_rules.m_nHighFreeSpace, 30);
  EXPECT_EQ(h->m_rules.m_lMinFileSize, 64 * 1024);
  EXPECT_EQ(h->m_ulLimitStubCollect, 100000u);
  EXPECT_EQ(h->m_sSkipFsTypes, ":nfs:isofs:smbfs:procfs:sysfs:tmpfs:proc:");
  EXPECT_TRUE(h->m_perf.m_bEnabled);
  EXPECT_EQ(h->m_sAppGUID, "5A1B7C9E-0000-4000-8000-00000000002A");
}

TEST_F(InitializeTest, DataClassificationIsAnnounced) {
  args.m_bUseDC = true;
  auto h = Helper();
  ASSERT_EQ(h->Initialize(1, 5, 0), 1);
  ASSERT_TRUE(Has("We will use DC."));
  EXPECT_EQ(Line("We will use DC.")->level, 2);
  EXPECT_FALSE(h->m_rules.m_bUseDC);  // printed "Use DC" stays the rules' own
}

}  // namespace
