// The frames and XDR records between the session and the HSM service: the
// bytes on the wire, and every way a received frame can be wrong.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ServiceProtocol.h"

using namespace tqhsm::proto;

namespace {

std::string bytes(std::initializer_list<int> list) {
  std::string out;
  for (int b : list) out += static_cast<char>(b);
  return out;
}

std::string headerBytes(const std::string& frame) { return frame.substr(0, kHeaderSize); }

}  // namespace

TEST(ServiceProtocol, AFrameIsAHeaderAndXdrStrings) {
  std::string frame, error;
  ASSERT_TRUE(EncodeFrame(kWatchRequest, {"nas9", "/data/x"}, frame, error)) << error;
  const std::string body = bytes({0, 0, 0, 4, 'n', 'a', 's', '9',  //
                                  0, 0, 0, 7, '/', 'd', 'a', 't', 'a', '/', 'x', 0});
  EXPECT_EQ(headerBytes(frame),
            std::string("TQHS") + bytes({0, 1, 0, 0, 0x4B, 0, 0, 0x0B, 0, 0, 0, 20}));
  EXPECT_EQ(frame.substr(kHeaderSize), body);

  // Null fields go out as empty strings.
  ASSERT_TRUE(EncodeFrame(kWatchResponse, {nullptr}, frame, error));
  EXPECT_EQ(frame.substr(kHeaderSize), bytes({0, 0, 0, 0}));
}

TEST(ServiceProtocol, EveryRecordComesBackAsItWasSent) {
  struct Case {
    uint32_t type;
    std::vector<std::string> fields;
  };
  const std::string longestPath = "/" + std::string(kMaxPathLength - 1, 'p');
  const Case cases[] = {
      {kAttachRequest, {"TQHSMService", "box-1"}},
      {kAttachResponse, {""}},
      {kErrorAnswer, {"busy"}},
      {kWatchRequest, {"nas9", "/data/with blank/and\ttab"}},
      {kWatchRequest, {"", longestPath}},
      {kWatchResponse, {std::string(kMaxTextLength, 'e')}},
      {kWatchResponse, {"\xc3\xa9t\xc3\xa9 \x1b[31m"}},  // any byte but NUL travels
  };
  for (const Case& c : cases) {
    std::vector<const char*> in;
    for (const std::string& f : c.fields) in.push_back(f.c_str());
    std::string frame, error;
    ASSERT_TRUE(EncodeFrame(c.type, in, frame, error)) << error;
    FrameHeader header;
    ASSERT_TRUE(DecodeHeader(reinterpret_cast<const unsigned char*>(frame.data()), header, error))
        << error;
    EXPECT_EQ(header.m_nType, c.type);
    EXPECT_EQ(header.m_nLength, frame.size() - kHeaderSize);
    DecodedRecord record;
    ASSERT_TRUE(DecodeRecord(c.type, frame.data() + kHeaderSize, header.m_nLength, record, error))
        << DescribeType(c.type) << ": " << error;
    ASSERT_EQ(record.size(), c.fields.size());
    for (size_t i = 0; i < c.fields.size(); ++i) EXPECT_EQ(record.field(i), c.fields[i]);
  }
}

TEST(ServiceProtocol, WhatCannotBeSentIsRefusedBeforeItLeaves) {
  std::string frame, error;
  const std::string tooLong(kMaxPathLength + 1, 'p');
  EXPECT_FALSE(EncodeFrame(kWatchRequest, {"nas9", tooLong.c_str()}, frame, error));
  EXPECT_EQ(error,
            "field volumePath of DMR_START_WATCHING_VOLUME_REQ (0x4B00000B) is 4096 bytes long, "
            "over its limit of 4095");
  EXPECT_FALSE(EncodeFrame(kWatchRequest, {"nas9"}, frame, error));
  EXPECT_EQ(error, "DMR_START_WATCHING_VOLUME_REQ (0x4B00000B) has 2 fields, not 1");
  EXPECT_FALSE(EncodeFrame(0x12345678, {}, frame, error));
  EXPECT_EQ(error, "no record is known for message type 0x12345678");
}

TEST(ServiceProtocol, HeadersThatAreNotOurs) {
  struct Case {
    const char* name;
    std::string header;
    const char* error;  // null: accepted
  };
  const std::string good = std::string("TQHS") + bytes({0, 1, 0, 0, 0x4B, 0, 0, 0x0C});
  const Case cases[] = {
      {"the limit itself", good + bytes({0, 0, 0x40, 0}), nullptr},
      {"one over the limit", good + bytes({0, 0, 0x40, 1}),
       "a message of 16385 bytes is over the limit of 16384"},
      {"the largest length", good + bytes({0xff, 0xff, 0xff, 0xff}),
       "a message of 4294967295 bytes is over the limit of 16384"},
      {"another magic", std::string("HTTP") + bytes({0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
       "not a frame of the HSM service protocol (magic 0x48545450)"},
      {"another version", std::string("TQHS") + bytes({0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
       "protocol version 2 is not supported (this end speaks 1)"},
      {"reserved bits set", std::string("TQHS") + bytes({0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}),
       "reserved header field is 1, not 0"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(c.header.size(), kHeaderSize) << c.name;
    FrameHeader h;
    std::string error;
    bool ok = DecodeHeader(reinterpret_cast<const unsigned char*>(c.header.data()), h, error);
    EXPECT_EQ(ok, c.error == nullptr) << c.name;
    if (c.error) {
      EXPECT_EQ(error, c.error) << c.name;
    }
  }
}

TEST(ServiceProtocol, BodiesThatCannotBeRead) {
  struct Case {
    const char* name;
    uint32_t type;
    std::string body;
    const char* error;
  };
  const Case cases[] = {
      {"empty", kWatchRequest, "",
       "the message ends before field clientName of DMR_START_WATCHING_VOLUME_REQ (0x4B00000B)"},
      {"a length word cut short", kWatchRequest, bytes({0, 0}),
       "the message ends before field clientName of DMR_START_WATCHING_VOLUME_REQ (0x4B00000B)"},
      {"the second field missing", kWatchRequest, bytes({0, 0, 0, 1, 'a', 0, 0, 0}),
       "the message ends before field volumePath of DMR_START_WATCHING_VOLUME_REQ (0x4B00000B)"},
      {"a string cut short", kWatchRequest, bytes({0, 0, 0, 8, 'a', 'b'}),
       "the message ends inside field clientName of DMR_START_WATCHING_VOLUME_REQ (0x4B00000B)"},
      {"a declared length over the limit", kWatchRequest, bytes({0x7f, 0xff, 0xff, 0xff}),
       "field clientName of DMR_START_WATCHING_VOLUME_REQ (0x4B00000B) declares 2147483647 bytes, "
       "over its limit of 1024"},
      {"a NUL inside a string", kWatchResponse, bytes({0, 0, 0, 3, 'a', 0, 'b', 0}),
       "field errorMessage of DMR_START_WATCHING_VOLUME_RESP (0x4B00000C) holds a NUL byte"},
      {"bytes after the last field", kWatchResponse, bytes({0, 0, 0, 0, 1, 2, 3}),
       "3 bytes follow the last field of DMR_START_WATCHING_VOLUME_RESP (0x4B00000C)"},
      {"a type without a record", 0x4B00000D, bytes({0, 0, 0, 0}),
       "no record is known for message type 0x4B00000D"},
  };
  for (const Case& c : cases) {
    DecodedRecord record;
    std::string error;
    EXPECT_FALSE(DecodeRecord(c.type, c.body.data(), c.body.size(), record, error)) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
    EXPECT_EQ(record.size(), 0u) << c.name;  // nothing half-decoded is left
  }
}

TEST(ServiceProtocol, AReleasedFieldBelongsToTheCaller) {
  std::string frame, error;
  ASSERT_TRUE(EncodeFrame(kWatchResponse, {"refused"}, frame, error));
  DecodedRecord record;
  ASSERT_TRUE(DecodeRecord(kWatchResponse, frame.data() + kHeaderSize, frame.size() - kHeaderSize,
                           record, error));
  char* text = record.release(0);
  EXPECT_STREQ(text, "refused");
  record.clear();  // frees nothing of it
  FreeXdrString(text);
  EXPECT_EQ(text, nullptr);
  FreeXdrString(text);  // a second free is harmless
}

TEST(ServiceProtocol, LongTextsAreCutVisiblyAndNeverInsideACharacter) {
  EXPECT_EQ(FitText("short"), "short");
  std::string exact(kMaxTextLength, 'a');
  EXPECT_EQ(FitText(exact), exact);
  std::string longer =
      std::string(kMaxTextLength - 7, 'a') + "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9";
  std::string cut = FitText(longer);
  EXPECT_LE(cut.size(), kMaxTextLength);
  EXPECT_EQ(cut.substr(cut.size() - 6), " [...]");
  // The cut falls before the first two-byte character, not inside it.
  EXPECT_EQ(cut, std::string(kMaxTextLength - 7, 'a') + " [...]");
  std::string frame, error;
  EXPECT_TRUE(
      EncodeFrame(kWatchResponse, {FitText(std::string(100000, 'x')).c_str()}, frame, error));
}
