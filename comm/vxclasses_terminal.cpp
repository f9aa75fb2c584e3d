// The terminal of an I/O component: keys typed into the edit control are sent
// to the medium, received bytes are shown in it.
#include "vxclasses_baseio.h"
#include "vxclasses_terminal_p.h"

#include "Exceptions.h"

#include <QCoreApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTextEdit>
#include <QThread>

namespace {

bool IsEditControl(QWidget* w)
{
    return qobject_cast<QLineEdit*>(w) || qobject_cast<QPlainTextEdit*>(w) || qobject_cast<QTextEdit*>(w);
}

// The characters a key press types, as the 8-bit code page has them; empty
// for keys that type nothing (arrows, function keys, Alt combinations).
std::string TypedBytes(const QKeyEvent* key)
{
    const Qt::KeyboardModifiers mods = key->modifiers();
    if ((mods & Qt::AltModifier) && !(mods & Qt::ControlModifier))
        return {};
    if (!key->text().isEmpty())
        return key->text().toLatin1().toStdString();
    switch (key->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return "\r";
    case Qt::Key_Backspace:
        return "\b";
    case Qt::Key_Tab:
        return "\t";
    case Qt::Key_Escape:
        return "\x1b";
    default:
        return {};
    }
}

// The key that types byte `b`, for a key event that stands for it.
int KeyOf(unsigned char b)
{
    switch (b) {
    case '\b':
        return Qt::Key_Backspace;
    case '\t':
        return Qt::Key_Tab;
    case '\r':
    case '\n':
        return Qt::Key_Return;
    case 0x1b:
        return Qt::Key_Escape;
    default:
        break;
    }
    if (b >= 'a' && b <= 'z')
        return b - 'a' + 'A';
    if (b >= 0x20 && b != 0x7f && b < 0x80)
        return b;
    if (b >= 0xa0)
        return b; // Latin-1 keys carry their character's code
    return Qt::Key_unknown;
}

void InsertAtCaret(QWidget* target, const QString& text)
{
    if (auto* line = qobject_cast<QLineEdit*>(target)) {
        line->insert(text);
        return;
    }
    // A multi-line control would make two line breaks of CR LF.
    QString block = text;
    block.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if (auto* plain = qobject_cast<QPlainTextEdit*>(target)) {
        QTextCursor cursor = plain->textCursor();
        cursor.insertText(block);
        plain->setTextCursor(cursor);
    } else if (auto* rich = qobject_cast<QTextEdit*>(target)) {
        QTextCursor cursor = rich->textCursor();
        cursor.insertText(block);
        rich->setTextCursor(cursor);
    }
}

} // namespace

bool TvxTerminalHook::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == io_->hookedTerminal_ && io_->TerminalWindowProc(event))
        return true;
    return QObject::eventFilter(watched, event);
}

// ---- Properties -----------------------------------------------------------------

void TvxBaseIO::SetTerminal(QWidget* Value)
{
    if (Value && !IsEditControl(Value))
        throw Exception("The terminal must be an edit control (QLineEdit, QPlainTextEdit or QTextEdit)");
    if (hookedTerminal_)
        hookedTerminal_->removeEventFilter(terminalHook_);
    hookedTerminal_ = Value;
    if (Value)
        Value->installEventFilter(terminalHook_);
    TerminalHandle = nullptr;
    terminal_.store(Value, std::memory_order_release);
    if (IsDesigning() && Value && terminalUsage_ == tuNone)
        terminalUsage_ = tuBoth;
    SetTerminalUsage(terminalUsage_);
    if (Value)
        FreeNotification(Value);
}

void TvxBaseIO::SetTerminalUsage(TTerminalUsage Value)
{
    terminalUsage_ = Value;
    QWidget* terminal = GetTerminal();
    if (!terminal)
        return;
    if (Value == tuReceive || Value == tuBoth)
        TerminalHandle = terminal;
    else
        TerminalHandle = nullptr;
}

// The control is being destroyed: forget it without touching it.
void TvxBaseIO::DropTerminal()
{
    hookedTerminal_ = nullptr;
    TerminalHandle = nullptr;
    terminal_.store(nullptr, std::memory_order_release);
}

// ---- Typing -------------------------------------------------------------------------

bool TvxBaseIO::TerminalWindowProc(QEvent* Event)
{
    if (InTerminalShow || (terminalUsage_ != tuSend && terminalUsage_ != tuBoth))
        return false;
    std::string typed;
    if (Event->type() == QEvent::KeyPress)
        typed = TypedBytes(static_cast<QKeyEvent*>(Event));
    else if (Event->type() == QEvent::InputMethod)
        typed = static_cast<QInputMethodEvent*>(Event)->commitString().toLatin1().toStdString();
    if (typed.empty())
        return false;
    for (char ch : typed)
        SendChar(ch);
    return !terminalEcho_;
}

// ---- Showing -------------------------------------------------------------------------

void TvxBaseIO::TerminalShow(const void* Buffer, int32_t Count)
{
    if (!Buffer || Count <= 0)
        return;
    std::string bytes(static_cast<const char*>(Buffer), size_t(Count));
    if (QThread::currentThread() == terminalHook_->thread()) {
        ShowInTerminal(bytes);
        return;
    }
    // Widgets belong to their thread. The bytes are shown there, in order;
    // nothing is shown once the component is gone.
    terminalHook_->Mail().Post([this, bytes = std::move(bytes)] { ShowInTerminal(bytes); });
}

void TvxBaseIO::ShowInTerminal(const std::string& Bytes)
{
    QWidget* target = TerminalHandle;
    if (!target)
        return;
    InTerminalShow = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{InTerminalShow};
    if (Bytes.size() == 1) {
        const auto b = static_cast<unsigned char>(Bytes[0]);
        QKeyEvent key(QEvent::KeyPress, KeyOf(b), Qt::NoModifier, QString(QChar(b)));
        QCoreApplication::sendEvent(target, &key);
        return;
    }
    size_t start = 0;
    while (start < Bytes.size()) {
        size_t end = Bytes.find('\0', start);
        if (end == std::string::npos)
            end = Bytes.size();
        if (end > start) {
            InsertAtCaret(target, QString::fromLatin1(Bytes.data() + start, qsizetype(end - start)));
            // The control may have gone while it handled the text.
            if (!TerminalHandle)
                return;
            target = TerminalHandle;
        }
        start = end + 1;
    }
}
