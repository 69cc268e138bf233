#include "Volumes.h"

#include <cstring>
#include <new>
#include <vector>

#include "MountTable.h"
#include "TQHSMHelper.h"

// Volume accounting: which mount points a content path covers, how many bytes
// each must shed to get back to the high watermark, and whether a volume still
// needs files.

int getMountsToMonitor(const char* path, std::map<std::string, std::string>& mounts,
                       bool bSkipNestedMounts) {
  if (!path) return -1;
  std::vector<ObMntEnt> all;
  CZoError err = ObMntTab::getAll(all);
  if (err.IsError()) return -1;
  std::vector<TQHSMMntEnt> table;
  table.reserve(all.size());
  for (const ObMntEnt& e : all) table.push_back({e.m_sMountPoint, e.m_sFsType, e.m_sDevice});
  return getMountsToMonitor(path, table, mounts, bSkipNestedMounts);
}

int getMountsToMonitor(const char* path, const std::vector<TQHSMMntEnt>& entries,
                       std::map<std::string, std::string>& mounts, bool bSkipNestedMounts) {
  if (!path || entries.empty()) return -1;
  const TQHSMMntEnt* best = nullptr;
  size_t bestLen = 0;
  for (const TQHSMMntEnt& e : entries) {
    int rel = ComparePath::Check(path, e.m_sMountPoint);
    if (rel == ComparePath::eSame || rel == ComparePath::eBelow) {
      size_t len = std::strlen(e.m_sMountPoint.c_str());
      if (!best || len > bestLen) {  // ties keep the earlier entry
        best = &e;
        bestLen = len;
      }
    } else if (rel == ComparePath::eAbove && !bSkipNestedMounts) {
      mounts[e.m_sMountPoint] = e.m_sFsType;
    }
  }
  // No mount point holds the path: there is no volume to set up, and an entry
  // with an empty mount point would be measured as the current directory.
  if (!best) return -1;
  mounts[best->m_sMountPoint] = best->m_sFsType;
  return 0;
}

int TQHSMHelper::resetVolume(const char* path, std::string& error, bool bSkipNestedMounts) {
  const char* tag = "TQHSMHelper::resetVolume";
  m_mapAmountToArchive.clear();
  m_mapFsBlockSize.clear();

  if (!m_bRulesInitialized) {
    error = "HSMRules not initialized yet.";
    return -1;
  }
  if (m_rules.m_ulRulesFlag & 0x2000) {
    error = "HSMSRules are disabled.";
    return 0;
  }
  std::map<std::string, std::string> mounts;
  // The run's table, read when the helper was initialised: the volumes set up
  // here are the mounts every later look-up of the run finds.
  int found = m_pLowLevelCtx ? getMountsToMonitor(path, m_pLowLevelCtx->mountTable().entries(),
                                                  mounts, bSkipNestedMounts)
                             : getMountsToMonitor(path, mounts, bSkipNestedMounts);
  if (found != 0) {
    error = "Failed to get MountPoints";
    return -1;
  }

  bool archive = false;
  for (const auto& mount : mounts) {
    const std::string& mountPoint = mount.first;
    const std::string& type = mount.second;
    int rel = ComparePath::Check(path, mountPoint);
    std::string watchPath =
        (rel == ComparePath::eSame || rel == ComparePath::eBelow) ? std::string(path) : mountPoint;

    m_mapAmountToArchive[mountPoint] = 0;
    m_mapFsBlockSize[mountPoint] = 0;

    std::string typeKey = ":" + type + ":";
    m_event.DebugLvl(tag, 2, "Processing %s of type %s", mountPoint.c_str(), typeKey.c_str());
    if (m_sSkipFsTypes.find(typeKey) != std::string::npos) {
      m_event.Debug(tag, "Skipping  %s of type %s", mountPoint.c_str(), type.c_str());
      continue;
    }

    if (m_pLowLevelCtx && m_pLowLevelCtx->getuseDriver() == 2) {
      TQHSMLowLevel* lowLevel = m_pLowLevelCtx->getByFileName(mountPoint.c_str());
      if (lowLevel && lowLevel->isXattrSupported(mountPoint.c_str()) == 0) {
        m_event.DebugLvl(tag, 2, "Mount point %s will not be archived. Error %s",
                         mountPoint.c_str(), lowLevel->getLastError().c_str());
        m_vecNoXattrMounts.push_back(mountPoint);
        continue;
      }
    }

    delete m_pVolume;
    m_pVolume = new (std::nothrow) TQHSMVolume(mountPoint);
    if (!m_pVolume) {
      m_event.Error(tag, "Could not init HSMVolume for %s", path);
      return -1;
    }

    std::string volumeError;
    int64_t high = m_pVolume->GetBytesForPercent(m_rules.m_nHighFreeSpace, volumeError);
    if (!volumeError.empty()) {
      m_event.Error(tag, "HSMVolume::GetBytesForPercent Failed : %s.", volumeError.c_str());
      error = volumeError;
      return -1;
    }
    int64_t low = m_pVolume->GetBytesForPercent(m_rules.m_nLowFreeSpace, volumeError);
    if (!volumeError.empty()) {
      m_event.Error(tag, "HSMVolume::GetBytesForPercent Failed : %s.", volumeError.c_str());
      error = volumeError;
      return -1;
    }
    int64_t freeBytes = 0;
    m_pVolume->GetFreeDiskBytes(freeBytes, volumeError);
    if (!volumeError.empty()) {
      m_event.Error(tag, "HSMVolume::GetFreeDiskBytes Failed : %s.", volumeError.c_str());
      error = volumeError;
      return -1;
    }

    if (freeBytes > low) continue;  // enough free space: nothing to archive here

    int64_t budget = high - freeBytes;
    int64_t blockSize = m_pVolume->GetFSBlockSize();
    m_mapAmountToArchive[mountPoint] = budget;
    m_mapFsBlockSize[mountPoint] = blockSize;
    m_event.DebugLvl(tag, 2, "Setting amountOfDataToArchive as %lld for mount point %s",
                     static_cast<long long>(budget), mountPoint.c_str());
    m_event.DebugLvl(tag, 2, "Setting fsBlockSize as %lld for mount point %s",
                     static_cast<long long>(blockSize), mountPoint.c_str());
    if (budget > 0) {
      archive = true;
      m_event.DebugLvl(tag, 2, "Amount to archive is greater than zero. Setting archive flag to true");
    }

    if (IsLocalScan()) {
      if (budget > 0) {
        std::string text;
        if (!startWatchingVolume(watchPath.c_str(), text)) {
          m_event.Error(tag, "%s.", text.c_str());
          m_event.Error(tag, "Nothing to migrate on volume:%s", mountPoint.c_str());
          m_mapAmountToArchive[mountPoint] = 0;
        }
      }
    } else {
      m_mapVolumesToWatch[mountPoint] = true;
    }
    m_mapFsBlockSize[mountPoint] = blockSize;
  }

  if (archive) return 1;
  m_event.DebugLvl(tag, 2, "Nothing to migrate on Volume %s", path);
  error = "Nothing to migrate on Volume";
  return 0;
}

bool TQHSMHelper::MoreFilesToArchive(std::string& mountPoint) {
  const char* tag = "TQHSMHelper::MoreFilesToArchive";
  m_event.DebugLvl(tag, 3, "MountPoint Recieved:%s Length:%lu", mountPoint.c_str(),
                   static_cast<unsigned long>(mountPoint.size()));
  if (mountPoint.size() > 1 && mountPoint.back() == '/') mountPoint.pop_back();
  m_event.DebugLvl(tag, 3, "MountPoint To Check:%s Length:%lu", mountPoint.c_str(),
                   static_cast<unsigned long>(mountPoint.size()));
  return m_mapAmountToArchive[mountPoint] > 0;
}
