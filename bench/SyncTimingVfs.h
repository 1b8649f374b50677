#pragma once

// A pass-through SQLite file system for the benchmarks that adds up, per thread, how long the
// disk took to sync files: a save's time can then be told apart into its own work, the lock
// waits and the disk's sync, which no code of ours controls.

#include <sqlite3.h>

#include <chrono>
#include <cstring>

namespace bench {

namespace syncvfs {

inline thread_local double syncMilliseconds = 0;

struct File {
    sqlite3_file base;
    sqlite3_io_methods methods;
    sqlite3_file *real; // the wrapped file, allocated right after this struct
};

inline sqlite3_vfs *&realVfs()
{
    static sqlite3_vfs *vfs = nullptr;
    return vfs;
}

inline sqlite3_file *inner(sqlite3_file *file)
{
    return reinterpret_cast<File *>(file)->real;
}

inline int timedSync(sqlite3_file *file, int flags)
{
    const auto start = std::chrono::steady_clock::now();
    const int rc = inner(file)->pMethods->xSync(inner(file), flags);
    syncMilliseconds
        += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
               .count();
    return rc;
}

inline int open(sqlite3_vfs *vfs, sqlite3_filename name, sqlite3_file *file, int flags, int *out)
{
    auto *wrapper = reinterpret_cast<File *>(file);
    wrapper->real = reinterpret_cast<sqlite3_file *>(wrapper + 1);
    wrapper->base.pMethods = nullptr;
    sqlite3_vfs *real = static_cast<sqlite3_vfs *>(vfs->pAppData);
    const int rc = real->xOpen(real, name, wrapper->real, flags, out);
    const sqlite3_io_methods *m = wrapper->real->pMethods;
    if (!m)
        return rc;
    // Every method goes to the real file; only the sync is timed on the way.
    std::memset(&wrapper->methods, 0, sizeof wrapper->methods);
    wrapper->methods.iVersion = m->iVersion;
    wrapper->methods.xClose = [](sqlite3_file *f) { return inner(f)->pMethods->xClose(inner(f)); };
    wrapper->methods.xRead = [](sqlite3_file *f, void *b, int n, sqlite3_int64 o) {
        return inner(f)->pMethods->xRead(inner(f), b, n, o);
    };
    wrapper->methods.xWrite = [](sqlite3_file *f, const void *b, int n, sqlite3_int64 o) {
        return inner(f)->pMethods->xWrite(inner(f), b, n, o);
    };
    wrapper->methods.xTruncate = [](sqlite3_file *f, sqlite3_int64 s) {
        return inner(f)->pMethods->xTruncate(inner(f), s);
    };
    wrapper->methods.xSync = timedSync;
    wrapper->methods.xFileSize = [](sqlite3_file *f, sqlite3_int64 *s) {
        return inner(f)->pMethods->xFileSize(inner(f), s);
    };
    wrapper->methods.xLock
        = [](sqlite3_file *f, int l) { return inner(f)->pMethods->xLock(inner(f), l); };
    wrapper->methods.xUnlock
        = [](sqlite3_file *f, int l) { return inner(f)->pMethods->xUnlock(inner(f), l); };
    wrapper->methods.xCheckReservedLock = [](sqlite3_file *f, int *r) {
        return inner(f)->pMethods->xCheckReservedLock(inner(f), r);
    };
    wrapper->methods.xFileControl = [](sqlite3_file *f, int op, void *a) {
        return inner(f)->pMethods->xFileControl(inner(f), op, a);
    };
    wrapper->methods.xSectorSize
        = [](sqlite3_file *f) { return inner(f)->pMethods->xSectorSize(inner(f)); };
    wrapper->methods.xDeviceCharacteristics
        = [](sqlite3_file *f) { return inner(f)->pMethods->xDeviceCharacteristics(inner(f)); };
    if (m->iVersion >= 2) {
        wrapper->methods.xShmMap = [](sqlite3_file *f, int i, int s, int e, void volatile **p) {
            return inner(f)->pMethods->xShmMap(inner(f), i, s, e, p);
        };
        wrapper->methods.xShmLock = [](sqlite3_file *f, int o, int n, int fl) {
            return inner(f)->pMethods->xShmLock(inner(f), o, n, fl);
        };
        wrapper->methods.xShmBarrier
            = [](sqlite3_file *f) { inner(f)->pMethods->xShmBarrier(inner(f)); };
        wrapper->methods.xShmUnmap
            = [](sqlite3_file *f, int d) { return inner(f)->pMethods->xShmUnmap(inner(f), d); };
    }
    if (m->iVersion >= 3) {
        wrapper->methods.xFetch = [](sqlite3_file *f, sqlite3_int64 o, int n, void **p) {
            return inner(f)->pMethods->xFetch(inner(f), o, n, p);
        };
        wrapper->methods.xUnfetch = [](sqlite3_file *f, sqlite3_int64 o, void *p) {
            return inner(f)->pMethods->xUnfetch(inner(f), o, p);
        };
    }
    wrapper->base.pMethods = &wrapper->methods;
    return rc;
}

} // namespace syncvfs

// Makes the timing file system the default for connections opened from now on.
inline void installSyncTiming()
{
    static sqlite3_vfs vfs;
    sqlite3_vfs *real = sqlite3_vfs_find(nullptr);
    if (!real || syncvfs::realVfs())
        return;
    syncvfs::realVfs() = real;
    vfs = *real;
    vfs.zName = "bench-sync-timing";
    vfs.pAppData = real;
    vfs.szOsFile = int(sizeof(syncvfs::File)) + real->szOsFile;
    vfs.xOpen = syncvfs::open;
    // The rest (delete, access, randomness, time…) is the real file system's own, which ignores
    // pAppData for them except through its own pointer.
    vfs.xDelete = [](sqlite3_vfs *v, const char *n, int d) {
        auto *r = static_cast<sqlite3_vfs *>(v->pAppData);
        return r->xDelete(r, n, d);
    };
    vfs.xAccess = [](sqlite3_vfs *v, const char *n, int f, int *o) {
        auto *r = static_cast<sqlite3_vfs *>(v->pAppData);
        return r->xAccess(r, n, f, o);
    };
    vfs.xFullPathname = [](sqlite3_vfs *v, const char *n, int s, char *o) {
        auto *r = static_cast<sqlite3_vfs *>(v->pAppData);
        return r->xFullPathname(r, n, s, o);
    };
    sqlite3_vfs_register(&vfs, 1);
}

// Milliseconds the calling thread has spent in the disk's sync so far.
inline double syncMillisecondsOfThisThread()
{
    return syncvfs::syncMilliseconds;
}

} // namespace bench
