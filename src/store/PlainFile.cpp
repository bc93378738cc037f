#include "store/PlainFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

int OpenPlainFile(const QByteArray& path, int flags, bool* notPlain) {
    if (notPlain)
        *notPlain = false;
    const int fd =
        ::open(path.constData(), (flags & ~O_CREAT) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (notPlain)
            *notPlain = errno == ELOOP;
        return -1;
    }
    struct stat st {};
    const bool statted = ::fstat(fd, &st) == 0;
    if (!statted || !S_ISREG(st.st_mode)) {
        const int error = statted ? EINVAL : errno;
        ::close(fd);
        if (notPlain)
            *notPlain = error == EINVAL;
        errno = error;
        return -1;
    }
    // The open alone must not wait; reads and writes may.
    if (!(flags & O_NONBLOCK))
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

int CreateFileAnew(const QByteArray& path, int flags, mode_t mode) {
    if (::unlink(path.constData()) != 0 && errno != ENOENT)
        return -1;
    return ::open(path.constData(), flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

int OpenOrCreatePlainFile(const QByteArray& path, int flags, mode_t mode, bool* notPlain) {
    const int fd = OpenPlainFile(path, flags, notPlain);
    if (fd >= 0 || errno != ENOENT)
        return fd;
    const int made =
        ::open(path.constData(), flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    // Something appeared meanwhile: it is opened only if it is a plain file.
    if (made < 0 && errno == EEXIST)
        return OpenPlainFile(path, flags, notPlain);
    return made;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        data += n;
        size -= std::size_t(n);
    }
    return true;
}
