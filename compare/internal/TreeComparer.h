// The sink of a walk that compares what the walk hands on with a
// container's listings as it goes (CCompareTreeWithContainer).
#pragma once

#include "CompareContentContainersCallback.h"
#include "ContentContainerDatabase.h"
#include "ListingCursors.h"
#include "TreeSink.h"
#include "WalkSetup.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace CX {

// Folders and files of the walk are merged with the container's folder
// listing and each folder's file listing, both in the order the container
// reads them back, which is the order the walk hands them on in. Index 1 is
// the container, index 2 the tree.
class TreeComparer : public walk::TreeSink, public walk::WalkProgress {
public:
    struct Options {
        std::string walkRoot;      // where the walk's paths begin, ending with "/"
        std::string reportedRoot;  // what the callback is told instead
        int64_t abortCheckPeriod = 50000;
        bool recurseOneSided = true;
    };

    TreeComparer(CContentContainerDatabase& db, CCompareContentContainersCallback& host, Options options);

    // Opens the container's folder listing and compares the folders above
    // the root, which the tree side has as the indexer records them.
    CKoError Begin();
    CKoError Folder(std::string_view path, std::string_view metadata, bool whole) override;
    CKoError AmendFolder(std::string_view metadata) override;
    CKoError File(std::string_view name, std::string_view metadata) override;
    // After a whole walk: the rest of the container, which the tree lacks.
    CKoError Finish();

    uint64_t Entries() const override { return folders_ + files_; }
    const std::string& Current() const override { return folder_; }
    uint64_t Folders() const { return folders_; }
    uint64_t Files() const { return files_; }

private:
    // A folder of the tree, by the path it is reported under.
    CKoError FolderAt(const std::string& reported, std::string_view metadata, bool whole);
    // Ends the walk's current folder: what the container has of it beyond
    // the walk, or the whole of a folder that came in parts.
    CKoError EndFolder();
    // The current folder's event, its container listing opened when both have it.
    CKoError StartFolder();
    CKoError CompareFile(const std::string& name, const std::string& metadata);
    // The container's current folder, which the tree lacks, with its files
    // (or, when the host says so, the subtree passed over).
    CKoError ContainerOnlyFolder();

    // The callback's answers: 50 retires a form, as in CCompareContentContainers.
    CKoError FolderEvent(int side, const string& name, const string& metadata1, const string& metadata2,
                         bool& recurse);
    CKoError FileEvent(int side, const string& folderName, const string& name, const string& metadata1,
                       const string& metadata2);
    CKoError Step();

    CContentContainerDatabase& db_;
    CCompareContentContainersCallback& host_;
    const Options options_;
    FolderCursor folders_listing_;
    FileCursor files_listing_;
    bool filesOpen_ = false;

    // The walk's current folder, as reported.
    bool inFolder_ = false;
    std::string folder_;
    std::string folderMetadata_;
    bool inBoth_ = false;
    bool whole_ = true;
    bool recurse_ = true;
    std::vector<std::pair<std::string, std::string>> parts_;  // the files of a folder that came in parts
    std::string passOver_;  // a tree-only folder whose subtree the host passed over

    unsigned folderForms_;
    unsigned fileForms_ = 0;
    uint64_t folders_ = 0;
    uint64_t files_ = 0;
    int64_t steps_ = 0;
    std::string name_;
    std::string metadata_;
    std::string path_;
    std::string reported_;
};

}  // namespace CX
