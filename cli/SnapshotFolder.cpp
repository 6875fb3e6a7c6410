// Where cx index makes a new snapshot: a private folder beside the
// container, named before anything is made so that the walk can leave it
// out, and what runs that died left there, removed only once the run may go
// on (SnapshotFile.h says when each step comes).
#include "SnapshotFile.h"

#include "Output.h"
#include "Progress.h"

#include <dirent.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace cxcli {

std::vector<std::string> SnapshotFile::StaleTemporaries() const
{
    DIR* folder = opendir(folder_.c_str());
    if (folder == nullptr)
        return {};
    const std::string prefix = "." + name_ + ".tmp";
    std::vector<std::string> named;
    while (const struct dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        std::string rest = name.substr(prefix.size());
        // A seal made for a snapshot that was never put in place.
        if (rest.size() > 4 && rest.compare(rest.size() - 4, 4, ".sig") == 0)
            rest.resize(rest.size() - 4);
        // The temporary files of earlier versions lay beside the container.
        for (const char* suffix : kSideSuffixes) {
            const size_t length = std::strlen(suffix);
            if (rest.size() > length && rest.compare(rest.size() - length, length, suffix) == 0) {
                rest.resize(rest.size() - length);
                break;
            }
        }
        if (rest.size() == 6)
            named.push_back(name);
    }
    closedir(folder);
    // Only what a run of this user made; the writers' lock says no run is at
    // work on it.
    std::vector<std::string> stale;
    for (const auto& name : named) {
        struct stat status {};
        if (lstat(Beside(name).c_str(), &status) == 0 && status.st_uid == geteuid() &&
            (S_ISDIR(status.st_mode) || S_ISREG(status.st_mode)))
            stale.push_back(name);
    }
    return stale;
}

bool SnapshotFile::RemoveStaleTemporaries() const
{
    // Those found as the run began, which its walk leaves out. A private
    // folder goes with the files a run puts there, and stays if it holds
    // anything else.
    bool all = true;
    for (const auto& name : stale_) {
        const std::string path = Beside(name);
        struct stat status {};
        if (lstat(path.c_str(), &status) != 0)
            continue;  // gone already
        if (status.st_uid != geteuid()) {
            all = false;  // not the one found
        } else if (S_ISDIR(status.st_mode)) {
            RemoveWithSideFiles(path + "/" + name_);
            all = rmdir(path.c_str()) == 0 && all;
        } else {
            all = unlink(path.c_str()) == 0 && all;
        }
    }
    return all;
}

std::string SnapshotFile::Beside(const std::string& name) const
{
    return (folder_ == "/" ? "" : folder_) + "/" + name;
}

bool SnapshotFile::ReservePrivateFolder()
{
    // The names the walk must leave out are known before anything is made:
    // a run refused once the current file is read leaves the folder as it
    // was. What runs that died left is removed only then.
    stale_ = StaleTemporaries();
    return PickPrivateName();
}

bool SnapshotFile::PickPrivateName()
{
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char random[6];
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
        Fail(target_, std::string("cannot name a temporary folder beside it: ") + std::strerror(errno));
        return false;
    }
    std::string name = "." + name_ + ".tmp";
    for (const unsigned char byte : random)
        name += kLetters[byte % (sizeof kLetters - 1)];
    private_ = Beside(name);
    temporary_ = private_ + "/" + name_;
    return true;
}

bool SnapshotFile::MakePrivateFolder()
{
    // The new snapshot is made in a folder of its own that only this user
    // can enter: SQLite's files beside it are made there too, where nobody
    // else can put one first for the run to write into. Its name was picked
    // before the walk began; should it be taken, another is.
    while (mkdir(private_.c_str(), 0700) != 0) {
        if (errno != EEXIST) {
            Fail(target_, std::string("cannot make a temporary folder beside it: ") + std::strerror(errno));
            return false;
        }
        if (!PickPrivateName())
            return false;
        ownNamesChanged_ = true;
    }
    madePrivate_ = true;
    privateHandle_ = RemoveOnSecondSignal(private_, true);
    temporaryHandle_ = RemoveOnSecondSignal(temporary_, false);
    return true;
}

std::vector<std::string> SnapshotFile::OwnNames() const
{
    std::vector<std::string> names;
    if (!target_.empty())
        names = WithSideFiles(name_);
    // The private folder the new snapshot is made in, with all it holds,
    // and what runs that died left (removed before the new one is made).
    if (!private_.empty())
        names.push_back(private_.substr(private_.rfind('/') + 1));
    names.insert(names.end(), stale_.begin(), stale_.end());
    // Its seal, which changes whenever the container does.
    if (!target_.empty())
        names.push_back(name_ + ".sig");
    return names;
}

void SnapshotFile::RemoveTemporary()
{
    if (!madePrivate_)
        return;
    RemoveWithSideFiles(temporary_);
    KeepOnSecondSignal(temporaryHandle_);
    rmdir(private_.c_str());
    KeepOnSecondSignal(privateHandle_);
}

}  // namespace cxcli
