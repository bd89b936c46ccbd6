#include "tasks/filecopyfunc.h"

#include "tasks/safefileops.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr size_t CopyChunk = size_t(1) << 30;
constexpr int BufferSize = 1 << 16;

// Copies from the current offsets to the end of in. The kernel copies within one file
// system without the data passing through this process.
bool copyContent(int in, int out)
{
    bool kernelCopy = true;
    while (kernelCopy) {
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, CopyChunk, 0);
        if (n > 0)
            continue;
        if (n == 0)
            return true;
        if (errno == EINTR)
            continue;
        if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL)
            return false;
        kernelCopy = false;
    }
    char buffer[BufferSize];
    for (;;) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (!SafeFileOps::writeAll(out, buffer, n))
            return false;
    }
}
}

// Only a regular file of ours that no other name holds: the destination then shares it with
// nobody but the copy that goes after the install. Anything else gets a real copy.
FileCopyFunc::Link FileCopyFunc::linkDisposable(const QString& sourcePath, const QString& destPath)
{
    // Not through a link at the source's name: that file may be anyone's.
    const int in = ::open(QFile::encodeName(sourcePath).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0)
        return Link::NotPossible;
    static const uid_t self = ::geteuid();
    struct stat info;
    Link link = Link::NotPossible;
    if (::fstat(in, &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1 && info.st_uid == self) {
        char procPath[64];
        std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", in);
        // Something at the destination is never replaced; another file system gets a copy.
        if (::linkat(AT_FDCWD, procPath, AT_FDCWD, QFile::encodeName(destPath).constData(), AT_SYMLINK_FOLLOW) == 0)
            link = Link::Made;
        else if (errno == EEXIST)
            link = Link::Refused;
    }
    ::close(in);
    return link;
}

FileCopyFunc::FileCopyFunc(const QString& sourcePath, const QString& destPath, bool sourceDisposable)
    : SlowFileOpFunc(sourcePath, destPath)
    , sourceDisposable(sourceDisposable)
{
}

// The copy gets its name only when complete and never replaces what is at the destination.
// No flush per file: the install phase syncs the file system once at its end.
bool FileCopyFunc::run()
{
    if (sourceDisposable) {
        const Link link = linkDisposable(sourcePath, destPath);
        if (link == Link::Refused)
            Q_EMIT failed(systemError(EEXIST));
        if (link != Link::NotPossible)
            return link == Link::Made;
    }
    const QByteArray source = QFile::encodeName(sourcePath);
    const int in = ::open(source.constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        Q_EMIT failed(systemError(errno));
        return false;
    }
    struct stat info;
    bool ok = ::fstat(in, &info) == 0;
    if (!ok)
        Q_EMIT failed(systemError(errno));
    else if (!S_ISREG(info.st_mode))
        Q_EMIT failed(QStringLiteral("the source is not a regular file"));
    ok = ok && S_ISREG(info.st_mode);
    if (ok && !SafeFileOps::createFileAtomically(destPath, [in, &info](int out) {
            return ::fchmod(out, info.st_mode & 0777) == 0 && copyContent(in, out);
        })) {
        Q_EMIT failed(systemError(errno));
        ok = false;
    }
    ::close(in);
    return ok;
}
