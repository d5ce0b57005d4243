// TreeScan.h: finding and hashing the files of folder trees.
//
// An inventory scan has two phases.  The walk lists the regular files
// under the roots without following symbolic links or entering pseudo
// file systems (/proc, /sys ...), and records what it had to pass over
// and why.  The hashing then computes the digests of the listed files on
// several threads and delivers the results to the caller's thread in the
// order of the list, so the caller can store them without locking and
// the inventory comes out in path order.
#ifndef BRIX_TOOLS_HOST_TREESCAN_H_
#define BRIX_TOOLS_HOST_TREESCAN_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "FileDigest.h"

namespace brix_host {

// Something the scan passed over, and why ("Permission denied").
struct ScanSkip {
  std::string path;
  std::string reason;
};

struct ScanPlan {
  std::vector<std::string> files;  // absolute, sorted within each folder
  uint64_t totalBytes = 0;         // sizes as listed
  std::vector<ScanSkip> skipped;   // folders and files that cannot be read
  size_t notRegular = 0;  // symbolic links, devices, FIFOs, sockets: no content
  size_t pseudoFileSystems = 0;  // mount points of /proc, /sys and the like
};

// Lists the regular files under each root (a root that is a file is listed
// itself).  Roots are made absolute with their symbolic links resolved.
// False with `error` when a root cannot be found or opened; unreadable
// entries below the roots only end up in `skipped`.
bool PlanScan(const std::vector<std::string>& roots, ScanPlan* plan,
              std::string* error);

// One file's outcome.
struct HashedFile {
  const std::string* path = nullptr;  // into the plan
  bool ok = false;
  FileDigests digests;
  std::string error;  // when !ok
};

// Hashes `files` on `threads` worker threads (0: one per core) and calls
// `deliver` on the calling thread once per file, in list order.
void HashFiles(const std::vector<std::string>& files, unsigned threads,
               const std::function<void(const HashedFile&)>& deliver);

// Groups reasons: {"Permission denied": 3, ...}.
std::map<std::string, size_t> CountReasons(const std::vector<ScanSkip>& skipped);

}  // namespace brix_host

#endif  // BRIX_TOOLS_HOST_TREESCAN_H_
