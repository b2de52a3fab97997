#ifndef WAKETIMER_H
#define WAKETIMER_H

#include <QElapsedTimer>
#include <QObject>
#include <QProcess>
#include <QString>

class QSocketNotifier;
class QTimer;

// A timer that wakes the phone from suspend at a moment of the wall clock.
// It lives in a small helper program that holds the permission to wake the
// phone; where that helper is missing or lacks the permission, a plain
// timer of the wall clock stands in, and the log says once that the phone
// will not be woken for the alarm, and why. The helper is started and
// ended without waiting for it.
class WakeTimer : public QObject {
    Q_OBJECT

public:
    explicit WakeTimer(QObject *parent = nullptr);
    ~WakeTimer() override;

    // Fires at this moment, in seconds since the epoch; a new moment
    // replaces the old one.
    void arm(qint64 seconds);
    // Fires at no moment, and lets go of the helper.
    void disarm();
    qint64 moment() const { return armedAt; }
    // The helper's process id while it runs, else 0.
    qint64 helperProcessId() const;
    // Whether the armed moment wakes the phone from suspend: true until the
    // helper, or the program's own timer standing in for it, says otherwise.
    bool canWake() const { return wakes; }

signals:
    void fired(qint64 moment);
    // The wall clock was set: the moment may mean another time now.
    void clockChanged();
    void canWakeChanged(bool canWake);

private slots:
    void readHelper();
    void readOwnTimer();
    void helperFinished(int exitCode, QProcess::ExitStatus status);
    void helperFailed(QProcess::ProcessError error);

private:
    bool startHelper();
    void startOwnTimer();
    void explain(const QString &why);
    void fire();
    void endHelper();
    void restartHelper();
    int takeRestartDelay();
    void stopOwnTimer();
    void setCanWake(bool can);

    QProcess *helper;
    QTimer *helperIdle;
    int ownTimer;
    QSocketNotifier *ownTimerNotifier;
    qint64 armedAt;
    bool notPermitted;
    bool wakes;
    // Why the phone cannot be woken, once known; empty where it can.
    QString reason;
    QString told;
    // A helper that dies while an alarm is armed is started again: at once
    // when it had run for a while, else ever later, up to a minute; the
    // program's own timer stands in meanwhile.
    QElapsedTimer restarted;
    QTimer *helperRestart;
    int restartDelayMs;
    static const int restartWindowMs = 60000;
    // How long a helper whose input was closed has to end.
    static const int endGraceMs = 1000;
    static const int longestRestartDelayMs = 60000;

    friend class TestWake;
};

#endif // WAKETIMER_H
