#ifndef STANDINS_H
#define STANDINS_H

// The desktop services a ringing alarm asks (logind, the session manager,
// the notification server), as stand-ins on a private bus (standins.py),
// and the bus itself.

#include "testsupport.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

// A private bus: dbus-daemon with an address of its own.
class PrivateBus {
public:
    bool start()
    {
        daemon.start(QStringLiteral("dbus-daemon"),
            { "--session", "--nofork", "--nopidfile", "--print-address=1" });
        if (!daemon.waitForStarted() || !daemon.waitForReadyRead(5000))
            return false;
        address = QString::fromLatin1(daemon.readLine().trimmed());
        return !address.isEmpty();
    }
    // Called from cleanupTestCase(): the test programs end without running
    // destructors, which would leave the bus, and the accessibility bus its
    // clients started on it, running after the test.
    void stop()
    {
        daemon.kill();
        daemon.waitForFinished();
    }
    ~PrivateBus() { stop(); }
    QProcess daemon;
    QString address;
};

// The stand-in services, and what they were asked.
class StandIns {
public:
    StandIns(const QString &address, const QString &services, int firstId = 1)
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral("/usr/bin/python3"),
            { QStringLiteral(ALARMCLOCK_SOURCE_DIR "/tests/standins.py"), address, services,
                QString::number(firstId) });
    }
    ~StandIns()
    {
        process.closeWriteChannel();
        if (!process.waitForFinished(2000))
            process.kill();
    }
    bool ready()
    {
        return waitFor([](const QJsonObject &r) { return r.value("event") == "ready"; });
    }
    // Waits for a record the test is looking for; true when it came.
    template <typename Match> bool waitFor(Match match, int ms = 5000)
    {
        QElapsedTimer waited;
        waited.start();
        do {
            read();
            for (const QJsonObject &record : records)
                if (match(record))
                    return true;
            QTest::qWait(10);
        } while (waited.elapsed() < ms);
        return false;
    }
    QJsonObject call(const QString &name)
    {
        read();
        for (const QJsonObject &record : records)
            if (record.value("call").toString() == name)
                return record;
        return QJsonObject();
    }
    bool called(const QString &name, int ms = 5000)
    {
        return waitFor([name](const QJsonObject &r) { return r.value("call") == name; }, ms);
    }
    void read()
    {
        while (process.canReadLine())
            records.append(QJsonDocument::fromJson(process.readLine()).object());
    }
    QProcess process;
    QList<QJsonObject> records;
};

#endif // STANDINS_H
