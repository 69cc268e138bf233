// Fuzzes what the HSM service reads from a peer, the way a connection delivers
// it: a byte stream of frames, each header checked, each body XDR-decoded and
// handed to the session's state machine, until a frame the service would close
// the session for, or bytes that never complete a frame. Checks what must hold
// whatever the bytes:
//  - every answer is a whole frame of the protocol whose record decodes;
//  - a session is never served a watch request before it attached;
//  - a record that decodes encodes again to the same fields.
// The same bytes also go, as a body, through the decoder of every record type
// the session reads in its answers.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "EvEvent.h"
#include "ServiceProtocol.h"
#include "ServiceSession.h"
#include "VolumePath.h"

namespace {

namespace proto = tqhsm::proto;

// The service's log would only slow the fuzzer down.
class QuietLog : public tqhsm::LogSink {
 public:
  int level() const override { return -100; }
  void write(tqhsm::LogKind, const char*, int, const std::string&) override {}
  void event(unsigned int, long long, int, const std::vector<std::string>&) override {}
};

void require(bool condition) {
  if (!condition) abort();
}

void checkAnswer(const std::string& answer) {
  require(answer.size() >= proto::kHeaderSize);
  proto::FrameHeader header;
  std::string error;
  require(
      proto::DecodeHeader(reinterpret_cast<const unsigned char*>(answer.data()), header, error));
  require(header.m_nLength == answer.size() - proto::kHeaderSize);
  proto::DecodedRecord record;
  require(proto::DecodeRecord(header.m_nType, answer.data() + proto::kHeaderSize, header.m_nLength,
                              record, error));
}

void roundTrip(uint32_t type, const char* body, size_t length) {
  proto::DecodedRecord record;
  std::string error;
  if (!proto::DecodeRecord(type, body, length, record, error)) {
    require(!error.empty() && record.size() == 0);
    return;
  }
  std::vector<std::string> fields;
  std::vector<const char*> pointers;
  for (size_t i = 0; i < record.size(); ++i) fields.push_back(record.field(i));
  for (const std::string& f : fields) pointers.push_back(f.c_str());
  std::string again;
  require(proto::EncodeRecord(type, pointers, again, error));
  proto::DecodedRecord second;
  require(proto::DecodeRecord(type, again.data(), again.size(), second, error));
  require(second.size() == fields.size());
  for (size_t i = 0; i < fields.size(); ++i) require(second.field(i) == fields[i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static QuietLog quiet;
  static tqhsm::ScopedBackend<tqhsm::LogSink> scope(&quiet);

  bool attached = false;
  tqhsm::service::ServiceSession session(
      "fuzz peer", [&](const std::string&, const std::string& volume) -> std::string {
        require(attached);
        // The text rules of the real check; the file system is left alone.
        std::string normalized, error;
        if (!tqhsm::service::NormalizeVolumePath(volume, normalized, error)) return error;
        if (!tqhsm::service::IsUnderRoot(normalized, "/srv")) return "outside the roots";
        return "";
      });
  size_t pos = 0;
  while (size - pos >= proto::kHeaderSize) {
    proto::FrameHeader header;
    std::string error;
    if (!proto::DecodeHeader(data + pos, header, error)) {
      checkAnswer(tqhsm::service::ServiceSession::ErrorFrame("protocol error: " + error));
      break;
    }
    pos += proto::kHeaderSize;
    if (header.m_nLength > size - pos) break;  // the rest never comes: the session times out
    std::string answer;
    bool close = false;
    session.OnFrame(header.m_nType, reinterpret_cast<const char*>(data + pos), header.m_nLength,
                    answer, close);
    attached = session.attached();
    pos += header.m_nLength;
    checkAnswer(answer);
    if (close) break;
  }

  const uint32_t types[] = {proto::kAttachRequest, proto::kAttachResponse, proto::kErrorAnswer,
                            proto::kWatchRequest, proto::kWatchResponse};
  for (uint32_t type : types) roundTrip(type, reinterpret_cast<const char*>(data), size);
  return 0;
}
