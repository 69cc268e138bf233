// Initialize when one of the objects it owns cannot be created. This binary
// replaces the global allocation functions so that the allocation right after
// the application was resolved can be made to fail.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "Application.h"
#include "CaptureLog.h"
#include "TQHSMHelper.h"
#include "TempDir.h"

namespace {
bool g_failNextAllocation = false;

void* allocate(std::size_t size) {
  if (g_failNextAllocation) {
    g_failNextAllocation = false;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

using tqhsm::ApplicationService;
using tqhsm::ClientNameKind;
using tqhsm::ScopedBackend;
using tqhsm::test::CaptureLog;
using tqhsm::test::FileExists;
using tqhsm::test::TempDir;

namespace {

// Resolves every application and then arms the allocation failure: with the
// archive-manager and Parvis clients already in place, the next allocation of
// Initialize is the object under test.
class ArmingApplications : public ApplicationService {
 public:
  int resolve(int, int, std::unique_ptr<Subclient>& subclient) override {
    SubclientSettings s;
    s.rulesFlag = 0;
    s.guid = "g";
    subclient.reset(new Subclient(s));
    g_failNextAllocation = true;
    return 0;
  }
  int clientName(int, ClientNameKind, std::string& name) override {
    name = "far";
    return 0;
  }
};

class InitializeAllocTest : public ::testing::Test {
 protected:
  void SetUp() override {
    args.m_sJobResultsDir = dir.path();
    args.m_sCollectFileName = "StubCollect";
  }
  void TearDown() override { g_failNextAllocation = false; }

  std::unique_ptr<TQHSMHelper> Helper() {
    std::unique_ptr<TQHSMHelper> h(new TQHSMHelper(args));
    h->m_rules.m_pParvisMapper = new ParvisMapper();
    h->m_rules.m_pArchive = new OBArchive("here", nullptr, true);
    return h;
  }

  CaptureLog log;
  TempDir dir;
  TQHSMHelperInitArgs args;
  ArmingApplications apps;
  ScopedBackend<ApplicationService> scope{&apps};
};

TEST_F(InitializeAllocTest, LowLevelContextThatCannotBeCreated) {
  auto h = Helper();
  EXPECT_EQ(h->Initialize(1, 5, 0), -1);
  EXPECT_FALSE(g_failNextAllocation);  // the failure was spent on the context
  EXPECT_TRUE(log.has("TQHSMHelper::Initialize", "Failed to instantiate TQHSMLowLevelCtx object."));
  EXPECT_EQ(h->m_pLowLevelCtx, nullptr);
  EXPECT_FALSE(h->m_bRulesInitialized);
  EXPECT_FALSE(FileExists(dir.file("StubCollect")));
}

TEST_F(InitializeAllocTest, SessionThatCannotBeCreated) {
  args.m_nRemoteClientId = 9;
  auto h = Helper();
  h->m_pLowLevelCtx = new TQHSMLowLevelCtx(0);
  EXPECT_EQ(h->Initialize(1, 5, 0), -1);
  EXPECT_FALSE(g_failNextAllocation);
  EXPECT_TRUE(log.has("TQHSMHelper::Initialize", "Failed to instantiate ObSession object."));
  EXPECT_EQ(h->m_pSession, nullptr);
  EXPECT_FALSE(h->m_bRulesInitialized);
  EXPECT_FALSE(FileExists(dir.file("StubCollect")));
}

}  // namespace
