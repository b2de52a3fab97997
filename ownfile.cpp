#include "ownfile.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QRandomGenerator>
#include <QSet>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Each refusal is told once a run. Told from the window's thread and from
// the one that saves the output's volume.
void tellOnce(const QString &text)
{
    static QMutex lock;
    static QSet<QString> told;
    QMutexLocker locked(&lock);
    if (told.contains(text))
        return;
    told.insert(text);
    qWarning("%s", qPrintable(text));
}

bool writeAll(int fd, const QByteArray &content)
{
    const char *data = content.constData();
    qint64 left = content.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        left -= written;
    }
    return true;
}

// Where the directory refuses a new file but the file itself may be written:
// in place, and never through a link.
bool writeInPlace(const QByteArray &path, const QByteArray &content)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat status;
    const bool ok = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && ::ftruncate(fd, 0) == 0
        && writeAll(fd, content) && ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

} // namespace

bool OwnFile::write(const QString &name, const QByteArray &content)
{
    if (QFileInfo(name).isSymLink()) {
        tellOnce(
            QStringLiteral("Not writing %1: it is a symbolic link, which this program does not "
                           "write through")
                .arg(name));
        return false;
    }
    return replace(name, content);
}

bool OwnFile::replace(const QString &name, const QByteArray &content)
{
    const QByteArray path = QFile::encodeName(name);
    // A file of the name keeps its permissions; a new one gets the user's.
    struct stat old;
    const bool exists = ::lstat(path.constData(), &old) == 0 && S_ISREG(old.st_mode);
    QByteArray temporary;
    int fd = -1;
    for (int tries = 0; fd < 0 && tries < 16; ++tries) {
        temporary
            = path + '.' + QByteArray::number(QRandomGenerator::global()->generate(), 36) + ".new";
        // O_EXCL makes a file of its own, never one planted under the name.
        fd = ::open(
            temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        return (errno == EACCES || errno == EPERM) && writeInPlace(path, content);
    bool ok = (!exists || ::fchmod(fd, old.st_mode & 07777) == 0) && writeAll(fd, content)
        && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    // A rename replaces a link under the name, never what it points to.
    if (ok && ::rename(temporary.constData(), path.constData()) == 0)
        return true;
    ::unlink(temporary.constData());
    return false;
}

bool OwnFile::read(const QString &name, qint64 limit, QByteArray *content)
{
    content->clear();
    const int fd = ::open(QFile::encodeName(name).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP)
            tellOnce(QStringLiteral("Not reading %1: it is a symbolic link").arg(name));
        return false;
    }
    struct stat status;
    if (::fstat(fd, &status) != 0 || status.st_uid != ::geteuid()) {
        ::close(fd);
        tellOnce(QStringLiteral("Not reading %1: it belongs to another account").arg(name));
        return false;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFile::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    *content = file.read(limit);
    return true;
}
