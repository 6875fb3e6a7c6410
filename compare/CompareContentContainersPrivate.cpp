#include "CompareContentContainersPrivate.h"
#include "ListingCursors.h"

#include "FXPath.h"
#include "FXString.h"

#include <iostream>

namespace CX {

namespace {

// The file operations still in use in the current folder.
enum FileForm : unsigned { kFileInIndex1 = 1u, kFileInIndex2 = 2u, kFileInBoth = 4u };

// Builds the path in `path`, whose capacity is reused from file to file.
const string& FilePath(const string& folderName, const string& fileName, string& path)
{
    path.assign(folderName);
    FXPath::Append(path, fileName, 0);  // on failure the host gets what Append left
    return path;
}

}  // namespace

CCompareContentContainersPrivate::CCompareContentContainersPrivate() {}

CCompareContentContainersPrivate::~CCompareContentContainersPrivate() {}

CKoError CCompareContentContainersPrivate::CompareDatabaseFolder(const string& folderName,
                                                                 const ::CContentContainerDatabasePtr& database1,
                                                                 LONGLONG folderId1,
                                                                 const ::CContentContainerDatabasePtr& database2,
                                                                 LONGLONG folderId2, LONGLONG& stepCounter,
                                                                 LONGLONG folderStepCount)
{
    FileCursor cursor1;
    CKoError error = database1->QueryFiles(folderId1, cursor1.query);
    if (error.IsError())
        return error.Push(FX_LOCATION);
    FileCursor cursor2;
    error = database2->QueryFiles(folderId2, cursor2.query);
    if (error.IsError())
        return error.Push(FX_LOCATION);

    // The run fixes the period up before any walk; this only keeps a direct
    // caller from dividing by zero.
    const LONGLONG period = abortCheckPeriod > 0 ? abortCheckPeriod : 100;
    unsigned forms = kFileInIndex1 | kFileInIndex2 | kFileInBoth;
    CCompareContentContainersCallback& host = *callback;
    string filePath;

    // 50 means "not implemented here": stop asking for the rest of this folder.
    auto handle = [&forms](CKoError answer, unsigned form) -> CKoError {
        if (FXErrorUtil::IsWin32(answer, KO_ERROR_NOT_SUPPORTED)) {
            forms &= ~form;
            return CKoError::Success();
        }
        return answer;
    };

    // Only the listings' own failures are caught: whatever the host throws
    // passes on unchanged.
    try {
        cursor1.Open();
        cursor2.Open();
        while (!cursor1.AtEnd() || !cursor2.AtEnd()) {
            ++stepCounter;
            if (stepCounter % period == 0) {
                if (host.IsAborted())
                    return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_OPERATION_ABORTED);
                std::cout << stepCounter << "   " << folderStepCount << '\r' << std::flush;
            }

            const int order = FXString::CompareFSCase(cursor1.name, cursor2.name);
            if ((order < 0 && !cursor1.AtEnd()) || cursor2.AtEnd()) {
                if (forms & kFileInIndex1) {
                    const string& path = FilePath(folderName, cursor1.name, filePath);
                    error = handle(host.OnFileInIndex1(path, folderName, cursor1.name, cursor1.Metadata()),
                                   kFileInIndex1);
                    if (error.IsError())
                        return error.Push(FX_LOCATION);
                }
                cursor1.Advance();
            } else if ((order > 0 && !cursor2.AtEnd()) || cursor1.AtEnd()) {
                if (forms & kFileInIndex2) {
                    const string& path = FilePath(folderName, cursor2.name, filePath);
                    error = handle(host.OnFileInIndex2(path, folderName, cursor2.name, cursor2.Metadata()),
                                   kFileInIndex2);
                    if (error.IsError())
                        return error.Push(FX_LOCATION);
                }
                cursor2.Advance();
            } else {
                if (forms & kFileInBoth) {
                    const string& path = FilePath(folderName, cursor1.name, filePath);
                    error = handle(host.OnFileInBothIndexes(path, folderName, cursor1.name, cursor1.Metadata(),
                                                            cursor2.Metadata()),
                                   kFileInBoth);
                    if (error.IsError())
                        return error.Push(FX_LOCATION);
                }
                cursor1.Advance();
                cursor2.Advance();
            }
        }
    } catch (const CListingFailure& failure) {
        return FX::ErrorFromException(FX_LOCATION, failure.exception);
    }
    return CKoError::Success();
}

}  // namespace CX
