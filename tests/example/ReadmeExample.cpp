// Indexes a folder and two files in a new container, then finds one file by
// its full path. Usage: ReadmeExample [container-file]
#include <cx/ContentContainer.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    const std::string fileName = argc > 1 ? argv[1] : "example.cx";
    const CTimeStamp now = CTimeStamp::Now();

    CX::CContentContainer container;
    CKoError error = container.SetName(fileName);
    if (error.IsSuccess())
        error = container.ReplaceOrCreate();  // a new, empty container

    int64_t folderId = -1;
    int64_t fileId = -1;
    if (error.IsSuccess())
        error = container.InsertFolder("/data/reports/", "owner=finance", now, folderId);
    if (error.IsSuccess())
        error = container.InsertOrUpdateFile(folderId, "2024.csv", "size=1200", now, fileId);
    if (error.IsSuccess())
        error = container.InsertOrUpdateFile(folderId, "2025.csv", "size=800", now, fileId);

    int64_t foundFolderId = -1;
    int64_t foundFileId = -1;
    if (error.IsSuccess())
        error = container.QueryFile("/data/reports/2025.csv", foundFolderId, foundFileId);
    if (error.IsSuccess())
        error = container.Close();  // writes what is still queued

    if (error.IsError()) {
        std::fprintf(stderr, "failed: %s\n", error.AsString().c_str());
        return 1;
    }
    std::printf("/data/reports/2025.csv: folder %lld, file %lld\n", static_cast<long long>(foundFolderId),
                static_cast<long long>(foundFileId));
    return foundFileId == fileId ? 0 : 1;
}
