// The checksum of a file's content, for cx index --checksum.
#pragma once

#include <string>
#include <vector>

namespace cxcli {

enum class DigestResult { kDone, kFailed, kInterrupted };

// Reads the file `name` of the open folder `directory` through and puts its
// XXH128 in `hex` (32 hex digits); `buffer` is reused from file to file.
// kFailed leaves errno set; kInterrupted answers Ctrl-C.
DigestResult Digest(int directory, const char* name, std::vector<char>& buffer, std::string& hex);

}  // namespace cxcli
