// A host program built against the installed library only.
#include <cx/ContentContainerDatabase.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    CX::CContentContainerDatabase db(argv[1]);
    int64_t folderId = -1;
    int64_t fileId = -1;
    CKoError error = db.InsertFolder("/installed/", "", CTimeStamp::Now(), folderId);
    if (!error.IsError())
        error = db.InsertOrUpdateFile(folderId, "host.txt", "Type=\"file\"", CTimeStamp::Now(), fileId);
    if (error.IsError()) {
        std::fprintf(stderr, "%s\n", error.AsString().c_str());
        return 1;
    }
    std::printf("folder %lld file %lld\n", static_cast<long long>(folderId), static_cast<long long>(fileId));
    return 0;
}
