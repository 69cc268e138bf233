#include <string>

#include "TQHSMHelper.h"
#include "WatchVolume.h"

// Watch requests: volumes with data to migrate go on the HSM watch list, here
// through the low-level library or, for a remote client, through its HSM
// service; after a failed local run this run's new watches come off again.
// Every failure text is also kept by path for the helper's owner
// (WatchFailures), who shows it with the volume.

namespace {

const int kWatchRequestType = DMRStartWatchingVolumeReq::kMessageType;    // 0x4B00000B
const int kWatchResponseType = DMRStartWatchingVolumeResp::kMessageType;  // 0x4B00000C

// The low-level library's reason, after the text of the step that failed.
std::string withReason(std::string text, const TQHSMLowLevel& lowLevel) {
  std::string why = lowLevel.getLastError();
  if (!why.empty()) text += ": " + why;
  return text;
}

}  // namespace

bool TQHSMHelper::startWatchingVolume(const char* path, std::string& error) {
  if (!path) {
    error = "No volume path given.";
    return false;
  }
  bool ok = startWatching(path, error);
  if (ok)
    m_mapWatchFailures.erase(path);
  else
    m_mapWatchFailures[path] = error;
  return ok;
}

bool TQHSMHelper::startWatching(const char* path, std::string& error) {

  if (m_nRemoteClientId != 0) {
    if (!m_pSession) {
      error = "ObSession object not initialized, can not send message.";
      m_event.Error("TQHSMHelper::startWatchingVolume", "%s", error.c_str());
      return false;
    }
    // The service would change its machine's lists: a dry run does not ask.
    if (m_bDryRun) {
      m_event.DebugLvl("TQHSMHelper::startWatchingVolume", 1,
                       "Would ask the HSM service of client %s to watch %s",
                       m_sRemoteClientName.c_str(), path);
      return true;
    }
    DMRStartWatchingVolumeReq request;
    request.clientName = m_sRemoteClientName.c_str();
    request.volumePath = path;
    obsDatabuf_v2 databuf;
    databuf.setExternalBuffer(&request, sizeof request);
    bool flag = false;
    CZoError err = m_pSession->SendXDRMessage(kWatchRequestType, databuf, 0, 0, flag);
    if (err.IsError() || flag) {
      error = "Failed to send DMR_START_WATCHING_VOLUME_REQ message to HBHSMService" +
              err.AsString();
      return false;
    }

    DMRStartWatchingVolumeResp response;
    databuf.setExternalBuffer(&response, sizeof response);
    int messageType = kWatchResponseType;
    err = m_pSession->ReceiveXDRMessage(&messageType, databuf, nullptr, 0, 0, flag);
    bool ok = false;
    if (err.IsError()) {
      error = "Failed to receive DMR_START_WATCHING_VOLUME_RESP message from HBHXMService" +
              err.AsString();
    } else {
      // Copied before the message is released: the text belongs to it.
      error = response.errorMessage ? response.errorMessage : "";
      ok = error.empty();
    }
    m_pSession->FreeReceivedMessage(messageType, databuf);
    return ok;
  }

  bool newlyWatched = false;
  bool ok = TQHSMWatchVolumeLocally(m_event, "TQHSMHelper::startWatchingVolume", m_pLowLevelCtx,
                                    path, error, newlyWatched, m_bDryRun);
  if (newlyWatched) m_lstNewHSMMountPoints.push_back(path);
  return ok;
}

bool TQHSMWatchVolumeLocally(EvDebug& log, const char* tag, TQHSMLowLevelCtx* ctx,
                             const char* path, std::string& error, bool& newlyWatched,
                             bool dryRun) {
  newlyWatched = false;
  TQHSMLowLevel* lowLevel = ctx ? ctx->getByFileName(path) : nullptr;
  if (!lowLevel) {
    error = std::string("Failed to create TQHSMLowLevel object for ") + path;
    return false;
  }
  TQHSMMigratedDirTrees trees(true, OBPI_Focus::getFocusClientName(true));
  log.DebugLvl(tag, 1, "Going to Check if dir %s is watched", path);
  int watched = lowLevel->isDirWatched(path);
  if (watched <= 0) {
    log.DebugLvl(tag, 1, "Dir %s not being watched", path);
    std::string treeRoot = path;
    log.DebugLvl(tag, 1, "Checking if %s was migrated before", path);
    bool migrated = trees.wasDirMigrated(path, treeRoot) != 0;
    const char* dir = migrated ? treeRoot.c_str() : path;
    if (dryRun) {
      // A watch list that cannot be read cannot be changed either.
      if (watched < 0) {
        error = withReason(std::string("Failed to start watching dir tree ") + dir, *lowLevel);
        return false;
      }
      log.DebugLvl(tag, 1, "Would start watching dir tree %s and record %s as migrated", dir,
                   path);
      newlyWatched = !migrated;
      return true;
    }
    if (migrated) {
      log.DebugLvl(tag, 1, "Dir %s was migrated before.Starting to watch again", path);
      if (lowLevel->startWatchingDirTree(treeRoot.c_str()) < 0) {
        error = withReason("Failed to start watching dir tree " + treeRoot, *lowLevel);
        return false;
      }
    } else {
      if (lowLevel->startWatchingDirTree(path) < 0) {
        error = withReason(std::string("Failed to start watching dir tree ") + path, *lowLevel);
        return false;
      }
      newlyWatched = true;
    }
  }
  // The volume is watched now; should recording it fail, the next run only
  // starts watching it afresh. The list lost the line all the same (a full or
  // failing state directory), which is an error to show, not a detail.
  if (dryRun)
    log.DebugLvl(tag, 1, "Would record %s as migrated", path);
  else if (trees.addTree(path) != 0)
    log.Error(tag, "Could not record %s as migrated: %s", path, trees.getLastError().c_str());
  return true;
}

bool TQHSMHelper::ProcessMigratedVolumes() {
  std::string error;
  for (const auto& volume : m_mapVolumesToWatch) {
    std::string hostPath;
    MapProxyPathToHostPath(volume.first, hostPath);
    if (!startWatchingVolume(hostPath.c_str(), error)) {
      m_event.Error("TQHSMHelper::ProcessMigratedVolumes", "Failed %s.", error.c_str());
      return false;
    }
  }
  return true;
}

int TQHSMHelper::CleanupNewHSMMountPoints() {
  TQHSMMigratedDirTrees trees(true, OBPI_Focus::getFocusClientName(true));
  int result = 1;
  for (const std::string& path : m_lstNewHSMMountPoints) {
    // A dry run put nothing on the list.
    if (m_bDryRun) {
      m_event.DebugLvl("TQHSMHelper::CleanupNewHSMMountPoints", 1,
                       "Would take '%s' off the watch list again", path.c_str());
      continue;
    }
    TQHSMLowLevel* lowLevel =
        m_pLowLevelCtx ? m_pLowLevelCtx->getByFileName(path.c_str()) : nullptr;
    if (!lowLevel) {
      result = 0;
      break;
    }
    if (lowLevel->stopWatchingDirTree(path.c_str()) == 0) {
      trees.delTree(path.c_str());
    } else {
      m_event.Error("TQHSMHelper::CleanupNewHSMMountPoints",
                    "Failed to remove '%s' from watch list: %s", path.c_str(),
                    lowLevel->getLastError().c_str());
      result = 0;
    }
  }
  return result;
}
