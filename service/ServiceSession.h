#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "EvEvent.h"

// What the HSM service makes of the frames of one connection, without any
// I/O: the connection's thread reads a frame, hands it here and sends the
// answer back (see ServiceProtocol.h). Kept apart so that the decoder can be
// fuzzed on its own.

namespace tqhsm {
namespace service {

class ServiceSession {
 public:
  // Puts a volume under watching for the request of a peer; the error text,
  // empty on success.
  using WatchFunction =
      std::function<std::string(const std::string& client, const std::string& volume)>;

  // peer: how the log names the other end (its certificate's name and address).
  ServiceSession(std::string peer, WatchFunction watch);

  // One frame whose header checked: the frame to answer with, and whether the
  // connection is to end after it (a frame that could not be read, a session
  // that was never attached).
  void OnFrame(uint32_t type, const char* body, size_t length, std::string& answer, bool& close);

  // The frame that answers what cannot be served.
  static std::string ErrorFrame(const std::string& text);

  bool attached() const { return m_bAttached; }
  uint64_t requests() const { return m_ulRequests; }

 private:
  std::string m_sPeer;
  WatchFunction m_watch;
  EvDebug m_log;
  bool m_bAttached;
  uint64_t m_ulRequests;  // watch requests answered
};

}  // namespace service
}  // namespace tqhsm
