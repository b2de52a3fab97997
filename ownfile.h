#ifndef OWNFILE_H
#define OWNFILE_H

#include <QByteArray>
#include <QString>

// Writes the program's own files in its working directory, "alarm.conf"
// and "alarm.armed". That directory may be a shared one such as /tmp, where
// another account can plant a symbolic link under either name to send the
// write to any file of this user's; the program never makes such links, so
// it never writes through one. Such a file is left alone, the log says so
// once, and the program keeps the values in memory.
class OwnFile {
public:
    // Replaces the file's content whole: written beside it and renamed over
    // it, so an interrupted write leaves the previous file whole. Where the
    // directory lets no file be created but the file itself can be written,
    // it is written in place instead. False where it was not written.
    static bool write(const QString &name, const QByteArray &content);
};

#endif // OWNFILE_H
