#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "HSMLowLevel.h"
#include "StubFiles.h"
#include "StubFormat.h"
#include "StubKey.h"

using tqhsm::test::StubBytesUnderKey;
using tqhsm::test::StubBytesV1;
using tqhsm::test::TestStubKey;

namespace {

ReparseData Sample() {
  ReparseData r;
  r.afParvisNumber = 2;
  r.afCopyPrecedence = 1;
  r.afileId = 4711;
  r.stubKind = 2;
  r.stubGUID = "5f0c6a1e-0d44-4c1b-9a55-3f0d2b7a9e10";
  r.appId = 5;
  r.appGUID = "{A1B2C3D4-0000-1111-2222-333344445555}";
  r.originalSize = 1048576;
  r.stubInode = 987654321;
  r.stubMtime = -5;  // before the epoch: the sign survives
  r.stubMtimeNsec = 999999999;
  r.headRecord = true;
  return r;
}

// Signs bytes as they are under the test key: a record whose MAC is right
// whatever its fields say.
void Resign(std::vector<char>& d) {
  std::unique_ptr<tqhsm::StubMac> mac =
      tqhsm::StubMac::Create(TestStubKey().data(), TestStubKey().size(), nullptr);
  ASSERT_NE(mac, nullptr);
  ASSERT_GE(d.size(), tqhsm::kStubTagSize);
  size_t signedPart = d.size() - tqhsm::kStubTagSize;
  ASSERT_TRUE(mac->sign(d.data(), signedPart, reinterpret_cast<unsigned char*>(&d[signedPart])));
}

std::string WhyNot(const std::vector<char>& d) {
  ReparseData r;
  std::string why;
  EXPECT_FALSE(tqhsm::DecodeStubData(d.data(), d.size(), r, nullptr, &why));
  return why;
}

std::vector<char> Encode(const ReparseData& r) {
  std::vector<char> out;
  EXPECT_TRUE(tqhsm::EncodeStubData(r, out));
  return out;
}

void ExpectSame(const ReparseData& a, const ReparseData& b) {
  EXPECT_EQ(a.afParvisNumber, b.afParvisNumber);
  EXPECT_EQ(a.afCopyPrecedence, b.afCopyPrecedence);
  EXPECT_EQ(a.afileId, b.afileId);
  EXPECT_EQ(a.stubKind, b.stubKind);
  EXPECT_EQ(a.stubGUID, b.stubGUID);
  EXPECT_EQ(a.appId, b.appId);
  EXPECT_EQ(a.appGUID, b.appGUID);
  EXPECT_EQ(a.originalSize, b.originalSize);
  EXPECT_EQ(a.stubInode, b.stubInode);
  EXPECT_EQ(a.stubMtime, b.stubMtime);
  EXPECT_EQ(a.stubMtimeNsec, b.stubMtimeNsec);
  EXPECT_EQ(a.headRecord, b.headRecord);
}

// What the reparse text carries: everything but the fields stubFile takes
// from the file.
void ExpectSameText(const ReparseData& a, const ReparseData& b) {
  ReparseData c = a;
  c.stubInode = b.stubInode;
  c.stubMtime = b.stubMtime;
  c.stubMtimeNsec = b.stubMtimeNsec;
  c.headRecord = b.headRecord;
  ExpectSame(c, b);
}

// Copies bytes into a heap block of exactly that size, so that a read past its
// end is a sanitizer report.
std::unique_ptr<char[]> Exact(const std::vector<char>& v, size_t n) {
  std::unique_ptr<char[]> p(new char[n == 0 ? 1 : n]);
  if (n) std::memcpy(p.get(), v.data(), n);
  return p;
}

}  // namespace

TEST(StubFormatTest, RoundTripsEveryFieldThroughBothForms) {
  ReparseData in = Sample();
  in.afParvisNumber = UINT64_MAX;  // the full width survives
  std::vector<char> data = Encode(in);

  ReparseData out;
  size_t length = 0;
  ASSERT_TRUE(tqhsm::DecodeStubData(data.data(), data.size(), out, &length));
  EXPECT_EQ(length, data.size());
  ExpectSame(in, out);

  ReparseData viaVector;
  ASSERT_EQ(ParseStubData(data, viaVector), 1);
  ExpectSame(in, viaVector);

  char reparse[256];
  int len = 0;
  long long size = 0;
  ASSERT_TRUE(tqhsm_stub2meta(data.data(), data.size(), &len, &size, reparse, sizeof reparse,
                              false));
  EXPECT_EQ(static_cast<size_t>(len), data.size());
  EXPECT_EQ(size, 1048576);
  ReparseData viaText;
  ASSERT_EQ(ParseStubReparseData(reparse, viaText), 1);
  ExpectSameText(in, viaText);
  EXPECT_EQ(viaText.stubInode, 0u);

  std::string app, stub;
  ASSERT_TRUE(GetAppGUIDAndStubGUIDFromStubData(data, app, stub));
  EXPECT_EQ(app, in.appGUID);
  EXPECT_EQ(stub, in.stubGUID);
}

TEST(StubFormatTest, LayoutIsBigEndianWhateverTheMachine) {
  ReparseData r;
  r.afParvisNumber = 0x0102030405060708ULL;
  r.afCopyPrecedence = 1;
  r.afileId = 0x1267;
  r.stubKind = 1;
  r.stubGUID = "g";
  r.appGUID = "";
  r.stubInode = 0x0a0b;
  r.stubMtime = 0x11223344;
  r.stubMtimeNsec = 0x0506;
  r.headRecord = true;
  std::vector<char> d = Encode(r);
  ASSERT_EQ(d.size(), tqhsm::kMinStubRecordSize + 1);
  EXPECT_EQ(std::string(d.data(), 8), "TQHSMSTB");
  EXPECT_EQ(d[8], 2);   // version
  EXPECT_EQ(d[9], 1);   // kind
  EXPECT_EQ(d[10], 0);  // body length, big-endian
  EXPECT_EQ(d[11], 61 + 2 + 1);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(d[12 + i], i + 1);
  EXPECT_EQ(static_cast<unsigned char>(d[34]), 0x12);
  EXPECT_EQ(static_cast<unsigned char>(d[35]), 0x67);
  EXPECT_EQ(d[58], 0x0a);  // inode
  EXPECT_EQ(d[59], 0x0b);
  EXPECT_EQ(d[64], 0x11);  // modification time
  EXPECT_EQ(d[67], 0x44);
  EXPECT_EQ(d[70], 0x05);  // nanoseconds
  EXPECT_EQ(d[71], 0x06);
  EXPECT_EQ(d[72], 1);     // flags: head record
  EXPECT_EQ(d[73], 1);
  EXPECT_EQ(d[74], 'g');
  EXPECT_EQ(d[75], 0);
  // The MAC: HMAC-SHA256 of everything before it under the key.
  std::unique_ptr<tqhsm::StubMac> mac =
      tqhsm::StubMac::Create(TestStubKey().data(), TestStubKey().size(), nullptr);
  ASSERT_NE(mac, nullptr);
  EXPECT_TRUE(mac->verify(d.data(), 76, reinterpret_cast<const unsigned char*>(&d[76])));
}

TEST(StubFormatTest, OnlyThisDeploymentsKeyMakesARecordAuthentic) {
  ReparseData in = Sample();
  EXPECT_EQ(WhyNot(StubBytesUnderKey(in, "another deployment's key....")), "not authentic");
  EXPECT_EQ(WhyNot(StubBytesV1(in)), "unsupported stub format version 1");

  // Any field changed after signing: not authentic, though the layout is sound.
  std::vector<char> good = Encode(in);
  std::vector<char> moved = good;
  moved[12 + 23] ^= 1;  // the archive file id
  EXPECT_EQ(WhyNot(moved), "not authentic");

  // Without a usable key nothing is authentic and nothing can be signed.
  tqhsm::FixedStubKey none("short");
  tqhsm::ScopedBackend<tqhsm::StubKey> scope(&none);
  std::string why = WhyNot(good);
  EXPECT_EQ(why.rfind("no stub key: ", 0), 0u) << why;
  std::vector<char> out;
  EXPECT_FALSE(tqhsm::EncodeStubData(in, out, &why));
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(why.rfind("no stub key: ", 0), 0u) << why;
  char reparse[256];
  EXPECT_FALSE(tqhsm_stub2meta(good.data(), good.size(), nullptr, nullptr, reparse, sizeof reparse,
                               false));
  std::string app, guid;
  EXPECT_FALSE(GetAppGUIDAndStubGUIDFromStubData(good, app, guid));
}

TEST(StubFormatTest, EveryTruncationIsRejectedWithoutReadingPastTheEnd) {
  std::vector<char> data = Encode(Sample());
  for (size_t n = 0; n < data.size(); ++n) {
    std::unique_ptr<char[]> p = Exact(data, n);
    ReparseData r;
    EXPECT_FALSE(tqhsm::DecodeStubData(p.get(), n, r)) << n;
    EXPECT_FALSE(tqhsm_stub2meta(p.get(), n, nullptr, nullptr, nullptr, 0, true)) << n;
    std::vector<char> v(data.begin(), data.begin() + static_cast<long>(n));
    std::string a, s;
    EXPECT_FALSE(GetAppGUIDAndStubGUIDFromStubData(v, a, s)) << n;
    EXPECT_EQ(ParseStubData(v, r), 0) << n;
  }
  std::unique_ptr<char[]> whole = Exact(data, data.size());
  ReparseData r;
  EXPECT_TRUE(tqhsm::DecodeStubData(whole.get(), data.size(), r));
}

TEST(StubFormatTest, CorruptOrForeignBytesAreRejected) {
  std::vector<char> good = Encode(Sample());
  // Any flipped byte fails the magic, version, length, kind or MAC.
  for (size_t i = 0; i < good.size(); ++i) {
    std::vector<char> bad = good;
    bad[i] = static_cast<char>(bad[i] ^ 0x5a);
    ReparseData r;
    EXPECT_FALSE(tqhsm::DecodeStubData(bad.data(), bad.size(), r)) << "byte " << i;
  }
  // A body length that claims more than is there.
  std::vector<char> longer = good;
  longer[10] = 0x7f;
  ReparseData r;
  EXPECT_FALSE(tqhsm::DecodeStubData(longer.data(), longer.size(), r));
  // A GUID length that runs past the body, with a MAC that matches: still
  // refused. So are nanoseconds of a second or more and a GUID character
  // outside the set.
  std::vector<char> lying = good;
  lying[73] = 120;
  Resign(lying);
  EXPECT_EQ(WhyNot(lying), "stub GUIDs truncated");
  std::vector<char> nsec = good;
  nsec[68] = 0x7f;
  Resign(nsec);
  EXPECT_EQ(WhyNot(nsec), "invalid modification time in stub data");
  std::vector<char> guid = good;
  guid[74] = ':';
  Resign(guid);
  EXPECT_EQ(WhyNot(guid), "invalid GUID in stub data");
  std::vector<char> zeros(1024, 0);
  EXPECT_FALSE(tqhsm_stub2meta(zeros.data(), zeros.size(), nullptr, nullptr, nullptr, 0, true));
  std::string text = "plain text file content that is no stub at all";
  EXPECT_FALSE(tqhsm_stub2meta(text.data(), text.size(), nullptr, nullptr, nullptr, 0, true));
  EXPECT_FALSE(tqhsm_stub2meta(nullptr, 100, nullptr, nullptr, nullptr, 0, true));
}

TEST(StubFormatTest, TrailingBytesAfterTheRecordAreIgnored) {
  std::vector<char> data = Encode(Sample());
  std::vector<char> head(1024, 'x');
  std::copy(data.begin(), data.end(), head.begin());
  int len = 0;
  EXPECT_TRUE(tqhsm_stub2meta(head.data(), head.size(), &len, nullptr, nullptr, 0, true));
  EXPECT_EQ(static_cast<size_t>(len), data.size());
}

TEST(StubFormatTest, ReparseTextNeverCutAndAlwaysFits256) {
  ReparseData big = Sample();
  big.afParvisNumber = big.afCopyPrecedence = big.afileId = big.appId = big.originalSize =
      UINT64_MAX;
  big.stubGUID = std::string(tqhsm::kMaxGUIDLength, 'a');
  big.appGUID = std::string(tqhsm::kMaxGUIDLength, 'b');
  std::vector<char> data = Encode(big);
  EXPECT_LE(data.size(), tqhsm::kMaxStubRecordSize);
  std::string text = tqhsm::FormatReparseText(big);
  EXPECT_LT(text.size(), 256u);
  EXPECT_LE(text.size() + 1, tqhsm::kMaxReparseText);

  char buf[256];
  ASSERT_TRUE(tqhsm_stub2meta(data.data(), data.size(), nullptr, nullptr, buf, sizeof buf, false));
  EXPECT_EQ(text, buf);

  // One byte short: refused, and nothing written past the given capacity.
  std::vector<char> small(text.size() + 8, '#');
  int cap = static_cast<int>(text.size());
  EXPECT_FALSE(tqhsm_stub2meta(data.data(), data.size(), nullptr, nullptr, small.data(), cap,
                               false));
  EXPECT_EQ(small[0], '\0');
  for (size_t i = static_cast<size_t>(cap); i < small.size(); ++i) EXPECT_EQ(small[i], '#');
  // Capacity 1 with a null buffer only checks validity.
  EXPECT_TRUE(tqhsm_stub2meta(data.data(), data.size(), nullptr, nullptr, nullptr, 1, false));
}

TEST(StubFormatTest, FieldsThatCannotBeWrittenAreRefused) {
  struct Case {
    const char* what;
    void (*change)(ReparseData&);
  };
  const Case cases[] = {
      {"kind 0", [](ReparseData& r) { r.stubKind = 0; }},
      {"kind 3", [](ReparseData& r) { r.stubKind = 3; }},
      {"GUID too long", [](ReparseData& r) { r.stubGUID = std::string(65, 'a'); }},
      {"colon in GUID", [](ReparseData& r) { r.appGUID = "a:b"; }},
      {"blank in GUID", [](ReparseData& r) { r.stubGUID = "a b"; }},
      {"bar in GUID", [](ReparseData& r) { r.stubGUID = "a|b"; }},
  };
  for (const Case& c : cases) {
    ReparseData r = Sample();
    c.change(r);
    std::vector<char> out;
    std::string why;
    EXPECT_FALSE(tqhsm::EncodeStubData(r, out, &why)) << c.what;
    EXPECT_FALSE(why.empty()) << c.what;
  }
  ReparseData empty = Sample();
  empty.stubGUID.clear();
  empty.appGUID.clear();
  std::vector<char> out;
  EXPECT_TRUE(tqhsm::EncodeStubData(empty, out));
}

TEST(StubFormatTest, MalformedReparseTextsAreRejected) {
  const char* bad[] = {
      "",
      "TQS1",
      "TQS2:2:1:4711:2:5:10:g:a",
      "TQS1:2:1:4711:2:5:10:g",        // a field missing
      "TQS1:2:1:4711:2:5:10:g:a:x",    // one too many
      "TQS1:2:1:-1:2:5:10:g:a",        // sign
      "TQS1:2:1:47x1:2:5:10:g:a",      // not a number
      "TQS1:2:1::2:5:10:g:a",          // empty number
      "TQS1:2:1:18446744073709551616:2:5:10:g:a",  // beyond 64 bits
      "TQS1:2:1:4711:3:5:10:g:a",      // kind
      "TQS1:2:1:4711:2:5:10:g h:a",    // blank in GUID
  };
  for (const char* t : bad) {
    ReparseData r;
    EXPECT_EQ(ParseStubReparseData(t, r), 0) << t;
  }
  ReparseData r;
  EXPECT_EQ(ParseStubReparseData(nullptr, r), 0);
  std::string huge = "TQS1:" + std::string(5000, '1');
  EXPECT_EQ(ParseStubReparseData(huge.c_str(), r), 0);
  ASSERT_EQ(ParseStubReparseData("TQS1:2:1:4711:1:0:0::", r), 1);
  EXPECT_EQ(r.stubKind, 1);
  EXPECT_EQ(r.afileId, 4711u);
  EXPECT_TRUE(r.stubGUID.empty());
}
