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

#include <QByteArray>
#include <QFile>
#include <QString>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <memory>

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
// cloud mount, a FUSE disk that writes a file out at its close and answers
// every sync with success): while it lives, the client's checked closes of
// files under `folder` answer `error`, in every thread; then the disk works
// again. The files themselves are closed.
class DiskFailsClose {
public:
    DiskFailsClose(const QString& folder, int error)
        : m_failed(std::make_shared<std::atomic<int>>(0)) {
        const QByteArray under = QFile::encodeName(folder);
        SetCloseFault([under, error, failed = m_failed](int fd) {
            char real[PATH_MAX], path[PATH_MAX];
            const QByteArray link = "/proc/self/fd/" + QByteArray::number(fd);
            const ssize_t n = ::readlink(link.constData(), path, sizeof path - 1);
            if (n <= 0 || !::realpath(under.constData(), real))
                return 0;
            path[n] = 0;
            const QByteArray in = QByteArray(real) + '/';
            if (!QByteArray(path).startsWith(in))
                return 0;
            ++*failed;
            return error;
        });
    }
    ~DiskFailsClose() { SetCloseFault(nullptr); }
    DiskFailsClose(const DiskFailsClose&) = delete;
    DiskFailsClose& operator=(const DiskFailsClose&) = delete;
    // The closes failed so far.
    int Failed() const { return m_failed->load(); }

private:
    std::shared_ptr<std::atomic<int>> m_failed;
};

#endif
