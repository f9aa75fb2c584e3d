#include "Unit1.h"

#include "DeviceProtocol.h"
#include "FieldAssign.h"
#include "SysUtils.h"
#include "TransmitterCode.h"
#include "Unit1DeviceBox.h"

#include <QBitmap>
#include <QPixmap>
#include <QProxyStyle>
#include <QRegularExpression>
#include <QValidator>

#include <algorithm>

namespace {

constexpr int kMaxSideCode = 255;
constexpr int kMaxId = 65535;
constexpr const char* kEmptyCode = "0000000000";
constexpr int kThumbLength = 15;

// Button glyphs are drawn on magenta, which the button shows as transparent.
QIcon TransparentGlyph(const QString& resource)
{
    QPixmap glyph(resource);
    glyph.setMask(glyph.createMaskFromColor(Qt::magenta, Qt::MaskInColor));
    return QIcon(glyph);
}

// A track bar's thumb length: the size of the thumb across the track, which
// styles take from one of two metrics.
class ThumbLengthStyle : public QProxyStyle {
public:
    ThumbLengthStyle(const QString& base, int length) : QProxyStyle(base), length_(length) {}

    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override
    {
        if (metric == PM_SliderThickness || metric == PM_SliderControlThickness)
            return length_;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }

private:
    int length_;
};

// A one-line field takes pasted or dropped text up to its first line break: a
// value copied from a list or a spreadsheet cell comes with one, which would
// make the field unreadable as a number while staying invisible in it. The
// insertion ends at the cursor, so the break up to the cursor is its rest.
class FirstLineValidator : public QValidator {
public:
    using QValidator::QValidator;

    State validate(QString& input, int& pos) const override
    {
        static const QRegularExpression lineBreak(QStringLiteral("[\\r\\n]"));
        const int at = int(input.indexOf(lineBreak));
        if (at < 0)
            return Acceptable;
        input.remove(at, std::max(pos - at, 0));
        input.remove(lineBreak);
        pos = std::min<int>(at, int(input.size()));
        return Acceptable;
    }
};

} // namespace

TForm1::TForm1(QWidget* parent) : QWidget(parent)
{
    setupUi(this);
    move(230, 289);
    LoadGlyphs();
    ColourIdFields();
    auto* thumb = new ThumbLengthStyle(style()->name(), kThumbLength);
    thumb->setParent(TrackBar1); // the slider does not own its style
    TrackBar1->setStyle(thumb);
    CreateComponents();
    SetUpDeviceBox(vxDeviceBox1, RS);
    // Bound only now, so that no rule runs while the layout is applied.
    BindFieldRules();
    BindExchanges();
}

void TForm1::LoadGlyphs()
{
    BitBtn1->setIcon(TransparentGlyph(QStringLiteral(":/pictures/WriteGlyph.png")));
    BitBtn2->setIcon(TransparentGlyph(QStringLiteral(":/pictures/ReadGlyph.png")));
}

// The ID fields have the system's inactive-caption colour. Qt's nearest role
// is Highlight of the Inactive group: what the desktop paints a selection
// with, as the system paints a caption, while its window has no focus. A
// style that does not mute it (Fusion) would give the side-code fields'
// colour; it is then muted here, half-way to the window colour.
void TForm1::ColourIdFields()
{
    QColor inactiveCaption = palette().color(QPalette::Inactive, QPalette::Highlight);
    if (inactiveCaption == palette().color(QPalette::Active, QPalette::Highlight)) {
        const QColor window = palette().color(QPalette::Window);
        inactiveCaption.setRgb((inactiveCaption.red() + window.red()) / 2, (inactiveCaption.green() + window.green()) / 2,
                               (inactiveCaption.blue() + window.blue()) / 2);
    }
    const QString sheet =
        QStringLiteral("QLineEdit { background-color: %1; color: black; }\nQLineEdit:disabled { color: #404040; }");
    for (QLineEdit* field : {Edit4, Edit5, Edit6})
        field->setStyleSheet(sheet.arg(inactiveCaption.name()));
}

void TForm1::BindFieldRules()
{
    auto* firstLine = new FirstLineValidator(this);
    for (QLineEdit* field : {Edit1, Edit2, Edit3, Edit4, Edit5, Edit6})
        field->setValidator(firstLine);
    BindEvent(Edit1, &QLineEdit::textChanged, &TForm1::Edit1Change);
    BindEvent(Edit2, &QLineEdit::textChanged, &TForm1::Edit2Change);
    BindEvent(Edit3, &QLineEdit::textChanged, &TForm1::Edit3Change);
    BindEvent(Edit4, &QLineEdit::textChanged, &TForm1::Edit4Change);
    BindEvent(Edit5, &QLineEdit::textChanged, &TForm1::Edit5Change);
    BindEvent(Edit6, &QLineEdit::textChanged, &TForm1::Edit6Change);
    BindEvent(CheckBox1, &QCheckBox::toggled, &TForm1::CheckBox1Click);
    BindEvent(TrackBar1, &QSlider::valueChanged, &TForm1::TrackBar1Change);
}

void TForm1::ShowCode(QLabel* label, const std::string& code)
{
    label->setText(QString::fromStdString(code == "0" ? std::string(kEmptyCode) : code));
    // Like a self-sizing label: a wide code grows to the right instead of being cut.
    const int needed = label->sizeHint().width();
    if (needed > label->width())
        label->resize(needed, label->height());
}

void TForm1::RebuildCodes()
{
    const int relay = TrackBar1->value();
    ShowCode(Label3, MakeButtonCode(TextOf(Edit1), TextOf(Edit4), 1, relay));
    ShowCode(Label4, MakeButtonCode(TextOf(Edit2), TextOf(Edit5), 2, relay));
    ShowCode(Label5, MakeButtonCode(TextOf(Edit3), TextOf(Edit6), 3, relay));
    DeviceImage = MakeDeviceImage(TextOf(Label3), TextOf(Label4), TextOf(Label5));
}

// Each step reads the field again: the assignment before it has already run
// this same rule nested, and may have changed the text.
void TForm1::SideCodeOrIdChange(QLineEdit* field, int upper, QLineEdit* copyA, QLineEdit* copyB)
{
    if (field->text().isEmpty())
        AssignText(field, QStringLiteral("1"));
    else if (StrToInt(TextOf(field)) <= 0)
        AssignText(field, QStringLiteral("1"));
    if (StrToInt(TextOf(field)) > upper)
        AssignText(field, IntToStr(upper));
    if (copyA && CheckBox1->isChecked()) {
        AssignText(copyA, field->text());
        AssignText(copyB, field->text());
    }
    RebuildCodes();
}

void TForm1::Edit1Change() { SideCodeOrIdChange(Edit1, kMaxSideCode, Edit2, Edit3); }
void TForm1::Edit2Change() { SideCodeOrIdChange(Edit2, kMaxSideCode, nullptr, nullptr); }
void TForm1::Edit3Change() { SideCodeOrIdChange(Edit3, kMaxSideCode, nullptr, nullptr); }
void TForm1::Edit4Change() { SideCodeOrIdChange(Edit4, kMaxId, Edit5, Edit6); }
void TForm1::Edit5Change() { SideCodeOrIdChange(Edit5, kMaxId, nullptr, nullptr); }
void TForm1::Edit6Change() { SideCodeOrIdChange(Edit6, kMaxId, nullptr, nullptr); }

void TForm1::CheckBox1Click()
{
    const bool same = CheckBox1->isChecked();
    for (QLineEdit* field : {Edit2, Edit3, Edit5, Edit6})
        field->setEnabled(!same);
    if (!same)
        return;
    AssignText(Edit2, Edit1->text());
    AssignText(Edit3, Edit1->text());
    AssignText(Edit5, Edit4->text());
    AssignText(Edit6, Edit4->text());
}

void TForm1::TrackBar1Change()
{
    RebuildCodes();
}
