#include "ServiceSession.h"

#include "ServiceProtocol.h"
#include "ServiceSettings.h"

namespace tqhsm {
namespace service {

namespace {

const char* const kTag = "TQHSMService";

std::string textFrame(uint32_t type, const std::string& text) {
  std::string frame, error;
  std::string fitted = proto::FitText(text);
  // A text that fits cannot fail to encode; should it, the peer still gets a
  // frame it can read.
  if (!proto::EncodeFrame(type, {fitted.c_str()}, frame, error))
    proto::EncodeFrame(type, {"the service could not encode its answer"}, frame, error);
  return frame;
}

}  // namespace

ServiceSession::ServiceSession(std::string peer, WatchFunction watch)
    : m_sPeer(std::move(peer)), m_watch(std::move(watch)), m_bAttached(false), m_ulRequests(0) {}

std::string ServiceSession::ErrorFrame(const std::string& text) {
  return textFrame(proto::kErrorAnswer, text);
}

void ServiceSession::OnFrame(uint32_t type, const char* body, size_t length, std::string& answer,
                             bool& close) {
  close = false;
  if (type != proto::kAttachRequest && type != proto::kWatchRequest) {
    m_log.DebugLvl(kTag, -1, "%s sent message type %s, which this service does not serve.",
                   m_sPeer.c_str(), proto::DescribeType(type).c_str());
    answer = ErrorFrame("message type " + proto::DescribeType(type) + " is not served by " +
                        kServiceName + "; it serves " + proto::DescribeType(proto::kWatchRequest));
    return;
  }
  proto::DecodedRecord record;
  std::string error;
  if (!proto::DecodeRecord(type, body, length, record, error)) {
    m_log.DebugLvl(kTag, -1, "%s sent a %s that cannot be read: %s; session closed.",
                   m_sPeer.c_str(), proto::DescribeType(type).c_str(), error.c_str());
    answer = ErrorFrame("protocol error: " + error);
    close = true;
    return;
  }

  if (type == proto::kAttachRequest) {
    std::string service = record.field(0);
    if (service != kServiceName) {
      m_log.DebugLvl(kTag, -1, "%s asked for service '%s'; session closed.", m_sPeer.c_str(),
                     service.c_str());
      answer = textFrame(proto::kAttachResponse,
                         std::string("this is ") + kServiceName + ", not '" + service + "'");
      close = true;
      return;
    }
    m_bAttached = true;
    m_log.DebugLvl(kTag, 0, "Attach of %s (physical machine %s).", m_sPeer.c_str(),
                   record.field(1).c_str());
    answer = textFrame(proto::kAttachResponse, "");
    return;
  }

  if (!m_bAttached) {
    m_log.DebugLvl(kTag, -1, "%s sent a watch request without attaching; session closed.",
                   m_sPeer.c_str());
    answer = ErrorFrame(std::string("protocol error: attach to ") + kServiceName +
                        " before sending requests");
    close = true;
    return;
  }
  std::string client = record.field(0);
  std::string volume = record.field(1);
  std::string result = m_watch(client, volume);
  ++m_ulRequests;
  if (result.empty())
    m_log.DebugLvl(kTag, 0, "Watch request of %s (client %s) for %s: watched.", m_sPeer.c_str(),
                   client.c_str(), volume.c_str());
  else
    m_log.DebugLvl(kTag, 0, "Watch request of %s (client %s) for %s: refused: %s", m_sPeer.c_str(),
                   client.c_str(), volume.c_str(), result.c_str());
  answer = textFrame(proto::kWatchResponse, result);
}

}  // namespace service
}  // namespace tqhsm
