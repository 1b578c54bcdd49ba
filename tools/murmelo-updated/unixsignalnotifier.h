#pragma once

#include <QList>
#include <QObject>

class QSocketNotifier;

// Delivers Unix signals as a Qt signal on the event loop.
//
// A signal handler may only do async-signal-safe work, so it just writes the signal number into a
// socket pair; a QSocketNotifier reads it back in the main thread (the self-pipe pattern). There can
// be one instance at a time; destroying it restores the default handling of its signals.
class UnixSignalNotifier : public QObject
{
    Q_OBJECT

public:
    explicit UnixSignalNotifier(QObject *parent = nullptr);
    ~UnixSignalNotifier() override;

    // Routes `signalNumber` to received(); false (with errno set) when it could not be arranged.
    bool watch(int signalNumber);

signals:
    void received(int signalNumber);

private:
    void onReadable();

    QSocketNotifier *notifier = nullptr;
    QList<int> watched;
};
