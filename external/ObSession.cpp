#include "ObSession.h"

// Until the network transport is wired in, a session cannot reach any service.

namespace {
CZoError notConnected() { return CZoError(-1, "HSM service session not available"); }
}  // namespace

CObNetwork::CObNetwork() = default;
CObNetwork::~CObNetwork() = default;

CZoError CObNetwork::Attach_RemoteService(const std::string&, const std::string&,
                                          const std::string&, int, bool&) {
  return notConnected();
}
CZoError CObNetwork::SendXDRMessage(int, obsDatabuf_v2&, int, int, bool&) { return notConnected(); }
CZoError CObNetwork::ReceiveXDRMessage(int*, obsDatabuf_v2&, void*, int, int, bool&) {
  return notConnected();
}
CZoError CObNetwork::FreeReceivedMessage(int, obsDatabuf_v2&) { return CZoError::Success(); }
CZoError CObNetwork::Disconnect(int, bool&) { return CZoError::Success(); }
