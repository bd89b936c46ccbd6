#include "tasks/safefileops.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace SafeFileOps {

namespace {
QByteArray native(const QString& path)
{
    return QFile::encodeName(path);
}

// Closes the descriptor on every way out.
class Fd
{
public:
    explicit Fd(int fd) : fd(fd) {}
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    bool closeChecked()
    {
        const int result = ::close(fd);
        fd = -1;
        return result == 0;
    }
    int fd;
};
}

bool renameNoReplace(const QString& from, const QString& to)
{
    const QByteArray source = native(from);
    const QByteArray target = native(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return false;
    // File systems without RENAME_NOREPLACE: link refuses an existing target and does not
    // follow a link at the source.
    if (::link(source.constData(), target.constData()) != 0)
        return false;
    if (::unlink(source.constData()) != 0) {
        const int error = errno;
        ::unlink(target.constData());
        errno = error;
        return false;
    }
    return true;
}

bool entryExists(const QString& path)
{
    struct stat info;
    return ::lstat(native(path).constData(), &info) == 0;
}

Entry entryKind(const QString& path)
{
    struct stat info;
    if (::lstat(native(path).constData(), &info) != 0)
        return Entry::None;
    return S_ISDIR(info.st_mode) ? Entry::Directory : Entry::Other;
}

bool writeAll(int fd, const char* data, qint64 size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size_t(size));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

bool createFileAtomically(const QString& dest, const std::function<bool(int fd)>& write)
{
    const QByteArray target = native(dest);
    const QByteArray directory = native(QFileInfo(dest).absolutePath());
    Fd file(::open(directory.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (file.fd >= 0) {
        if (!write(file.fd))
            return false;
        char procPath[64];
        std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", file.fd);
        // linkat gives the finished file its name and refuses an existing one.
        if (::linkat(AT_FDCWD, procPath, AT_FDCWD, target.constData(), AT_SYMLINK_FOLLOW) != 0)
            return false;
        if (!file.closeChecked()) {
            ::unlink(target.constData());
            return false;
        }
        return true;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return false;

    // No unnamed files here: a hidden temporary name, linked to the real one when complete.
    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 16; ++attempt) {
        temporary = directory + "/.quorvel_partial_" + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
        fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    Fd named(fd);
    if (named.fd < 0)
        return false;
    const bool ok = write(named.fd) && named.closeChecked() && ::link(temporary.constData(), target.constData()) == 0;
    ::unlink(temporary.constData());
    return ok;
}

bool syncFileSystem(const QString& path)
{
    Fd fd(::open(native(path).constData(), O_RDONLY | O_CLOEXEC));
    return fd.fd >= 0 && ::syncfs(fd.fd) == 0;
}

void removeFiles(const QStringList& paths)
{
    constexpr int MaxThreads = 8;
    constexpr int PathsPerThread = 64;
    std::atomic<qsizetype> next{0};
    const auto work = [&paths, &next] {
        for (qsizetype i = next++; i < paths.size(); i = next++)
            ::unlink(native(paths.at(i)).constData());
    };
    const int threads = int(qMin<qsizetype>(MaxThreads, paths.size() / PathsPerThread));
    std::vector<std::thread> helpers;
    for (int i = 1; i < threads; ++i)
        helpers.emplace_back(work);
    work();
    for (std::thread& helper : helpers)
        helper.join();
}

}
