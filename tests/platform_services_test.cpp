#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "Application.h"
#include "CaptureLog.h"
#include "Catalog.h"
#include "Config.h"
#include "Messages.h"
#include "TempDir.h"

using tqhsm::Catalog;
using tqhsm::ConfigSource;
using tqhsm::IniConfig;
using tqhsm::LogKind;
using tqhsm::ScopedBackend;
using tqhsm::test::CaptureLog;
using tqhsm::test::TempDir;
namespace retention = tqhsm::retention;

namespace {

// Installs a configuration given as text for the life of the object.
class ConfigScope {
 public:
  explicit ConfigScope(const std::string& text)
      : m_config(IniConfig::FromString(text)), m_scope(m_config.get()) {}

 private:
  std::unique_ptr<IniConfig> m_config;
  ScopedBackend<ConfigSource> m_scope;
};

std::string RetentionRequest(int64_t subclientId) {
  CNMessageBase request(retention::kFamily, retention::kRequestType);
  request.getObjectAccessor(true, true, 1, 1, retention::kRequestObjectId,
                            retention::kRequestObjectType, 18, 10)
      ->setint64(0, 0, subclientId, retention::kSubclientIdField, retention::kSubclientIdType);
  std::string xml;
  EXPECT_EQ(request.serialize(xml, false), 0);
  return xml;
}

}  // namespace

// --------------------------------------------------------------- messages

TEST(MessageTest, SerializesAndReadsBack) {
  CNMessageBase m(30, 1958);
  CNObjectAccessor* o = m.getObjectAccessor(true, true, 1, 1, 0x1e2132cd, 0xdd020b, 18, 10);
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(m.getObjectAccessor(true, true, 1, 1, 0x1e2132cd, 0xdd020b, 18, 10), o);  // same object
  o->setint64(0, 0, -9223372036854775807LL - 1, 0x12d8e9ce, 0xa4b486);
  m.setint64(1, 0, 9223372036854775807LL, 0x1e052781, 0x614c3b);

  std::string flat, indented;
  ASSERT_EQ(m.serialize(flat, false), 0);
  EXPECT_EQ(flat,
            "<CNMessage family=\"30\" type=\"1958\">"
            "<int64 id=\"0x1e052781\" type=\"0x614c3b\" value=\"9223372036854775807\"/>"
            "<object id=\"0x1e2132cd\" type=\"0xdd020b\">"
            "<int64 id=\"0x12d8e9ce\" type=\"0xa4b486\" value=\"-9223372036854775808\"/>"
            "</object></CNMessage>");
  ASSERT_EQ(m.serialize(indented, true), 0);
  EXPECT_NE(indented.find("\n  <object"), std::string::npos);

  for (const std::string& xml : {flat, indented, "<?xml version=\"1.0\"?>\n" + flat}) {
    CNMessageBase back(30, 1958);
    ASSERT_EQ(back.unserialize(xml), 0) << back.lastError();
    EXPECT_EQ(back.getint64(1, 0x1e052781, 0x614c3b), 9223372036854775807LL);
    CNObjectAccessor* bo = back.getObjectAccessor(false, true, 1, 1, 0x1e2132cd, 0xdd020b, 18, 10);
    ASSERT_NE(bo, nullptr);
    EXPECT_EQ(bo->getint64(0, 0x12d8e9ce, 0xa4b486), -9223372036854775807LL - 1);
    std::string again;
    back.serialize(again, false);
    EXPECT_EQ(again, flat);
  }

  // Absent fields read as 0, absent objects as null.
  EXPECT_EQ(m.getint64(1, 0x1234, 0), 0);
  int64_t v = 5;
  EXPECT_FALSE(m.findint64(0x1234, v));
  EXPECT_EQ(m.getObjectAccessor(false, true, 1, 1, 0x99, 0, 0, 0), nullptr);
}

TEST(MessageTest, UnserializeRefusesWhatIsNotThisMessage) {
  const std::string field = "<int64 id=\"0x1\" type=\"0x2\" value=\"3\"/>";
  auto msg = [](const std::string& body) {
    return "<CNMessage family=\"30\" type=\"1959\">" + body + "</CNMessage>";
  };
  std::string deep;
  for (int i = 0; i < 40; ++i) deep += "<object id=\"1\" type=\"1\">";
  for (int i = 0; i < 40; ++i) deep += "</object>";
  struct Case {
    const char* name;
    std::string xml;
    int code;
  };
  const std::vector<Case> cases = {
      {"empty", "", CNMessageBase::eMsgMalformedXml},
      {"not xml", "garbage", CNMessageBase::eMsgMalformedXml},
      {"cut short", msg(field).substr(0, 50), CNMessageBase::eMsgMalformedXml},
      {"two roots", msg(field) + msg(field), CNMessageBase::eMsgMalformedXml},
      {"other root", "<Message family=\"30\" type=\"1959\"/>", CNMessageBase::eMsgWrongMessage},
      {"other type", "<CNMessage family=\"30\" type=\"1958\"/>", CNMessageBase::eMsgWrongMessage},
      {"other family", "<CNMessage family=\"31\" type=\"1959\"/>", CNMessageBase::eMsgWrongMessage},
      {"no family", "<CNMessage type=\"1959\"/>", CNMessageBase::eMsgBadContent},
      {"unknown element", msg("<text id=\"1\" type=\"1\"/>"), CNMessageBase::eMsgBadContent},
      {"value not a number", msg("<int64 id=\"1\" type=\"1\" value=\"12a\"/>"),
       CNMessageBase::eMsgBadContent},
      {"value too large", msg("<int64 id=\"1\" type=\"1\" value=\"9223372036854775808\"/>"),
       CNMessageBase::eMsgBadContent},
      {"id too large", msg("<int64 id=\"0x100000000\" type=\"1\" value=\"1\"/>"),
       CNMessageBase::eMsgBadContent},
      {"negative id", msg("<int64 id=\"-1\" type=\"1\" value=\"1\"/>"), CNMessageBase::eMsgBadContent},
      {"no value", msg("<int64 id=\"1\" type=\"1\"/>"), CNMessageBase::eMsgBadContent},
      {"text", msg("42"), CNMessageBase::eMsgBadContent},
      {"element inside a field", msg("<int64 id=\"1\" type=\"1\" value=\"1\"><object id=\"1\" "
                                     "type=\"1\"/></int64>"),
       CNMessageBase::eMsgBadContent},
      {"nested too deeply", msg(deep), CNMessageBase::eMsgBadContent},
  };
  for (const Case& c : cases) {
    CNMessageBase m(30, 1959);
    m.setint64(0, 0, 7, 0x9, 0);  // content from before is dropped on failure
    EXPECT_EQ(m.unserialize(c.xml), c.code) << c.name;
    EXPECT_FALSE(m.lastError().empty()) << c.name;
    int64_t v = 0;
    EXPECT_FALSE(m.findint64(0x9, v)) << c.name;
    EXPECT_FALSE(m.findint64(0x1, v)) << c.name;
  }
}

// --------------------------------------------------------------- stored procedure

class StoredProcedureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Catalog::SetShared(nullptr);
    std::string error;
    auto c = Catalog::Open(dir.file("catalog.db"), error);
    ASSERT_TRUE(c) << error;
    ASSERT_TRUE(c->exec("INSERT INTO subclient_retention VALUES (42, -1), (43, 365)", error));
  }
  void TearDown() override { Catalog::SetShared(nullptr); }

  CaptureLog log;
  TempDir dir;
  ConfigScope config{"[Catalog]\nPath = " + dir.file("catalog.db") + "\n"};
};

TEST_F(StoredProcedureTest, AnswersArchiverRetentionFromTheCatalog) {
  for (int64_t id : {42, 43}) {
    std::string out;
    ASSERT_EQ(App_ExecuteSP::executeStoredProcedure(0x1e2132cd, RetentionRequest(id), out), 0);
    CNMessageBase response(30, 1959);
    ASSERT_EQ(response.unserialize(out), 0) << out;
    EXPECT_EQ(response.getint64(1, retention::kDaysField, retention::kDaysType),
              id == 42 ? -1 : 365);
  }
}

TEST_F(StoredProcedureTest, FailuresHaveTheirOwnResults) {
  std::string out;
  EXPECT_EQ(App_ExecuteSP::executeStoredProcedure(0x1e2132cd, RetentionRequest(44), out),
            tqhsm::eSpNotFound);
  EXPECT_EQ(App_ExecuteSP::executeStoredProcedure(0x12345678, RetentionRequest(42), out),
            tqhsm::eSpUnknownProcedure);
  EXPECT_TRUE(log.hasText("Unknown stored procedure 0x12345678."));
  EXPECT_EQ(App_ExecuteSP::executeStoredProcedure(0x1e2132cd, "<nonsense", out),
            tqhsm::eSpBadRequest);
  // A request without the subclient id.
  EXPECT_EQ(App_ExecuteSP::executeStoredProcedure(
                0x1e2132cd, "<CNMessage family=\"30\" type=\"1958\"/>", out),
            tqhsm::eSpBadRequest);
  EXPECT_TRUE(log.hasText("GetHonorArchiverRetentionDaysReq carries no subclient id."));

  // A file that is not a database.
  Catalog::SetShared(nullptr);
  std::string notDb = dir.write("junk.db", std::string(4096, 'x'));
  ConfigScope junk("[Catalog]\nPath = " + notDb + "\n");
  EXPECT_EQ(App_ExecuteSP::executeStoredProcedure(0x1e2132cd, RetentionRequest(42), out),
            tqhsm::eSpCatalogUnavailable);
  const tqhsm::test::LogLine* l = nullptr;
  for (const auto& line : log.lines)
    if (line.text.rfind("Cannot prepare catalog " + notDb, 0) == 0) l = &line;
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(l->kind, LogKind::Error);
}

// --------------------------------------------------------------- subclients, clients

TEST(ApplicationTest, SubclientFromTheConfiguration) {
  CaptureLog log;
  ConfigScope config(
      "[Subclient 5]\n"
      "SubclientId = 42\n"
      "GUID = 5A1B\n"
      "HighFreeSpace = 90\n"
      "LowFreeSpace = 80\n"
      "DaysOld = 30\n"
      "DaysOldMTime = 60\n"
      "MinFileSizeKB = 4\n"
      "MaxFileSizeKB = 1048576\n"
      "DeleteStubAfterNDays = 365\n"
      "HonorArchiverRetention = Yes\n"
      "RulesFlag = 0x4\n"
      "[Subclient 6]\n"
      "RulesFlag = 0\n");
  ApplicationId app(1, 5);
  EXPECT_EQ(app.getSubclient(), nullptr);
  ASSERT_EQ(app.getApplicationId(), 0);
  Subclient* s = app.getSubclient();
  ASSERT_NE(s, nullptr);
  std::string guid;
  int32_t i32 = 0;
  int64_t i64 = 0;
  uint64_t u64 = 0;
  EXPECT_EQ(s->getGUIDStr(guid), 0);
  EXPECT_EQ(guid, "5A1B");
  EXPECT_EQ(s->getSubclientId(), 42);
  EXPECT_EQ(s->getHighFreeSpace(i32), 0);
  EXPECT_EQ(i32, 90);
  EXPECT_EQ(s->getLowFreeSpace(i32), 0);
  EXPECT_EQ(i32, 80);
  EXPECT_EQ(s->getDaysOld(i64), 0);
  EXPECT_EQ(i64, 30);
  EXPECT_EQ(s->getDaysOldMTime(i64), 0);
  EXPECT_EQ(i64, 60);
  EXPECT_EQ(s->getMinFileSizeKB(i64), 0);
  EXPECT_EQ(i64, 4);
  EXPECT_EQ(s->getMaxFileSizeKB(i64), 0);
  EXPECT_EQ(i64, 1048576);
  EXPECT_EQ(s->getDeleteStubAfterNDays(i64), 0);
  EXPECT_EQ(i64, 365);
  EXPECT_TRUE(s->isHonorArchiverAgentRetention());
  EXPECT_EQ(s->getRulesFlag(u64), 0);
  EXPECT_EQ(u64, 4u);
  EXPECT_TRUE(log.lines.empty());

  // Defaults: the subclient id is the application id, rules disabled, no GUID.
  ApplicationId app6(1, 6);
  ASSERT_EQ(app6.getApplicationId(), 0);
  Subclient* s6 = app6.getSubclient();
  EXPECT_EQ(s6->getGUIDStr(guid), 1);
  EXPECT_EQ(s6->getSubclientId(), 6);
  EXPECT_FALSE(s6->isHonorArchiverAgentRetention());
  EXPECT_EQ(s6->getRulesFlag(u64), 0);
  EXPECT_EQ(u64, 0u);

  // Unknown application.
  ApplicationId app7(1, 7);
  EXPECT_NE(app7.getApplicationId(), 0);
  EXPECT_EQ(app7.getSubclient(), nullptr);
}

TEST(ApplicationTest, BadSubclientValuesAreReportedAndDefaulted) {
  CaptureLog log;
  ConfigScope config(
      "[Subclient 5]\n"
      "HighFreeSpace = 150\n"
      "LowFreeSpace = -1\n"
      "MaxFileSizeKB = 9007199254740992\n"  // 2^53 KB: beyond 64 bits in bytes
      "DaysOld = thirty\n"
      "RulesFlag = 0\n");
  ApplicationId app(1, 5);
  ASSERT_EQ(app.getApplicationId(), 0);
  Subclient* s = app.getSubclient();
  int32_t i32 = 7;
  int64_t i64 = 7;
  uint64_t u64 = 7;
  EXPECT_EQ(s->getHighFreeSpace(i32), -1);
  EXPECT_EQ(i32, 0);
  EXPECT_EQ(s->getLowFreeSpace(i32), -1);
  EXPECT_EQ(s->getMaxFileSizeKB(i64), -1);
  EXPECT_EQ(i64, 0);
  EXPECT_EQ(s->getDaysOld(i64), -1);
  EXPECT_EQ(s->getRulesFlag(u64), 0);
  EXPECT_EQ(s->getDaysOldMTime(i64), 0);
  EXPECT_TRUE(log.hasText(
      "Key HighFreeSpace of section [Subclient 5] is not a whole number from 0 to 100 [150]; the "
      "default 0 is used."));
  EXPECT_TRUE(log.hasText(
      "Key DaysOld of section [Subclient 5] is not a whole number from 0 to 9223372036854775807 "
      "[thirty]; the default 0 is used."));
  EXPECT_EQ(log.lines.size(), 4u);
  for (const auto& l : log.lines) EXPECT_EQ(l.kind, LogKind::Error);
}

TEST(ApplicationTest, ClientNames) {
  CaptureLog log;
  ConfigScope config(
      "[Client 3]\nHostName = alpha.example.com\nName = a\n"
      "[Client 4]\nHostName = beta.example.com\n"
      "[Client 5]\nName = orphan\n");
  std::string host, shortName;
  OBClient c3(3);
  EXPECT_EQ(c3.getNetworkHostnameMangled(host), 0);
  EXPECT_EQ(host, "alpha.example.com");
  EXPECT_EQ(c3.getShortName(shortName), 0);
  EXPECT_EQ(shortName, "a");
  OBClient c4(4);
  EXPECT_EQ(c4.getShortName(shortName), 0);
  EXPECT_EQ(shortName, "beta");  // from the host name
  OBClient c5(5);
  host = "kept";
  EXPECT_NE(c5.getNetworkHostnameMangled(host), 0);
  EXPECT_EQ(host, "kept");
  EXPECT_EQ(c5.getShortName(shortName), 0);
  OBClient c6(6);
  EXPECT_NE(c6.getShortName(shortName), 0);
  EXPECT_TRUE(log.hasText(
      "Client 6 is unknown: key HostName of section [Client 6] is missing or empty."));
}

TEST(ApplicationTest, PlatformInfoReadsTheConfiguration) {
  CaptureLog log;
  OBPlatformInfo info;
  {
    ConfigScope config(
        "[Client]\nPhysicalMachine = box-1\n"
        "[FileSystemAgent]\nsText = Yes\nsEmpty =\nnNumber = 0x10\nnBad = 12 monkeys\n");
    EXPECT_EQ(info.getPhysicalMachine(), "box-1");
    std::string v = "unchanged";
    EXPECT_NE(info.getString("FileSystemAgent", "sText", v), 0);
    EXPECT_EQ(v, "Yes");
    EXPECT_NE(info.getString("FileSystemAgent", "sEmpty", v), 0);
    EXPECT_EQ(v, "");
    v = "unchanged";
    EXPECT_EQ(info.getString("FileSystemAgent", "sMissing", v), 0);
    EXPECT_EQ(v, "unchanged");
    uint64_t n = 3;
    EXPECT_NE(info.getNumber("FileSystemAgent", "nNumber", n), 0);
    EXPECT_EQ(n, 16u);
    n = 3;
    EXPECT_EQ(info.getNumber("FileSystemAgent", "nMissing", n), 0);
    EXPECT_EQ(info.getNumber("FileSystemAgent", "nBad", n), 0);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(log.lines.size(), 1u);
    EXPECT_TRUE(log.hasText(
        "Key nBad of section [FileSystemAgent] is not a whole number [12 monkeys]; it counts as "
        "absent."));
  }
  ConfigScope none("");
  char host[256] = {0};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  EXPECT_EQ(info.getPhysicalMachine(), host[0] ? std::string(host) : "localhost");
}
