#pragma once

#include <QObject>

class QSocketNotifier;

// SIGTERM, SIGHUP and SIGINT (the desktop's session ending, kill, a closed terminal, Ctrl+C) as
// a request to close, from the event loop of the thread that made the object. The handler only
// writes the signal's number to a pipe; a signal that comes before the loop runs is delivered
// once it does. One object at a time; the handlers stay installed for its life.
class CCloseSignals : public QObject
{
    Q_OBJECT
public:
    explicit CCloseSignals(QObject* parent = nullptr);
    ~CCloseSignals() override;

signals:
    void CloseRequested(int signalNumber);

private:
    void Read();

    QSocketNotifier* m_pNotifier = nullptr;
};
