#pragma once
// The hook on a terminal edit control: an event filter that hands the
// control's events to the I/O component first.
#include <QObject>

class TvxBaseIO;

class TvxTerminalHook final : public QObject {
public:
    explicit TvxTerminalHook(TvxBaseIO* io) : io_(io) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    TvxBaseIO* io_;
};
