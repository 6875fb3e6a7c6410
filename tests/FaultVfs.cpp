#include "FaultVfs.h"

#include <sqlite3.h>

#include <cstddef>
#include <cstring>
#include <stdexcept>

namespace {

// The shim's file: its own header, then the real VFS's file object.
struct ShimFile {
    sqlite3_file base;
    sqlite3_file* real;
    const char* name;  // SQLite keeps it alive while the file is open; null for temporary files
};
constexpr size_t kRealOffset = (sizeof(ShimFile) + 15) & ~size_t(15);

FaultVfs* Owner(sqlite3_vfs* vfs) { return static_cast<FaultVfs*>(vfs->pAppData); }
sqlite3_file* Real(sqlite3_file* file) { return reinterpret_cast<ShimFile*>(file)->real; }
const char* Name(sqlite3_file* file) { return reinterpret_cast<ShimFile*>(file)->name; }

// The shim files' methods: each passes on to the real file, the read, write,
// sync and truncate ones after asking the owner whether to fail.
FaultVfs* g_owner = nullptr;

int ShimClose(sqlite3_file* file)
{
    sqlite3_file* real = Real(file);
    const int rc = real->pMethods ? real->pMethods->xClose(real) : SQLITE_OK;
    file->pMethods = nullptr;
    return rc;
}
int ShimRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset)
{
    if (const int rc = g_owner->Intercept(FaultVfs::Read, Name(file)))
        return rc;
    return Real(file)->pMethods->xRead(Real(file), buffer, amount, offset);
}
int ShimWrite(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset)
{
    if (const int rc = g_owner->Intercept(FaultVfs::Write, Name(file)))
        return rc;
    return Real(file)->pMethods->xWrite(Real(file), buffer, amount, offset);
}
int ShimTruncate(sqlite3_file* file, sqlite3_int64 size)
{
    if (const int rc = g_owner->Intercept(FaultVfs::Truncate, Name(file)))
        return rc;
    return Real(file)->pMethods->xTruncate(Real(file), size);
}
int ShimSync(sqlite3_file* file, int flags)
{
    if (const int rc = g_owner->Intercept(FaultVfs::Sync, Name(file)))
        return rc;
    return Real(file)->pMethods->xSync(Real(file), flags);
}
int ShimFileSize(sqlite3_file* file, sqlite3_int64* size)
{
    return Real(file)->pMethods->xFileSize(Real(file), size);
}
int ShimLock(sqlite3_file* file, int level) { return Real(file)->pMethods->xLock(Real(file), level); }
int ShimUnlock(sqlite3_file* file, int level) { return Real(file)->pMethods->xUnlock(Real(file), level); }
int ShimCheckReservedLock(sqlite3_file* file, int* out)
{
    return Real(file)->pMethods->xCheckReservedLock(Real(file), out);
}
int ShimFileControl(sqlite3_file* file, int op, void* argument)
{
    return Real(file)->pMethods->xFileControl(Real(file), op, argument);
}
int ShimSectorSize(sqlite3_file* file) { return Real(file)->pMethods->xSectorSize(Real(file)); }
int ShimDeviceCharacteristics(sqlite3_file* file)
{
    return Real(file)->pMethods->xDeviceCharacteristics(Real(file));
}
int ShimShmMap(sqlite3_file* file, int region, int size, int extend, void volatile** memory)
{
    const sqlite3_io_methods* methods = Real(file)->pMethods;
    return methods->iVersion >= 2 && methods->xShmMap ? methods->xShmMap(Real(file), region, size, extend, memory)
                                                      : SQLITE_IOERR_SHMMAP;
}
int ShimShmLock(sqlite3_file* file, int offset, int n, int flags)
{
    return Real(file)->pMethods->xShmLock(Real(file), offset, n, flags);
}
void ShimShmBarrier(sqlite3_file* file) { Real(file)->pMethods->xShmBarrier(Real(file)); }
int ShimShmUnmap(sqlite3_file* file, int deleteFlag)
{
    return Real(file)->pMethods->xShmUnmap(Real(file), deleteFlag);
}
int ShimFetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** page)
{
    const sqlite3_io_methods* methods = Real(file)->pMethods;
    if (methods->iVersion < 3 || methods->xFetch == nullptr) {
        *page = nullptr;
        return SQLITE_OK;
    }
    return methods->xFetch(Real(file), offset, amount, page);
}
int ShimUnfetch(sqlite3_file* file, sqlite3_int64 offset, void* page)
{
    const sqlite3_io_methods* methods = Real(file)->pMethods;
    if (methods->iVersion < 3 || methods->xUnfetch == nullptr)
        return SQLITE_OK;
    return methods->xUnfetch(Real(file), offset, page);
}

const sqlite3_io_methods kShimMethods = {
    3,           ShimClose,    ShimRead,     ShimWrite,      ShimTruncate,     ShimSync,
    ShimFileSize, ShimLock,    ShimUnlock,   ShimCheckReservedLock, ShimFileControl, ShimSectorSize,
    ShimDeviceCharacteristics, ShimShmMap,   ShimShmLock,    ShimShmBarrier,   ShimShmUnmap, ShimFetch,
    ShimUnfetch,
};
// Files whose real methods lack shared memory get a table without it, so
// SQLite never takes them for WAL-capable.
const sqlite3_io_methods kShimMethodsV1 = {
    1,           ShimClose,    ShimRead,     ShimWrite,      ShimTruncate,     ShimSync,
    ShimFileSize, ShimLock,    ShimUnlock,   ShimCheckReservedLock, ShimFileControl, ShimSectorSize,
    ShimDeviceCharacteristics, nullptr,      nullptr,        nullptr,          nullptr,      nullptr,
    nullptr,
};

int ShimOpen(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* outFlags)
{
    auto* shim = reinterpret_cast<ShimFile*>(file);
    shim->base.pMethods = nullptr;
    shim->real = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(file) + kRealOffset);
    shim->real->pMethods = nullptr;
    shim->name = name;
    if (const int rc = Owner(vfs)->Intercept(FaultVfs::Open, name))
        return rc;
    sqlite3_vfs* root = Owner(vfs)->Root();
    const int rc = root->xOpen(root, name, shim->real, flags, outFlags);
    if (shim->real->pMethods != nullptr)  // set even on some failures, and then to be closed
        shim->base.pMethods = shim->real->pMethods->iVersion >= 2 ? &kShimMethods : &kShimMethodsV1;
    return rc;
}

// The remaining VFS methods pass straight on.
int ShimDelete(sqlite3_vfs* vfs, const char* name, int syncDir)
{
    return Owner(vfs)->Root()->xDelete(Owner(vfs)->Root(), name, syncDir);
}
int ShimAccess(sqlite3_vfs* vfs, const char* name, int flags, int* out)
{
    return Owner(vfs)->Root()->xAccess(Owner(vfs)->Root(), name, flags, out);
}
int ShimFullPathname(sqlite3_vfs* vfs, const char* name, int size, char* out)
{
    return Owner(vfs)->Root()->xFullPathname(Owner(vfs)->Root(), name, size, out);
}
void* ShimDlOpen(sqlite3_vfs* vfs, const char* name) { return Owner(vfs)->Root()->xDlOpen(Owner(vfs)->Root(), name); }
void ShimDlError(sqlite3_vfs* vfs, int size, char* out) { Owner(vfs)->Root()->xDlError(Owner(vfs)->Root(), size, out); }
void (*ShimDlSym(sqlite3_vfs* vfs, void* handle, const char* symbol))(void)
{
    return Owner(vfs)->Root()->xDlSym(Owner(vfs)->Root(), handle, symbol);
}
void ShimDlClose(sqlite3_vfs* vfs, void* handle) { Owner(vfs)->Root()->xDlClose(Owner(vfs)->Root(), handle); }
int ShimRandomness(sqlite3_vfs* vfs, int size, char* out)
{
    return Owner(vfs)->Root()->xRandomness(Owner(vfs)->Root(), size, out);
}
int ShimSleep(sqlite3_vfs* vfs, int microseconds)
{
    return Owner(vfs)->Root()->xSleep(Owner(vfs)->Root(), microseconds);
}
int ShimCurrentTime(sqlite3_vfs* vfs, double* out) { return Owner(vfs)->Root()->xCurrentTime(Owner(vfs)->Root(), out); }
int ShimGetLastError(sqlite3_vfs* vfs, int size, char* out)
{
    sqlite3_vfs* root = Owner(vfs)->Root();
    return root->xGetLastError ? root->xGetLastError(root, size, out) : 0;
}
int ShimCurrentTimeInt64(sqlite3_vfs* vfs, sqlite3_int64* out)
{
    return Owner(vfs)->Root()->xCurrentTimeInt64(Owner(vfs)->Root(), out);
}

}  // namespace

FaultVfs::FaultVfs()
{
    if (g_owner != nullptr)
        throw std::logic_error("one FaultVfs at a time");
    root_ = sqlite3_vfs_find(nullptr);
    if (root_ == nullptr)
        throw std::runtime_error("no default VFS");
    shim_ = new sqlite3_vfs();
    shim_->iVersion = root_->iVersion < 2 ? root_->iVersion : 2;
    shim_->szOsFile = static_cast<int>(kRealOffset) + root_->szOsFile;
    shim_->mxPathname = root_->mxPathname;
    shim_->zName = "cx-fault";
    shim_->pAppData = this;
    shim_->xOpen = ShimOpen;
    shim_->xDelete = ShimDelete;
    shim_->xAccess = ShimAccess;
    shim_->xFullPathname = ShimFullPathname;
    shim_->xDlOpen = ShimDlOpen;
    shim_->xDlError = ShimDlError;
    shim_->xDlSym = ShimDlSym;
    shim_->xDlClose = ShimDlClose;
    shim_->xRandomness = ShimRandomness;
    shim_->xSleep = ShimSleep;
    shim_->xCurrentTime = ShimCurrentTime;
    shim_->xGetLastError = ShimGetLastError;
    if (shim_->iVersion >= 2)
        shim_->xCurrentTimeInt64 = ShimCurrentTimeInt64;
    g_owner = this;
    if (sqlite3_vfs_register(shim_, 1) != SQLITE_OK) {
        g_owner = nullptr;
        delete shim_;
        throw std::runtime_error("sqlite3_vfs_register failed");
    }
}

FaultVfs::~FaultVfs()
{
    sqlite3_vfs_unregister(shim_);
    sqlite3_vfs_register(root_, 1);  // default again
    g_owner = nullptr;
    delete shim_;
}

void FaultVfs::Arm(unsigned kinds, int64_t n, int code, bool fromNOn)
{
    kinds_ = 0;
    seen_ = 0;
    injected_ = 0;
    {
        std::lock_guard<std::mutex> guard(nameMutex_);
        firstFailedFile_.clear();
    }
    failAt_ = n;
    code_ = code;
    fromNOn_ = fromNOn;
    paused_ = false;
    kinds_ = kinds;
}

std::string FaultVfs::FirstFailedFile() const
{
    std::lock_guard<std::mutex> guard(nameMutex_);
    return firstFailedFile_;
}

void FaultVfs::Disarm()
{
    kinds_ = 0;
    failAt_ = INT64_MAX;
}

int FaultVfs::CodeFor(Kind kind)
{
    switch (kind) {
    case Write:
        return SQLITE_IOERR_WRITE;
    case Sync:
        return SQLITE_IOERR_FSYNC;
    case Truncate:
        return SQLITE_IOERR_TRUNCATE;
    case Open:
        return SQLITE_CANTOPEN;
    case Read:
        return SQLITE_IOERR_READ;
    }
    return SQLITE_IOERR;
}

std::string FaultVfs::KindName(unsigned kind)
{
    std::string name;
    for (auto [bit, text] : {std::pair<unsigned, const char*>{Write, "write"}, {Sync, "sync"},
                             {Truncate, "truncate"}, {Open, "open"}, {Read, "read"}}) {
        if (kind & bit)
            name += name.empty() ? text : std::string("|") + text;
    }
    return name;
}

int FaultVfs::Intercept(Kind kind, const char* fileName)
{
    if (paused_ || (kinds_ & kind) == 0)
        return SQLITE_OK;
    const std::thread::id only = thread_;
    if (only != std::thread::id() && only != std::this_thread::get_id())
        return SQLITE_OK;
    const int64_t n = ++seen_;
    const int64_t at = failAt_;
    if (n == at || (fromNOn_ && n > at)) {
        if (injected_++ == 0) {
            std::lock_guard<std::mutex> guard(nameMutex_);
            firstFailedFile_ = fileName ? fileName : "(temporary file)";
        }
        const int code = code_;
        return code != 0 ? code : CodeFor(kind);
    }
    return SQLITE_OK;
}
