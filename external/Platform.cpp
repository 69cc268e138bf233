#include "Platform.h"

#include <unistd.h>

#include "Config.h"

std::string OBPI_Focus::getFocusClientName(bool shortName) {
  std::string name;
  if (tqhsm::ConfigSource::Current().getString("Client", "Name", name) && !name.empty())
    return name;
  char host[256] = {0};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "localhost";
  name = host;
  if (shortName) {
    size_t dot = name.find('.');
    if (dot != std::string::npos) name.resize(dot);
  }
  return name;
}

PathMapper::~PathMapper() = default;

OBJobCtrlClient::~OBJobCtrlClient() = default;
int OBJobCtrlClient::checkQuitFlag() { return 0; }
void OBJobCtrlClient::finishedWork(int) {}
