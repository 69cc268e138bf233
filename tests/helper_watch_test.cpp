#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <list>
#include <cstring>
#include <string>
#include <vector>

#include "CaptureLog.h"
#include "FaultyFileSystem.h"
#include "HSMLowLevel.h"
#include "ScanFakes.h"
#include "TQHSMHelper.h"
#include "TempDir.h"

using namespace tqhsm::test;

namespace {

const char* kWatchTag = "TQHSMHelper::startWatchingVolume";

// The HSM service of a remote client, scripted per request.
class FakeSession : public CObNetwork {
 public:
  struct Sent {
    int type;
    std::string client;
    std::string volume;
    size_t length;
    int arg1, arg2;
  };
  struct Answer {
    CZoError send;
    bool sendFlag = false;
    CZoError receive;
    const char* text = nullptr;  // the service's errorMessage (null: none)
  };

  CZoError SendXDRMessage(int type, obsDatabuf_v2& data, int a1, int a2, bool& flag) override {
    auto* req = static_cast<DMRStartWatchingVolumeReq*>(data.buffer());
    sent.push_back({type, req->clientName ? req->clientName : "(null)",
                    req->volumePath ? req->volumePath : "(null)", data.length(), a1, a2});
    const Answer& a = answer();
    flag = a.sendFlag;
    return a.send;
  }
  CZoError ReceiveXDRMessage(int* type, obsDatabuf_v2& data, void* header, int a1, int a2,
                             bool&) override {
    ++receives;
    EXPECT_EQ(*type, 0x4B00000C);
    EXPECT_EQ(header, nullptr);
    EXPECT_EQ(a1, 0);
    EXPECT_EQ(a2, 0);
    EXPECT_EQ(data.length(), sizeof(DMRStartWatchingVolumeResp));
    auto* resp = static_cast<DMRStartWatchingVolumeResp*>(data.buffer());
    EXPECT_EQ(resp->errorMessage, nullptr);  // handed over zeroed
    const Answer& a = answer();
    if (a.receive.IsError()) return a.receive;
    if (a.text) resp->errorMessage = strdup(a.text);
    return CZoError::Success();
  }
  CZoError FreeReceivedMessage(int type, obsDatabuf_v2& data) override {
    freed.push_back(type);
    auto* resp = static_cast<DMRStartWatchingVolumeResp*>(data.buffer());
    free(resp->errorMessage);
    resp->errorMessage = nullptr;
    ++m_nNext;
    return CZoError(-1, "ignored");
  }
  const Answer& answer() const {
    static const Answer none;
    return m_nNext < answers.size() ? answers[m_nNext] : none;
  }
  void nextRequest() { ++m_nNext; }

  std::vector<Answer> answers;
  std::vector<Sent> sent;
  std::vector<int> freed;
  int receives = 0;

 private:
  size_t m_nNext = 0;
};

// A helper with a state directory of its own and this client's name.
class WatchTest : public ::testing::Test {
 protected:
  WatchTest()
      : m_config("[HSM]\nStateDirectory = " + m_tmp.path() + "/state\n[Client]\nName = host1\n") {}

  std::unique_ptr<TQHSMHelper> helper(int remote = 0, bool proxy = false, bool snap = false,
                                      PathMapper* mapper = nullptr) {
    TQHSMHelperInitArgs args;
    args.m_nRemoteClientId = remote;
    args.m_bIsProxy = proxy;
    args.m_bUseNativeSnap = snap;
    args.m_pPathMapper = mapper;
    args.m_jobId = 42;
    std::unique_ptr<TQHSMHelper> h(new TQHSMHelper(args));
    m_ctx = new FakeCtx();
    h->m_pLowLevelCtx = m_ctx;
    return h;
  }
  FakeSession* attachSession(TQHSMHelper& h) {
    FakeSession* s = new FakeSession();
    h.m_pSession = s;  // the helper owns and frees it
    h.m_sRemoteClientName = "nas9";
    return s;
  }
  bool recorded(const std::string& dir, std::string* root = nullptr) {
    TQHSMMigratedDirTrees trees(true, "host1");
    std::string r;
    int rc = trees.wasDirMigrated(dir.c_str(), r);
    if (root) *root = r;
    return rc != 0;
  }

  TempDir m_tmp;
  ScopedConfig m_config;
  CaptureLog m_log;
  FakeCtx* m_ctx = nullptr;
};

}  // namespace

TEST_F(WatchTest, LocalNewVolumeIsWatchedRecordedAndListed) {
  auto h = helper();
  FakeLowLevel* ll = m_ctx->add("/");
  std::string error = "untouched";
  EXPECT_TRUE(h->startWatchingVolume("/data", error));
  EXPECT_EQ(error, "untouched");
  EXPECT_EQ(ll->calls, (std::vector<std::string>{"watched? /data", "start /data"}));
  EXPECT_EQ(h->m_lstNewHSMMountPoints, (std::list<std::string>{"/data"}));
  EXPECT_TRUE(recorded("/data"));
  EXPECT_EQ(m_log.texts(kWatchTag),
            (std::vector<std::string>{"Going to Check if dir /data is watched",
                                      "Dir /data not being watched",
                                      "Checking if /data was migrated before"}));
  // Should the watch be gone again, the recorded tree is watched anew and not
  // listed a second time: a failed run leaves what an earlier call watched.
  ll->calls.clear();
  EXPECT_TRUE(h->startWatchingVolume("/data", error));
  EXPECT_EQ(ll->calls, (std::vector<std::string>{"watched? /data", "start /data"}));
  EXPECT_EQ(h->m_lstNewHSMMountPoints.size(), 1u);
}

// The volume is watched, but the migrated-trees list cannot take the line (a
// full state directory): the watch stands, and the lost record is an Error.
TEST_F(WatchTest, LocalVolumeThatCannotBeRecordedIsAnError) {
  auto h = helper();
  m_ctx->add("/");
  FaultyFileSystem fs;
  fs.failAt(FaultyFileSystem::eWrite, 1, ENOSPC, true, 0, "migrated_trees");
  tqhsm::ScopedBackend<tqhsm::FileSystem> scope(&fs);
  std::string error;
  EXPECT_TRUE(h->startWatchingVolume("/data", error));
  EXPECT_EQ(fs.fired(FaultyFileSystem::eWrite), 1);
  EXPECT_FALSE(recorded("/data"));
  const LogLine* line = nullptr;
  for (const LogLine& l : m_log.lines)
    if (l.text.find("Could not record /data as migrated: Cannot write ") == 0) line = &l;
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(line->kind, tqhsm::LogKind::Error);
}

TEST_F(WatchTest, LocalAlreadyWatchedOnlyRecordsTheTree) {
  auto h = helper();
  FakeLowLevel* ll = m_ctx->add("/");
  ll->watched = 1;
  std::string error;
  EXPECT_TRUE(h->startWatchingVolume("/data", error));
  EXPECT_EQ(ll->calls, (std::vector<std::string>{"watched? /data"}));
  EXPECT_TRUE(h->m_lstNewHSMMountPoints.empty());  // a failed run leaves it watched
  EXPECT_TRUE(recorded("/data"));
}

TEST_F(WatchTest, LocalVolumeUnderAMigratedTreeIsWatchedAtTheTree) {
  {
    TQHSMMigratedDirTrees trees(true, "host1");
    ASSERT_EQ(trees.addTree("/top"), 0);
  }
  auto h = helper();
  FakeLowLevel* ll = m_ctx->add("/");
  std::string error;
  EXPECT_TRUE(h->startWatchingVolume("/top/vol", error));
  EXPECT_EQ(ll->calls, (std::vector<std::string>{"watched? /top/vol", "start /top"}));
  EXPECT_TRUE(h->m_lstNewHSMMountPoints.empty());
  EXPECT_TRUE(m_log.has(kWatchTag, "Dir /top/vol was migrated before.Starting to watch again"));
  // The volume path is what gets recorded.
  TQHSMMigratedDirTrees trees(true, "host1");
  ASSERT_EQ(trees.delTree("/top"), 0);
  std::string root;
  EXPECT_TRUE(recorded("/top/vol", &root));
  EXPECT_EQ(root, "/top/vol");
}

TEST_F(WatchTest, LocalFailuresComeBackInTheErrorString) {
  {
    TQHSMMigratedDirTrees trees(true, "host1");
    ASSERT_EQ(trees.addTree("/top"), 0);
  }
  struct Case {
    const char* path;
    bool withCtx;
    bool withObject;
    const char* error;
  };
  const Case cases[] = {
      {"/data", false, false, "Failed to create TQHSMLowLevel object for /data"},
      {"/data", true, false, "Failed to create TQHSMLowLevel object for /data"},
      // The low-level library's reason follows the step that failed.
      {"/data", true, true, "Failed to start watching dir tree /data: start refused"},
      {"/top/vol", true, true, "Failed to start watching dir tree /top: start refused"},
  };
  for (const Case& c : cases) {
    auto h = helper();
    if (c.withObject) m_ctx->add("/")->startRc = -1;
    if (!c.withCtx) {
      delete h->m_pLowLevelCtx;
      h->m_pLowLevelCtx = nullptr;
    }
    m_log.clear();
    std::string error;
    EXPECT_FALSE(h->startWatchingVolume(c.path, error));
    EXPECT_EQ(error, c.error);
    // Kept for the owner, by the path asked for.
    EXPECT_EQ(h->WatchFailures(), (std::map<std::string, std::string>{{c.path, c.error}}));
    EXPECT_TRUE(h->m_lstNewHSMMountPoints.empty());
    for (const LogLine& l : m_log.lines) EXPECT_NE(l.kind, tqhsm::LogKind::Error) << l.text;
  }
  EXPECT_FALSE(recorded("/data"));  // no addTree after a failure

  // A later success takes the failure back.
  auto h = helper();
  FakeLowLevel* root = m_ctx->add("/");
  root->startRc = -1;
  std::string error;
  EXPECT_FALSE(h->startWatchingVolume("/data", error));
  root->startRc = 0;
  EXPECT_TRUE(h->startWatchingVolume("/data", error));
  EXPECT_TRUE(h->WatchFailures().empty());
}

TEST_F(WatchTest, RemoteRequestAndEveryAnswer) {
  struct Case {
    FakeSession::Answer answer;
    bool result;
    const char* error;
    bool received;
  };
  FakeSession::Answer sendFails;
  sendFails.send = CZoError(-5, "[net down]");
  FakeSession::Answer flagSet;
  flagSet.sendFlag = true;
  FakeSession::Answer receiveFails;
  receiveFails.receive = CZoError(-7, "[timed out]");
  FakeSession::Answer nullText;
  FakeSession::Answer emptyText;
  emptyText.text = "";
  FakeSession::Answer refused;
  refused.text = "volume busy";
  const Case cases[] = {
      {sendFails, false,
       "Failed to send DMR_START_WATCHING_VOLUME_REQ message to HBHSMService[net down]", false},
      {flagSet, false, "Failed to send DMR_START_WATCHING_VOLUME_REQ message to HBHSMService",
       false},
      {receiveFails, false,
       "Failed to receive DMR_START_WATCHING_VOLUME_RESP message from HBHXMService[timed out]",
       true},
      {nullText, true, "", true},
      {emptyText, true, "", true},
      {refused, false, "volume busy", true},
  };
  for (const Case& c : cases) {
    auto h = helper(9);
    FakeSession* s = attachSession(*h);
    s->answers = {c.answer};
    m_log.clear();
    std::string error = "stale";
    EXPECT_EQ(h->startWatchingVolume("/vol", error), c.result) << c.error;
    EXPECT_EQ(error, c.error);
    ASSERT_EQ(s->sent.size(), 1u);
    EXPECT_EQ(s->sent[0].type, 0x4B00000B);
    EXPECT_EQ(s->sent[0].client, "nas9");
    EXPECT_EQ(s->sent[0].volume, "/vol");
    EXPECT_EQ(s->sent[0].length, sizeof(DMRStartWatchingVolumeReq));
    EXPECT_EQ(s->sent[0].arg1, 0);
    EXPECT_EQ(s->sent[0].arg2, 0);
    EXPECT_EQ(s->receives, c.received ? 1 : 0);
    // The received message is released whatever it said.
    EXPECT_EQ(s->freed, c.received ? std::vector<int>{0x4B00000C} : std::vector<int>{});
    EXPECT_TRUE(m_log.lines.empty());
    // The remote mode leaves this machine's lists alone.
    EXPECT_EQ(m_ctx->lookups, 0);
    EXPECT_TRUE(h->m_lstNewHSMMountPoints.empty());
  }
  EXPECT_FALSE(recorded("/vol"));
}

TEST_F(WatchTest, RemoteWithoutSessionIsLogged) {
  auto h = helper(9);
  std::string error;
  EXPECT_FALSE(h->startWatchingVolume("/vol", error));
  EXPECT_EQ(error, "ObSession object not initialized, can not send message.");
  EXPECT_TRUE(m_log.has(kWatchTag, "ObSession object not initialized, can not send message."));
  EXPECT_EQ(m_log.lines.at(0).kind, tqhsm::LogKind::Error);
}

TEST_F(WatchTest, DeferredVolumesStopAtTheFirstFailure) {
  auto h = helper(9);
  FakeSession* s = attachSession(*h);
  FakeSession::Answer ok, refused;
  refused.text = "no such volume";
  s->answers = {ok, refused, ok};
  for (const char* v : {"/c", "/a", "/b"}) h->m_mapVolumesToWatch[v] = true;
  EXPECT_FALSE(h->ProcessMigratedVolumes());
  ASSERT_EQ(s->sent.size(), 2u);
  EXPECT_EQ(s->sent[0].volume, "/a");  // in key order
  EXPECT_EQ(s->sent[1].volume, "/b");
  EXPECT_TRUE(m_log.has("TQHSMHelper::ProcessMigratedVolumes", "Failed no such volume."));
  EXPECT_EQ(h->m_mapVolumesToWatch.size(), 3u);

  auto empty = helper(9);
  FakeSession* quiet = attachSession(*empty);
  EXPECT_TRUE(empty->ProcessMigratedVolumes());
  EXPECT_TRUE(quiet->sent.empty());
}

TEST_F(WatchTest, DeferredProxyVolumesAreWatchedAtTheirHostPaths) {
  PrefixPathMapper mapper("/proxy", "/host");
  auto h = helper(0, true, false, &mapper);
  FakeLowLevel* ll = m_ctx->add("/host");
  h->m_mapVolumesToWatch["/proxy/b"] = true;
  h->m_mapVolumesToWatch["/proxy/a"] = true;
  EXPECT_TRUE(h->ProcessMigratedVolumes());
  EXPECT_EQ(ll->calls, (std::vector<std::string>{"watched? /host/a", "start /host/a",
                                                 "watched? /host/b", "start /host/b"}));
}

TEST_F(WatchTest, CleanupTakesNewWatchesOffAndGoesOnAfterAFailure) {
  {
    TQHSMMigratedDirTrees trees(true, "host1");
    for (const char* d : {"/a", "/b", "/c"}) ASSERT_EQ(trees.addTree(d), 0);
  }
  auto h = helper();
  FakeLowLevel* ll = m_ctx->add("/");
  ll->stopRc["/b"] = -1;
  h->m_lstNewHSMMountPoints = {"/a", "/b", "/c"};
  EXPECT_EQ(h->CleanupNewHSMMountPoints(), 0);
  EXPECT_EQ(ll->calls, (std::vector<std::string>{"stop /a", "stop /b", "stop /c"}));
  EXPECT_TRUE(m_log.has("TQHSMHelper::CleanupNewHSMMountPoints",
                        "Failed to remove '/b' from watch list: cannot unwatch /b"));
  EXPECT_FALSE(recorded("/a"));
  EXPECT_TRUE(recorded("/b"));  // still watched, so still recorded
  EXPECT_FALSE(recorded("/c"));
  EXPECT_EQ(h->m_lstNewHSMMountPoints.size(), 3u);

  ll->stopRc.clear();
  ll->calls.clear();
  EXPECT_EQ(h->CleanupNewHSMMountPoints(), 1);
  EXPECT_EQ(ll->calls.size(), 3u);

  h->m_lstNewHSMMountPoints.clear();
  EXPECT_EQ(h->CleanupNewHSMMountPoints(), 1);
}

TEST_F(WatchTest, CleanupStopsSilentlyWithoutALowLevelObject) {
  auto h = helper();
  FakeLowLevel* a = m_ctx->add("/a");
  FakeLowLevel* c = m_ctx->add("/c");
  h->m_lstNewHSMMountPoints = {"/a", "/elsewhere", "/c"};
  EXPECT_EQ(h->CleanupNewHSMMountPoints(), 0);
  EXPECT_EQ(a->calls, (std::vector<std::string>{"stop /a"}));
  EXPECT_TRUE(c->calls.empty());
  EXPECT_TRUE(m_log.lines.empty());

  delete h->m_pLowLevelCtx;
  h->m_pLowLevelCtx = nullptr;
  EXPECT_EQ(h->CleanupNewHSMMountPoints(), 0);
}

// DeInitialize sends the deferred watches after a good run off the local scan,
// and takes the new watches off after a failed local-client run; nothing else.
TEST_F(WatchTest, DeInitializeChoosesBetweenDeferredWatchesAndCleanup) {
  struct Case {
    int remote;
    bool proxy;
    bool snap;
    int failed;
    bool sends;
    bool cleans;
  };
  const Case cases[] = {
      {0, false, false, 0, false, false}, {0, false, false, 1, false, true},
      {9, false, false, 0, true, false},  {9, false, false, 1, false, false},
      {0, true, false, 0, true, false},   {0, true, false, 1, false, true},
      {0, false, true, 0, true, false},   {0, false, true, 1, false, true},
  };
  for (const Case& c : cases) {
    auto h = helper(c.remote, c.proxy, c.snap);
    FakeLowLevel* ll = m_ctx->add("/");
    ll->stopRc["/new"] = -1;  // the cleanup fails: DeInitialize still answers 1
    FakeSession* s = c.remote ? attachSession(*h) : nullptr;
    h->m_mapVolumesToWatch["/vol"] = true;
    h->m_lstNewHSMMountPoints = {"/new"};
    m_log.clear();
    EXPECT_EQ(h->DeInitialize(c.failed), 1);
    bool sent = s ? !s->sent.empty()
                  : std::find(ll->calls.begin(), ll->calls.end(), "watched? /vol") != ll->calls.end();
    bool cleaned = std::find(ll->calls.begin(), ll->calls.end(), "stop /new") != ll->calls.end();
    EXPECT_EQ(sent, c.sends) << c.remote << c.proxy << c.snap << c.failed;
    EXPECT_EQ(cleaned, c.cleans) << c.remote << c.proxy << c.snap << c.failed;
    EXPECT_TRUE(m_log.has("TQHSMHelper::DeInitialize", "Total [0] archive candidates collected"));
    EXPECT_TRUE(m_log.events.empty());
  }
}

TEST_F(WatchTest, DeInitializeReportsMountsWithoutExtendedAttributes) {
  auto h = helper();
  h->m_vecNoXattrMounts = {"/a", "/b"};
  h->m_ulFilesCollected = 7;
  EXPECT_EQ(h->DeInitialize(0), 1);
  ASSERT_EQ(m_log.events.size(), 1u);
  EXPECT_EQ(m_log.events[0].id, 0x1100004au);
  EXPECT_EQ(m_log.events[0].jobId, 42);
  EXPECT_EQ(m_log.events[0].arg, 0);
  EXPECT_EQ(m_log.events[0].args, (std::vector<std::string>{"/a, /b"}));
  const LogLine* line = m_log.find(
      "Extended Attribute is not supported or extended attributed is disabled in mount options "
      "for [ /a, /b ]");
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(line->kind, tqhsm::LogKind::Error);
  EXPECT_EQ(line->tag, "TQHSMHelper::DeInitialize");
  EXPECT_TRUE(m_log.has("TQHSMHelper::DeInitialize", "Total [7] archive candidates collected"));
}

TEST_F(WatchTest, DeInitializeAfterAFailedInitializeLogsCountersAndClosesStubCollect) {
  ScopedConfig config("[PerfCounters]\nEnabled = yes\n");  // and no subclient at all
  TQHSMHelperInitArgs args;
  args.m_sJobResultsDir = m_tmp.path();
  args.m_sCollectFileName = "StubCollect";
  TQHSMHelper h(args);
  ASSERT_EQ(h.Initialize(0, 5, 0), -1);
  m_log.clear();
  EXPECT_EQ(h.DeInitialize(0), 1);
  std::vector<std::string> texts = m_log.texts("TQHSMHelper::DeInitialize");
  ASSERT_EQ(texts.size(), 6u);  // five counters, then the total
  EXPECT_EQ(texts[0].rfind("Perf counter IsDMCandidate", 0), 0u);
  EXPECT_NE(texts[0].find("[For All The Files]"), std::string::npos);
  EXPECT_EQ(texts[5], "Total [0] archive candidates collected");

  // A StubCollect that was open is closed with what was written.
  auto ready = helper();
  ready->m_bRulesInitialized = true;
  ASSERT_NE(ready->m_stubCollect.Initialize(m_tmp.file("SC")), 0);
  ready->m_stubCollect.SetSeperator('|');
  ready->AddToCollect("/data/f", true, 12);
  EXPECT_EQ(ready->DeInitialize(0), 1);
  EXPECT_FALSE(ready->m_stubCollect.IsOpen());
  EXPECT_EQ(ReadFile(m_tmp.file("SC")), "|/data/f:12|0|\n");
}
