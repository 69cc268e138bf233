#pragma once

#include <cstddef>
#include <string>

#include "CZoError.h"
#include "TQHSMExport.h"

// Messaging to the HSM service of a client.

// Watch request and response, exchanged as XDR messages.
struct TQHSM_API DMRStartWatchingVolumeReq {
  static const int kMessageType = 0x4B00000B;  // "DMR_START_WATCHING_VOLUME_REQ"
  const char* clientName = nullptr;
  const char* volumePath = nullptr;
};

struct TQHSM_API DMRStartWatchingVolumeResp {
  static const int kMessageType = 0x4B00000C;  // "DMR_START_WATCHING_VOLUME_RESP"
  char* errorMessage = nullptr;
};

// A record handed to the messaging layer as an external buffer.
class TQHSM_API obsDatabuf_v2 {
 public:
  void setExternalBuffer(void* buffer, size_t length) {
    m_pBuffer = buffer;
    m_nLength = length;
  }
  void* buffer() const { return m_pBuffer; }
  size_t length() const { return m_nLength; }

 private:
  void* m_pBuffer = nullptr;
  size_t m_nLength = 0;
};

// The session to a service on another machine. Every call returns an error
// object; none throws.
class TQHSM_API CObNetwork {
 public:
  CObNetwork();
  virtual ~CObNetwork();
  CObNetwork(const CObNetwork&) = delete;
  CObNetwork& operator=(const CObNetwork&) = delete;

  virtual CZoError Attach_RemoteService(const std::string& host, const std::string& service,
                                        const std::string& physicalMachine, int timeout,
                                        bool& flag);
  virtual CZoError SendXDRMessage(int messageType, obsDatabuf_v2& data, int arg1, int arg2,
                                  bool& flag);
  virtual CZoError ReceiveXDRMessage(int* messageType, obsDatabuf_v2& data, void* header,
                                     int arg1, int arg2, bool& flag);
  virtual CZoError FreeReceivedMessage(int messageType, obsDatabuf_v2& data);
  virtual CZoError Disconnect(int timeout, bool& flag);
};
