#include "ownfile.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>

#include <fcntl.h>
#include <unistd.h>

bool OwnFile::write(const QString &name, const QByteArray &content)
{
    if (QFileInfo(name).isSymLink()) {
        static QSet<QString> told;
        if (!told.contains(name)) {
            told.insert(name);
            qWarning("%s",
                qPrintable(QStringLiteral("Not writing %1: it is a symbolic link, which this "
                                          "program does not write through")
                               .arg(name)));
        }
        return false;
    }
    QSaveFile file(name);
    file.setDirectWriteFallback(true);
    if (file.open(QIODevice::WriteOnly))
        return file.write(content) == content.size() && file.commit();
    // QSaveFile writes in place only where creating was refused for want of
    // permission; an immutable directory refuses it as not permitted. A link
    // that appeared since the check above is not followed.
    const int fd = ::open(QFile::encodeName(name).constData(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    QFile inPlace;
    if (!QFileInfo(name).isFile()
        || !inPlace.open(fd, QIODevice::WriteOnly, QFile::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return inPlace.resize(0) && inPlace.write(content) == content.size() && inPlace.flush();
}
