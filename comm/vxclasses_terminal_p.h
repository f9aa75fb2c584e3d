#pragma once
// The hook on a terminal edit control: an event filter that hands the
// control's events to the I/O component first.
#include "Mailbox.h"

#include <QObject>

class TvxBaseIO;

class TvxTerminalHook final : public QObject {
public:
    explicit TvxTerminalHook(TvxBaseIO* io) : io_(io), mail_(new TMailbox(this)) {}
    // Output for the terminal from other threads, shown on the hook's thread.
    TMailbox& Mail() { return *mail_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    TvxBaseIO* io_;
    TMailbox* mail_;
};
