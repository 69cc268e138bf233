#pragma once

#include <string>
#include <vector>

// Which volume paths the HSM service accepts from a peer: absolute, without
// "." or ".." components, under one of its allowed roots, reached from "/"
// without a symbolic link in any component, a directory, on a local file
// system. The network is hostile: the path is taken as text, never resolved
// through a link.

namespace tqhsm {
namespace service {

// The path with repeated and trailing slashes removed ("/" stays "/"). False,
// with the reason, for an empty or relative path or one with a "." or ".."
// component.
bool NormalizeVolumePath(const std::string& path, std::string& normalized, std::string& error);

// Whether path (normalized) is root or lies below it, by whole components.
bool IsUnderRoot(const std::string& path, const std::string& root);

// The name of a file system that is not this machine's own (network or
// kernel pseudo file systems) for a statfs type, or null.
const char* NonLocalFileSystem(long type);

// The whole check. On success normalized holds the path to act on.
bool CheckVolumePath(const std::string& path, const std::vector<std::string>& roots,
                     std::string& normalized, std::string& error);

}  // namespace service
}  // namespace tqhsm
