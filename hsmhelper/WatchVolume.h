#pragma once

#include <string>

#include "EvEvent.h"
#include "HSMLowLevel.h"
#include "TQHSMExport.h"

// Puts a volume on this machine's HSM watch list: the local steps of
// TQHSMHelper::startWatchingVolume, shared with the HSM service, which runs the
// same steps for the scans of other machines. Already watched: only recorded
// as migrated. Under a tree migrated before: that tree is watched again.
// Otherwise the volume is watched and newlyWatched is set. Logs under tag
// through log; false with the message in error on failure (nothing recorded
// then). With dryRun the lists are only read: the answer is the one a real
// call would give, short of a failure of its writes, and the log says what
// would have been written.
TQHSM_API bool TQHSMWatchVolumeLocally(EvDebug& log, const char* tag, TQHSMLowLevelCtx* ctx,
                                       const char* path, std::string& error, bool& newlyWatched,
                                       bool dryRun = false);
