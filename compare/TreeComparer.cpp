#include "TreeComparer.h"

#include "FXPath.h"
#include "FXString.h"

#include <algorithm>

namespace CX {

namespace {

// The forms of the callback's operations still in use.
enum Form : unsigned {
    kFolder1 = 1u,
    kFolder1Recurse = 2u,
    kFolder2 = 4u,
    kFolder2Recurse = 8u,
    kFolderBoth = 16u,
    kFolderBothRecurse = 32u,
    kAllFolderForms = 63u,
    kFile1 = 1u,
    kFile2 = 2u,
    kFileBoth = 4u,
    kAllFileForms = 7u,
};

const string kAncestor = "Type=\"ancestor\"";

}  // namespace

TreeComparer::TreeComparer(CContentContainerDatabase& db, CCompareContentContainersCallback& host, Options options)
    : db_(db), host_(host), options_(std::move(options)), folderForms_(kAllFolderForms)
{
}

CKoError TreeComparer::Begin()
{
    CKoError error = db_.QueryFolders(folders_listing_.query);
    if (error.IsError())
        return db_.ConstructionErrorOr(error).Push(FX_LOCATION);
    try {
        folders_listing_.Open();
    } catch (const CListingFailure& failure) {
        return FX::ErrorFromException(FX_LOCATION, failure.exception);
    }
    std::vector<std::string> ancestors;
    FXPath::SplitPaths(options_.reportedRoot, "", ancestors, 1);  // cannot fail
    for (const auto& ancestor : ancestors) {
        error = FolderAt(ancestor, kAncestor, true);
        if (error.IsError())
            return error;
    }
    return CKoError::Success();
}

CKoError TreeComparer::Step()
{
    ++steps_;
    if (steps_ % options_.abortCheckPeriod == 0 && host_.IsAborted())
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_OPERATION_ABORTED);
    return CKoError::Success();
}

CKoError TreeComparer::FolderEvent(int side, const string& name, const string& metadata1, const string& metadata2,
                                   bool& recurse)
{
    const unsigned plain = side == 1 ? kFolder1 : side == 2 ? kFolder2 : kFolderBoth;
    const unsigned withRecurse = plain << 1;
    const auto answer = [this](CKoError result, unsigned form) {
        if (FXErrorUtil::IsWin32(result, KO_ERROR_NOT_SUPPORTED)) {
            folderForms_ &= ~form;
            return CKoError::Success();
        }
        return result;
    };
    CKoError error;
    if (folderForms_ & plain) {
        error = answer(side == 1   ? host_.OnFolderInIndex1(name, metadata1)
                       : side == 2 ? host_.OnFolderInIndex2(name, metadata2)
                                   : host_.OnFolderInBothIndexes(name, metadata1, metadata2),
                       plain);
        if (error.IsError())
            return error.Push(FX_LOCATION);
    }
    if (!(folderForms_ & plain) && (folderForms_ & withRecurse)) {
        error = answer(side == 1   ? host_.OnFolderInIndex1(name, metadata1, recurse)
                       : side == 2 ? host_.OnFolderInIndex2(name, metadata2, recurse)
                                   : host_.OnFolderInBothIndexes(name, metadata1, metadata2, recurse),
                       withRecurse);
        if (error.IsError())
            return error.Push(FX_LOCATION);
    }
    return CKoError::Success();
}

CKoError TreeComparer::FileEvent(int side, const string& folderName, const string& name, const string& metadata1,
                                 const string& metadata2)
{
    const unsigned form = side == 1 ? kFile1 : side == 2 ? kFile2 : kFileBoth;
    if (!(fileForms_ & form))
        return CKoError::Success();
    path_.assign(folderName);
    FXPath::Append(path_, name, 0);  // on failure the host gets what Append left
    const CKoError result = side == 1   ? host_.OnFileInIndex1(path_, folderName, name, metadata1)
                            : side == 2 ? host_.OnFileInIndex2(path_, folderName, name, metadata2)
                                        : host_.OnFileInBothIndexes(path_, folderName, name, metadata1, metadata2);
    if (FXErrorUtil::IsWin32(result, KO_ERROR_NOT_SUPPORTED)) {
        fileForms_ &= ~form;  // for the rest of this folder
        return CKoError::Success();
    }
    return CKoError(result).Push(FX_LOCATION);
}

CKoError TreeComparer::ContainerOnlyFolder()
{
    CKoError error = Step();
    if (error.IsError())
        return error;
    bool recurse = options_.recurseOneSided;
    error = FolderEvent(1, folders_listing_.name, folders_listing_.Metadata(), kNoText, recurse);
    if (error.IsError())
        return error;
    try {
        if (!recurse) {
            // The folders below a folder follow it in the listing's order.
            const string passedOver = folders_listing_.name;
            do {
                folders_listing_.Advance();
            } while (!folders_listing_.AtEnd() && FXPath::IsDescendantOf(folders_listing_.name, passedOver, false));
            return CKoError::Success();
        }
        FileCursor files;
        error = db_.QueryFiles(folders_listing_.id, files.query);
        if (error.IsError())
            return error.Push(FX_LOCATION);
        files.Open();
        fileForms_ = kAllFileForms;
        for (; !files.AtEnd(); files.Advance()) {
            if ((error = Step()).IsError() ||
                (error = FileEvent(1, folders_listing_.name, files.name, files.Metadata(), kNoText)).IsError())
                return error;
        }
        folders_listing_.Advance();
    } catch (const CListingFailure& failure) {
        return FX::ErrorFromException(FX_LOCATION, failure.exception);
    }
    return CKoError::Success();
}

CKoError TreeComparer::Folder(std::string_view path, std::string_view metadata, bool whole)
{
    ++folders_;
    // The walk's paths, all below its root, under the reported root.
    reported_.assign(options_.reportedRoot).append(path.substr(std::min(path.size(), options_.walkRoot.size())));
    return FolderAt(reported_, metadata, whole);
}

CKoError TreeComparer::FolderAt(const std::string& reported, std::string_view metadata, bool whole)
{
    CKoError error = EndFolder();
    if (error.IsError())
        return error;
    folder_.assign(reported);
    folderMetadata_.assign(metadata);
    whole_ = whole;
    inFolder_ = true;
    if (!passOver_.empty() && FXPath::IsDescendantOf(folder_, passOver_, false)) {
        inFolder_ = false;  // the host passed over the subtree
        return CKoError::Success();
    }
    passOver_.clear();
    // What the container has before it, the tree lacks.
    try {
        while (!folders_listing_.AtEnd() && db_.CompareFolderName(folders_listing_.name, folder_) < 0) {
            error = ContainerOnlyFolder();
            if (error.IsError())
                return error;
        }
    } catch (const CListingFailure& failure) {
        return FX::ErrorFromException(FX_LOCATION, failure.exception);
    }
    inBoth_ = !folders_listing_.AtEnd() && db_.CompareFolderName(folders_listing_.name, folder_) == 0;
    // A folder in parts may still be amended: its event waits for its end.
    return whole_ ? StartFolder() : CKoError::Success();
}

CKoError TreeComparer::StartFolder()
{
    CKoError error = Step();
    if (error.IsError())
        return error;
    recurse_ = inBoth_ || options_.recurseOneSided;
    error = inBoth_ ? FolderEvent(0, folders_listing_.name, folders_listing_.Metadata(), folderMetadata_, recurse_)
                    : FolderEvent(2, folder_, kNoText, folderMetadata_, recurse_);
    if (error.IsError())
        return error;
    fileForms_ = kAllFileForms;
    if (!inBoth_) {
        if (!recurse_)
            passOver_ = folder_;
        return CKoError::Success();
    }
    if (!recurse_)
        return CKoError::Success();
    error = db_.QueryFiles(folders_listing_.id, files_listing_.query);
    if (error.IsError())
        return error.Push(FX_LOCATION);
    try {
        files_listing_.Open();
    } catch (const CListingFailure& failure) {
        return FX::ErrorFromException(FX_LOCATION, failure.exception);
    }
    filesOpen_ = true;
    return CKoError::Success();
}

CKoError TreeComparer::AmendFolder(std::string_view metadata)
{
    // Only a folder in parts is amended, and its event has not gone yet.
    folderMetadata_.assign(metadata);
    return CKoError::Success();
}

CKoError TreeComparer::File(std::string_view name, std::string_view metadata)
{
    ++files_;
    if (!inFolder_)
        return CKoError::Success();
    if (!whole_) {
        parts_.emplace_back(std::string(name), std::string(metadata));
        return CKoError::Success();
    }
    name_.assign(name);
    metadata_.assign(metadata);
    return CompareFile(name_, metadata_);
}

CKoError TreeComparer::CompareFile(const std::string& name, const std::string& metadata)
{
    CKoError error;
    if (!recurse_)
        return error;
    if (!filesOpen_) {
        if ((error = Step()).IsError())
            return error;
        return FileEvent(2, folder_, name, kNoText, metadata);
    }
    try {
        for (;;) {
            const int order = files_listing_.AtEnd() ? 1 : FXString::CompareFSCase(files_listing_.name, name);
            if ((error = Step()).IsError())
                return error;
            if (order < 0) {
                error = FileEvent(1, folders_listing_.name, files_listing_.name, files_listing_.Metadata(), kNoText);
                files_listing_.Advance();
                if (error.IsError())
                    return error;
                continue;
            }
            if (order == 0) {
                error = FileEvent(0, folders_listing_.name, name, files_listing_.Metadata(), metadata);
                files_listing_.Advance();
                return error;
            }
            return FileEvent(2, folders_listing_.name, name, kNoText, metadata);
        }
    } catch (const CListingFailure& failure) {
        return FX::ErrorFromException(FX_LOCATION, failure.exception);
    }
}

CKoError TreeComparer::EndFolder()
{
    if (!inFolder_)
        return CKoError::Success();
    inFolder_ = false;
    CKoError error;
    if (!whole_) {
        // Its files came in several sorted runs: compared once they are all in.
        std::sort(parts_.begin(), parts_.end(), [](const auto& a, const auto& b) {
            return FXString::CompareFSCase(a.first, b.first) < 0;
        });
        whole_ = true;
        error = StartFolder();
        for (size_t i = 0; i < parts_.size() && !error.IsError(); ++i)
            error = CompareFile(parts_[i].first, parts_[i].second);
        parts_.clear();
        parts_.shrink_to_fit();  // a large folder's room is given back
        if (error.IsError())
            return error;
    }
    if (!inBoth_)
        return CKoError::Success();
    try {
        for (; filesOpen_ && !files_listing_.AtEnd(); files_listing_.Advance()) {
            if ((error = Step()).IsError() ||
                (error = FileEvent(1, folders_listing_.name, files_listing_.name, files_listing_.Metadata(), kNoText))
                    .IsError())
                return error;
        }
        filesOpen_ = false;
        files_listing_.query.reset();
        folders_listing_.Advance();
    } catch (const CListingFailure& failure) {
        return FX::ErrorFromException(FX_LOCATION, failure.exception);
    }
    return CKoError::Success();
}

CKoError TreeComparer::Finish()
{
    CKoError error = EndFolder();
    try {
        while (!error.IsError() && !folders_listing_.AtEnd())
            error = ContainerOnlyFolder();
    } catch (const CListingFailure& failure) {
        return FX::ErrorFromException(FX_LOCATION, failure.exception);
    }
    files_listing_.query.reset();
    folders_listing_.query.reset();
    return error;
}

}  // namespace CX
