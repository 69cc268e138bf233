#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CaptureLog.h"
#include "TQHSMHelper.h"

using tqhsm::test::CaptureLog;

namespace {

std::vector<std::string>* g_trace = nullptr;

void Trace(const std::string& what) {
  if (g_trace) g_trace->push_back(what);
}

class TracingCtx : public TQHSMLowLevelCtx {
 public:
  TracingCtx() : TQHSMLowLevelCtx(0) {}
  ~TracingCtx() override { Trace("~TQHSMLowLevelCtx"); }
};

class TracingSession : public CObNetwork {
 public:
  CZoError Disconnect(int timeout, bool&) override {
    Trace("Disconnect(" + std::to_string(timeout) + ")");
    return CZoError(-1, "ignored");
  }
  ~TracingSession() override { Trace("~CObNetwork"); }
};

class TracingMapper : public ParvisMapper {
 public:
  ~TracingMapper() override { Trace("~ParvisMapper"); }
};

class TracingArchive : public OBArchive {
 public:
  TracingArchive() : OBArchive("client", nullptr, true) {}
  ~TracingArchive() override { Trace("~OBArchive"); }
};

class TracingIndex : public FetchIndexInfo {
 public:
  explicit TracingIndex(std::string name) : m_sName(std::move(name)) {}
  ~TracingIndex() override { Trace("~FetchIndexInfo " + m_sName); }
  std::string m_sName;
};

}  // namespace

TEST(HelperObjectTest, ConstructorCopiesTheRecordAndSetsDefaults) {
  TQHSMHelperInitArgs args;
  args.m_jobId = 77;
  args.m_sJobResultsDir = "/jr";
  args.m_sCollectFileName = "StubCollect";
  args.m_sAuxName = "aux";
  args.m_nRemoteClientId = 0;
  args.m_nAppId = -5;
  args.m_nIndexInitArg = -2;
  args.m_nIndexInitArg2 = 0x1234567890ULL;
  args.m_llSnapCollectArg = 9;
  args.m_bUseDC = true;
  TQHSMHelper h(args);

  EXPECT_TRUE(h.IsLocalScan());
  EXPECT_EQ(h.m_jobId, 77);
  EXPECT_EQ(h.m_sJobResultsDir, "/jr");
  EXPECT_EQ(h.m_sCollectFileName, "StubCollect");
  EXPECT_EQ(h.m_sAuxName, "aux");
  EXPECT_EQ(h.m_nAppId, -5);         // sign-extended
  EXPECT_EQ(h.m_nIndexInitArg, -2);  // sign-extended
  EXPECT_EQ(h.m_nIndexInitArg2, 0x1234567890ULL);
  EXPECT_EQ(h.m_llSnapCollectArg, 9);
  EXPECT_TRUE(h.m_bUseDC);
  EXPECT_FALSE(h.m_rules.m_bUseDC);
  EXPECT_FALSE(h.m_bRulesInitialized);
  EXPECT_FALSE(h.m_bSnapHostMapped);
  EXPECT_TRUE(h.m_bReStubbingEnabled);
  EXPECT_EQ(h.m_pSession, nullptr);
  EXPECT_EQ(h.m_pLowLevelCtx, nullptr);
  EXPECT_EQ(h.m_pVolume, nullptr);
  EXPECT_EQ(h.m_ulLimitStubCollect, 0u);
  EXPECT_EQ(h.m_ulFilesCollected, 0u);

  const TQHSMRules& r = h.m_rules;
  EXPECT_EQ(r.m_ulRulesFlag, 0x2000u);
  EXPECT_TRUE(r.m_bUseAllRules);
  EXPECT_TRUE(r.m_bSkipSmallerThanFsBlock);
  EXPECT_FALSE(r.m_bDoNotCreateStub);
  EXPECT_FALSE(r.m_bHonorArchiverRetention);
  EXPECT_FALSE(r.m_bStubCacheEnabled);
  EXPECT_EQ(r.m_pParvisMapper, nullptr);
  EXPECT_EQ(r.m_pArchive, nullptr);

  h.SetSnapHostMapped(true);
  EXPECT_TRUE(h.m_bSnapHostMapped);
}

TEST(HelperObjectTest, ScanModeFollowsTheThreeFields) {
  struct Case {
    int remote;
    bool proxy;
    bool snap;
    bool local;
  };
  for (const Case& c : {Case{0, false, false, true}, Case{3, false, false, false},
                        Case{0, true, false, false}, Case{0, false, true, false}}) {
    TQHSMHelperInitArgs args;
    args.m_nRemoteClientId = c.remote;
    args.m_bIsProxy = c.proxy;
    args.m_bUseNativeSnap = c.snap;
    TQHSMHelper h(args);
    EXPECT_EQ(h.IsLocalScan(), c.local) << c.remote << c.proxy << c.snap;
  }
}

TEST(HelperObjectTest, DestructionFreesOwnedObjectsInOrder) {
  std::vector<std::string> trace;
  g_trace = &trace;
  {
    TQHSMHelperInitArgs args;
    args.m_nRemoteClientId = 4;
    TQHSMHelper h(args);
    h.m_pLowLevelCtx = new TracingCtx;
    h.m_pSession = new TracingSession;
    h.m_rules.m_pParvisMapper = new TracingMapper;
    h.m_rules.m_pArchive = new TracingArchive;
    h.m_rules.m_mapAFIndexInfo[PrunedAF(1, 1, 9)] = new TracingIndex("9");
    h.m_rules.m_mapAFIndexInfo[PrunedAF(1, 1, 3)] = new TracingIndex("3");
    h.m_rules.m_mapAFIndexInfo[PrunedAF(1, 2, 3)] = nullptr;  // an empty slot is allowed
  }
  g_trace = nullptr;
  const std::vector<std::string> expected = {
      "~TQHSMLowLevelCtx", "Disconnect(300)", "~CObNetwork",       "~ParvisMapper",
      "~OBArchive",        "~FetchIndexInfo 3", "~FetchIndexInfo 9",
  };
  EXPECT_EQ(trace, expected);
}

TEST(HelperObjectTest, LocalScanWithoutInitializeFreesOnlyMembers) {
  std::vector<std::string> trace;
  g_trace = &trace;
  {
    TQHSMHelperInitArgs args;
    TQHSMHelper h(args);
  }
  g_trace = nullptr;
  EXPECT_TRUE(trace.empty());
}

TEST(HelperObjectTest, PrunedAFOrdersByArchiveFileThenCopyThenParvis) {
  EXPECT_TRUE(PrunedAF(9, 9, 1) < PrunedAF(1, 1, 2));
  EXPECT_TRUE(PrunedAF(9, 1, 2) < PrunedAF(1, 2, 2));
  EXPECT_TRUE(PrunedAF(1, 2, 2) < PrunedAF(2, 2, 2));
  EXPECT_FALSE(PrunedAF(2, 2, 2) < PrunedAF(2, 2, 2));
  EXPECT_TRUE(PrunedAF(0, 0, 0xFFFFFFFFFFFFFFFEULL) < PrunedAF(0, 0, 0xFFFFFFFFFFFFFFFFULL));
}

TEST(HelperObjectTest, PrintHSMRulesWithDefaults) {
  CaptureLog log;
  TQHSMHelperInitArgs args;
  TQHSMHelper h(args);
  h.PrintHSMRules();
  const std::vector<std::string> expected = {
      "SUBLCIENT SETTINGS",
      "\tHigh Free Space\t\t:0",
      "\tLow Free Space\t\t:0",
      "\tDays Old\t\t:0",
      "\tDays Old (M-Time)\t:0",
      "\tMin File Size\t\t:0B",
      "\tMax File Size\t\t:0B",
      "\tHonor Archiver Retention:\t:No",
      "\tDoNotCreateStub\t\t:FALSE",
      "\tUseAllRules\t\t:TRUE",
      "\tRules Flag\t\t:8192",
      "\tUse DC\t\t:FALSE",
  };
  EXPECT_EQ(log.texts("TQHSMHelper::PrintHSMRules"), expected);
  for (const auto& l : log.lines) EXPECT_EQ(l.level, 0);
}

TEST(HelperObjectTest, PrintHSMRulesWithSettings) {
  CaptureLog log;
  TQHSMHelperInitArgs args;
  args.m_bUseDC = true;  // the record's flag is not what is printed
  TQHSMHelper h(args);
  TQHSMRules& r = h.m_rules;
  r.m_nHighFreeSpace = 30;
  r.m_nLowFreeSpace = 10;
  r.m_lDaysOld = 90;
  r.m_lDaysOldMTime = 7;
  r.m_lMinFileSize = 10240;
  r.m_lMaxFileSize = 11264;
  r.m_bHonorArchiverRetention = true;
  r.m_lDeleteStubAfterNDays = 365;
  r.m_bDoNotCreateStub = true;
  r.m_ulRulesFlag = 4;
  h.PrintHSMRules();
  std::vector<std::string> got = log.texts("TQHSMHelper::PrintHSMRules");
  ASSERT_EQ(got.size(), 13u);
  EXPECT_EQ(got[1], "\tHigh Free Space\t\t:30");
  EXPECT_EQ(got[3], "\tDays Old\t\t:90");
  EXPECT_EQ(got[5], "\tMin File Size\t\t:10240B");
  EXPECT_EQ(got[6], "\tMax File Size\t\t:11264B");
  EXPECT_EQ(got[7], "\tHonor Archiver Retention:\t:Yes");
  EXPECT_EQ(got[8], "\tDeleteStubAfterNDatys\t:365");
  EXPECT_EQ(got[9], "\tDoNotCreateStub\t\t:TRUE");
  EXPECT_EQ(got[11], "\tRules Flag\t\t:4");
  EXPECT_EQ(got[12], "\tUse DC\t\t:FALSE");
}

TEST(HelperObjectTest, EventsCarryTheArgumentsHandedInBefore) {
  CaptureLog log;
  TQHSMHelperInitArgs args;
  TQHSMHelper h(args);
  h.m_event << "/a" << std::string("/b");
  h.m_event.CriticalEvent(0x1100004a, 12, 0);
  h.m_event.CriticalEvent(0x11000027, 0, 0);
  ASSERT_EQ(log.events.size(), 2u);
  EXPECT_EQ(log.events[0].id, 0x1100004au);
  EXPECT_EQ(log.events[0].jobId, 12);
  EXPECT_EQ(log.events[0].args, (std::vector<std::string>{"/a", "/b"}));
  EXPECT_TRUE(log.events[1].args.empty());
}
