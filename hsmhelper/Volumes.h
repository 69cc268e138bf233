#pragma once

#include <map>
#include <string>
#include <vector>

#include "HSMLowLevel.h"

// Internal to the helper (not exported from the shared library).

// The mount points that a walk of path meets, with their file-system types:
// the mount point that holds path (the longest one; of equally long ones the
// first in table order) and, unless bSkipNestedMounts, every mount point below
// path. 0, or -1 when the mount table cannot be read, is empty, or holds no
// mount point for path (a relative path, for instance).
int getMountsToMonitor(const char* path, std::map<std::string, std::string>& mounts,
                       bool bSkipNestedMounts);
// The same from a table already read (the run's, which the low-level context
// holds), not reading it again.
int getMountsToMonitor(const char* path, const std::vector<TQHSMMntEnt>& table,
                       std::map<std::string, std::string>& mounts, bool bSkipNestedMounts);
