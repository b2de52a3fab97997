#ifndef OWNFILE_H
#define OWNFILE_H

#include <QByteArray>
#include <QString>

// Writes and reads the program's own files in its working directory,
// "alarm.conf", "alarm.armed" and "alarm.volume". That directory may be a
// shared one such as /tmp, where another account can plant a symbolic link
// under any of these names to send the write to any file of this user's, or
// a file of its own to be read as this user's; the program never makes such
// links, so it never writes through one, and it reads only its own files.
// Such a file is left alone, the log says so once, and the program keeps
// the values in memory.
class OwnFile {
public:
    // Replaces the file's content whole: written beside it and renamed over
    // it, so an interrupted write leaves the previous file whole. Where the
    // directory lets no file be created but the file itself can be written,
    // it is written in place instead. False where it was not written.
    static bool write(const QString &name, const QByteArray &content);
    // The step of write() that puts the content in place: a link found
    // under the name by then, planted since, is replaced, never followed.
    static bool replace(const QString &name, const QByteArray &content);
    // Reads at most `limit` bytes of the file into `content`. False where
    // there is no such file, or it is a link or another account's.
    static bool read(const QString &name, qint64 limit, QByteArray *content);
};

#endif // OWNFILE_H
