// What an --update run saw, so that what it no longer finds leaves the
// container and the container stays equal to the tree.
#pragma once

#include "ContentContainerDatabase.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace CX::walk {

class SeenFolders {
public:
    // A folder the run wrote, with the metadata it wrote for it.
    void Add(int64_t folderId, const std::string& path, std::string_view metadata);

    // Removes the folders below `root` that the run did not see, with their
    // files, and the files it did not write (at `now`) in the folders it saw.
    // What lies below a folder the run could not read is kept as it was.
    CKoError RemoveUnseen(CX::CContentContainerDatabase& db, const std::string& root, CTimeStamp now) const;

private:
    std::vector<int64_t> ids_;
    std::vector<int64_t> unreadableIds_;
    std::vector<std::string> unreadable_;
};

}  // namespace CX::walk
