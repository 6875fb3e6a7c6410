// Container file bytes handed to every way in: each open mode, both sides of
// a comparison against a sound container, and both reviews. Whatever the
// bytes, each must answer (success or an error) without crashing, leaking,
// hanging or reading out of bounds.
#include "CompareContentContainers.h"
#include "ContentContainer.h"
#include "ContentContainerDatabase.h"
#include "LogWriter.h"
#include "ReviewContentContainer.h"

#include <boost/make_shared.hpp>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

std::string g_folder;
std::string g_sound;
std::string g_file;

class Counting : public CX::CCompareContentContainersCallback {
public:
    CKoError OnFolderInIndex1(const string&, const string&) override { return Count(); }
    CKoError OnFolderInIndex2(const string&, const string&) override { return Count(); }
    CKoError OnFolderInBothIndexes(const string&, const string&, const string&) override { return Count(); }
    CKoError OnFileInIndex1(const string&, const string&, const string&, const string&) override { return Count(); }
    CKoError OnFileInIndex2(const string&, const string&, const string&, const string&) override { return Count(); }
    CKoError OnFileInBothIndexes(const string&, const string&, const string&, const string&,
                                 const string&) override
    {
        return Count();
    }

private:
    CKoError Count()
    {
        ++events;
        return CKoError::Success();
    }
    int64_t events = 0;
};

class Reporting : public CX::CReviewContentContainerAncestorCallback {
public:
    CKoError OnAncestorMissing(const string&, int64_t, const string&) override { return CKoError::Success(); }
};

void RemoveFiles(const std::string& file)
{
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        unlink((file + suffix).c_str());
}

void Write(const uint8_t* data, size_t size)
{
    RemoveFiles(g_file);
    FILE* out = std::fopen(g_file.c_str(), "wb");
    if (out == nullptr)
        std::abort();
    if (size != 0 && std::fwrite(data, 1, size, out) != size)
        std::abort();
    std::fclose(out);
}

void Cleanup() { std::filesystem::remove_all(g_folder); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (g_ptrLogWriter)
        g_ptrLogWriter->SetTraceLevel(-2);  // the failures are the point here
    std::string pattern = (access("/dev/shm", W_OK) == 0 ? std::string("/dev/shm") : std::string("/tmp")) +
                          "/cx-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        std::abort();
    g_folder = pattern;
    g_sound = g_folder + "/sound.cx";
    g_file = g_folder + "/fuzzed.cx";
    std::atexit(Cleanup);
    CX::CContentContainerDatabase sound(g_sound, false);
    int64_t id = -1;
    for (const char* folder : {"/", "/a/", "/a/b/", "/c/"}) {
        sound.InsertFolder(folder, "", CTimeStamp::FromSystemTime(1), id);
        sound.InsertOrUpdateFile(id, "f", "Collect=\"true\"", CTimeStamp::FromSystemTime(1), id);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    typedef CKoError (CX::CContentContainer::*Open)();
    for (Open open : {&CX::CContentContainer::OpenExistingReadOnly, &CX::CContentContainer::OpenExisting}) {
        Write(data, size);
        CX::CContentContainer container;
        container.SetName(g_file);
        if (!(container.*open)().IsError()) {
            int64_t folderId = -1;
            int64_t fileId = -1;
            container.QueryFile("/a/b/f", folderId, fileId);
            container.InsertFolder("/new/", "", CTimeStamp::FromSystemTime(2), folderId);
            container.Close();
        }
    }

    Write(data, size);
    auto counting = boost::make_shared<Counting>();
    CX::CCompareContentContainers(g_sound, g_file, counting).CompareDatabases();
    Write(data, size);
    CX::CCompareContentContainers(g_file, g_sound, counting).CompareDatabases();

    Write(data, size);
    CX::CReviewContentContainer review(g_file);
    auto reporting = boost::make_shared<Reporting>();
    review.CheckAncestors(reporting);
    review.CheckCollectAncestors(reporting);
    return 0;
}
