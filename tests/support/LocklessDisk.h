#ifndef TAVENOOK_TESTS_SUPPORT_LOCKLESSDISK_H
#define TAVENOOK_TESTS_SUPPORT_LOCKLESSDISK_H

// A disk whose file locks or syncs fail, as a network disk without its lock
// service, one that offers no sync, or one full or over its quota when it
// writes back: flock(2) answers `lockError`, fsync(2) and fdatasync(2)
// answer `syncError` (0: the call works), in the calling thread and in the
// threads it starts from then on, for good. Only for a thread (or forked
// child) of the test's own.

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>

#include "store/PlainFile.h"

inline bool DiskRefuses(int lockError, int syncError = 0) {
    const __u32 none = __u32(-1);
    const __u32 lock = lockError ? __u32(__NR_flock) : none;
    const __u32 sync = syncError ? __u32(__NR_fsync) : none;
    const __u32 dataSync = syncError ? __u32(__NR_fdatasync) : none;
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, lock, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | __u32(lockError)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, sync, 1, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, dataSync, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | __u32(syncError)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        return false;
    // The filter does what such disks do.
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const bool refused =
        fd >= 0 && (!lockError || (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == lockError)) &&
        (!syncError || (::fdatasync(fd) != 0 && errno == syncError));
    if (fd >= 0)
        ::close(fd);
    return refused;
}

// A disk that reports a lost write only at a file's close (a network or
// cloud mount, a FUSE disk that writes a file out at its close), while this
// lives: the client's checked closes of files under `folder` answer `error`,
// in every thread. The files are closed all the same.
struct DiskFailsClose {
    DiskFailsClose(const QString& folder, int error) {
        SetCloseFault([under = QFile::encodeName(folder), error](int fd) {
            char path[PATH_MAX] = {}, real[PATH_MAX];
            const QByteArray link = "/proc/self/fd/" + QByteArray::number(fd);
            return ::readlink(link.constData(), path, sizeof path - 1) > 0 &&
                           ::realpath(under.constData(), real) &&
                           QByteArray(path).startsWith(QByteArray(real) + '/')
                       ? error
                       : 0;
        });
    }
    ~DiskFailsClose() { SetCloseFault(nullptr); }
};

#endif
