// Records a directory tree in a container, as cx index does, then reads one
// file's attributes back. Usage: ReadmeExample CONTAINER DIRECTORY FILE
// (FILE: the name of a file directly in DIRECTORY)
#include <cx/AttributeSet.h>
#include <cx/ContentContainerDatabase.h>
#include <cx/TreeIndexer.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: ReadmeExample CONTAINER DIRECTORY FILE\n");
        return 2;
    }
    CX::CContentContainerDatabase db(argv[1]);  // made when absent
    CKoError error = db.GetConstructionError();

    CX::CTreeIndexer indexer;
    indexer.SetChecksum(true);  // XXH128="..." for each regular file
    indexer.SetUpdate(true);    // a second run brings the rows up to date
    CX::STreeIndexerCounts counts;
    if (error.IsSuccess())
        error = indexer.Index(db, argv[2], counts);

    // Rows are named by real paths; "Origin" holds the directory's.
    std::string origin;
    int64_t folderId = -1;
    int64_t fileId = -1;
    std::string metadata;
    CTimeStamp updated;
    if (error.IsSuccess())
        error = db.GetValue("Origin", origin);
    if (error.IsSuccess())
        error = db.QueryFolderId(origin + "/", folderId);
    if (error.IsSuccess())
        error = db.QueryFile(folderId, argv[3], fileId, metadata, updated);

    CX::CAttributeSet attributes;
    if (error.IsSuccess())
        error = attributes.Parse(metadata);  // Type="file" Size="..." MTime="..." ...
    std::string size;
    std::string digest;
    if (error.IsError() || !attributes.Get("Size", size) || !attributes.Get("XXH128", digest)) {
        std::fprintf(stderr, "failed: %s\n", error.AsString().c_str());
        return 1;
    }
    std::printf("%llu folders, %llu files; %s: %s bytes, XXH128 %s\n",
                static_cast<unsigned long long>(counts.folders), static_cast<unsigned long long>(counts.files),
                argv[3], size.c_str(), digest.c_str());
    return 0;
}
