#include "WindowFixture.h"

#include "vxcomm.h"

#include <QFontInfo>
#include <QStyleOptionSlider>

namespace {

struct Control {
    const char* name;
    const char* kind;
    const char* caption;
    QRect bounds;
    const char* parent;
};

QString CaptionOf(const QWidget* w)
{
    if (auto* label = qobject_cast<const QLabel*>(w))
        return label->text();
    if (auto* button = qobject_cast<const QAbstractButton*>(w))
        return button->text();
    if (auto* edit = qobject_cast<const QLineEdit*>(w))
        return edit->text();
    if (auto* group = qobject_cast<const QGroupBox*>(w))
        return group->title();
    if (auto* box = qobject_cast<const QComboBox*>(w))
        return box->currentText();
    return {};
}

const QString kDashes(23, '-');

// The thumb's size across a horizontal track, as the slider's style lays it out.
int ThumbAcross(const QSlider* slider)
{
    QStyleOptionSlider option;
    option.initFrom(slider);
    option.orientation = slider->orientation();
    option.minimum = slider->minimum();
    option.maximum = slider->maximum();
    option.sliderPosition = option.sliderValue = slider->value();
    option.tickPosition = slider->tickPosition();
    option.tickInterval = slider->tickInterval();
    return slider->style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, slider).height();
}

} // namespace

TEST_F(WindowTest, EveryControlHasItsNameKindCaptionAndBounds)
{
    const Control controls[] = {
        {"vxDeviceBox1", "TvxDeviceBox", "COM1", {8, 8, 145, 21}, "Form1"},
        {"Bevel1", "QFrame", "", {8, 40, 913, 9}, "Form1"},
        {"Label1", "QLabel", "side code (1..255)", {496, 64, 104, 13}, "Form1"},
        {"Label2", "QLabel", "ID (1..65535)", {672, 64, 76, 13}, "Form1"},
        {"Image1", "QLabel", "", {472, 80, 353, 49}, "Form1"},
        {"Label7", "QLabel", "P1", {464, 136, 25, 24}, "Form1"},
        {"Label8", "QLabel", "P2", {464, 168, 25, 24}, "Form1"},
        {"Label9", "QLabel", "P3", {464, 200, 25, 24}, "Form1"},
        {"Edit1", "QLineEdit", "1", {504, 136, 73, 21}, "Form1"},
        {"Edit2", "QLineEdit", "1", {504, 168, 73, 21}, "Form1"},
        {"Edit3", "QLineEdit", "1", {504, 200, 73, 21}, "Form1"},
        {"Edit4", "QLineEdit", "1", {640, 136, 121, 21}, "Form1"},
        {"Edit5", "QLineEdit", "1", {640, 168, 121, 21}, "Form1"},
        {"Edit6", "QLineEdit", "1", {640, 200, 121, 21}, "Form1"},
        {"Label13", "QLabel", "-----------------------", {768, 136, 69, 13}, "Form1"},
        {"Label14", "QLabel", "-----------------------", {768, 168, 69, 13}, "Form1"},
        {"Label15", "QLabel", "-----------------------", {768, 200, 69, 13}, "Form1"},
        {"Label3", "QLabel", "0000000000", {848, 136, 60, 13}, "Form1"},
        {"Label4", "QLabel", "0000000000", {848, 168, 60, 13}, "Form1"},
        {"Label5", "QLabel", "0000000000", {848, 200, 60, 13}, "Form1"},
        {"GroupBox1", "QGroupBox", "options ", {640, 240, 225, 161}, "Form1"},
        {"CheckBox1", "QCheckBox", "The same code for 3 buttons ", {24, 32, 193, 17}, "GroupBox1"},
        {"CheckBox2", "QCheckBox", "Increment ID", {24, 56, 177, 17}, "GroupBox1"},
        {"Label12", "QLabel", "Relay time (s)", {24, 88, 63, 13}, "GroupBox1"},
        {"TrackBar1", "QSlider", "", {16, 104, 185, 33}, "GroupBox1"},
        {"Label10", "QLabel", "1", {24, 136, 6, 13}, "GroupBox1"},
        {"Label11", "QLabel", "8", {184, 136, 6, 13}, "GroupBox1"},
        {"Panel1", "QFrame", "", {8, 72, 425, 313}, "Form1"},
        {"Image2", "QLabel", "", {2, 2, 421, 309}, "Panel1"},
        {"ProgressBar1", "QProgressBar", "", {8, 400, 425, 9}, "Form1"},
        {"BitBtn1", "QPushButton", "Write ", {464, 328, 137, 41}, "Form1"},
        {"BitBtn2", "QPushButton", "Read", {464, 272, 137, 41}, "Form1"},
    };
    EXPECT_EQ(form->objectName(), "Form1");
    EXPECT_EQ(form->windowTitle(), "IR programmer");
    EXPECT_EQ(form->size(), QSize(946, 442));
    EXPECT_EQ(form->pos(), QPoint(230, 289));
    for (const Control& c : controls) {
        SCOPED_TRACE(c.name);
        auto* w = form->findChild<QWidget*>(c.name);
        ASSERT_NE(w, nullptr);
        EXPECT_STREQ(w->metaObject()->className(), c.kind);
        EXPECT_EQ(CaptionOf(w), QString(c.caption));
        EXPECT_EQ(w->geometry(), c.bounds);
        ASSERT_NE(w->parentWidget(), nullptr);
        EXPECT_EQ(w->parentWidget()->objectName(), c.parent);
    }
}

TEST_F(WindowTest, InitialStateOfTheFieldsAndOptions)
{
    EXPECT_TRUE(form->Edit1->isEnabled());
    EXPECT_TRUE(form->Edit4->isEnabled());
    for (QLineEdit* field : {form->Edit2, form->Edit3, form->Edit5, form->Edit6})
        EXPECT_FALSE(field->isEnabled()) << field->objectName().toStdString();
    EXPECT_TRUE(form->CheckBox1->isChecked());
    EXPECT_FALSE(form->CheckBox2->isChecked());
    EXPECT_EQ(form->TrackBar1->minimum(), 0);
    EXPECT_EQ(form->TrackBar1->maximum(), 7);
    EXPECT_EQ(form->TrackBar1->value(), 1);
    EXPECT_EQ(form->TrackBar1->orientation(), Qt::Horizontal);
    EXPECT_EQ(form->TrackBar1->tickPosition(), QSlider::TicksBelow);
    EXPECT_EQ(form->TrackBar1->tickInterval(), 1);
    EXPECT_EQ(form->ProgressBar1->minimum(), 0);
    EXPECT_EQ(form->ProgressBar1->maximum(), 24);
    EXPECT_EQ(form->ProgressBar1->value(), 0);
    EXPECT_FALSE(form->vxDeviceBox1->isEditable());
}

TEST_F(WindowTest, SerialComponentHasTheLayoutsSettings)
{
    const TvxComm* rs = form->RS;
    EXPECT_FALSE(rs->Active());
    EXPECT_EQ(rs->BaudRate(), 9600u);
    EXPECT_EQ(rs->Parity(), vxcomm::pNone);
    EXPECT_EQ(rs->StopBits(), vxcomm::sbOne);
    EXPECT_EQ(rs->ByteSize(), 8);
    EXPECT_EQ(rs->ComPortNo(), 1);
    EXPECT_EQ(rs->ComPort(), vxcomm::cpCOM1);
    EXPECT_EQ(rs->TraceStateBits(), 0);
    EXPECT_EQ(rs->GetEventChar(), 0);
    EXPECT_EQ(rs->StreamProtocol(), vxcomm::spNone);
    EXPECT_EQ(rs->BufferInSize(), 8192);
    EXPECT_EQ(rs->BufferOutSize(), 8192);
    EXPECT_EQ(form->RS->TimeoutRead(), 0u);
    EXPECT_EQ(form->RS->TimeoutWrite(), 100u);
    EXPECT_FALSE(rs->RS485Mode());
    EXPECT_EQ(rs->EnumPorts(), vxcomm::epQuickAll);
    EXPECT_TRUE(rs->UseMainThread());
    EXPECT_EQ(rs->TerminalUsage(), vxclasses::tuBoth);
    EXPECT_TRUE(rs->TerminalEcho());
}

// The ID fields' colour comes from the desktop's palette, and the thumb
// length holds whatever the style.
TEST_F(WindowTest, IdColourAndThumbLengthFollowTheDesktop)
{
    EXPECT_EQ(ThumbAcross(form->TrackBar1), 15);
    const QString style = QApplication::style()->name();
    const QPalette desktop = QApplication::palette();
    // A style whose inactive highlight is the active one still sets the IDs apart.
    if (desktop.color(QPalette::Inactive, QPalette::Highlight) == desktop.color(QPalette::Active, QPalette::Highlight)) {
        EXPECT_NE(form->Edit4->palette().color(QPalette::Base), desktop.color(QPalette::Highlight));
    }
    QPalette marked = desktop;
    const QColor inactiveCaption(0x12, 0x34, 0x56);
    marked.setColor(QPalette::Inactive, QPalette::Highlight, inactiveCaption);
    QApplication::setStyle("windows");
    QApplication::setPalette(marked);
    {
        TForm1 other;
        other.ensurePolished();
        for (QLineEdit* id : {other.Edit4, other.Edit5, other.Edit6})
            EXPECT_EQ(id->palette().color(QPalette::Base), inactiveCaption) << id->objectName().toStdString();
        EXPECT_EQ(ThumbAcross(other.TrackBar1), 15);
    }
    QApplication::setStyle(style);
    QApplication::setPalette(desktop);
}

TEST_F(WindowTest, TabOrderRunsThroughTheFieldsOptionsAndButtons)
{
    const QStringList expected = {"vxDeviceBox1", "Edit1", "Edit2", "Edit3", "Edit4", "Edit5", "Edit6",
                                  "CheckBox1", "CheckBox2", "TrackBar1", "BitBtn1", "BitBtn2"};
    QStringList order;
    QWidget* w = form->vxDeviceBox1;
    do {
        if (expected.contains(w->objectName()) && !order.contains(w->objectName()))
            order << w->objectName();
        w = w->nextInFocusChain();
    } while (w != form->vxDeviceBox1);
    EXPECT_EQ(order, expected);
    for (QWidget* focusable : {static_cast<QWidget*>(form->GroupBox1), static_cast<QWidget*>(form->Panel1),
                               static_cast<QWidget*>(form->ProgressBar1)})
        EXPECT_EQ(focusable->focusPolicy(), Qt::NoFocus);
}

TEST_F(WindowTest, FontsAreTheSansAtEightPointWithTheBoldAndLargeCaptions)
{
    EXPECT_EQ(QFontInfo(form->font()).family(), "Liberation Sans");
    EXPECT_EQ(form->font().pointSize(), 8);
    for (QWidget* bold : {static_cast<QWidget*>(form->Label1), static_cast<QWidget*>(form->Label2),
                          static_cast<QWidget*>(form->BitBtn1), static_cast<QWidget*>(form->BitBtn2)})
        EXPECT_TRUE(bold->font().bold()) << bold->objectName().toStdString();
    for (QLabel* row : {form->Label7, form->Label8, form->Label9}) {
        EXPECT_TRUE(row->font().bold());
        EXPECT_EQ(row->font().pointSize(), 14);
    }
    for (QLineEdit* field : {form->Edit1, form->Edit2, form->Edit3, form->Edit4, form->Edit5, form->Edit6}) {
        EXPECT_TRUE(field->font().bold());
        EXPECT_EQ(field->font().pointSize(), 9);
    }
    EXPECT_EQ(form->Edit1->palette().color(QPalette::Text), QColor(Qt::white));
    EXPECT_EQ(form->Edit1->palette().color(QPalette::Base), form->palette().color(QPalette::Highlight));
    EXPECT_EQ(form->Label7->palette().color(QPalette::WindowText), form->palette().color(QPalette::Highlight));
}

TEST_F(WindowTest, EveryCaptionFitsItsBounds)
{
    for (QWidget* w : form->findChildren<QWidget*>()) {
        SCOPED_TRACE(w->objectName().toStdString());
        if (auto* label = qobject_cast<QLabel*>(w); label && !label->text().isEmpty()) {
            EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width());
            EXPECT_LE(label->fontMetrics().height(), label->height());
        } else if (qobject_cast<QCheckBox*>(w) || qobject_cast<QPushButton*>(w)) {
            EXPECT_LE(w->sizeHint().width(), w->width());
            EXPECT_LE(w->fontMetrics().height(), w->height());
        }
    }
    EXPECT_LE(form->GroupBox1->fontMetrics().horizontalAdvance(form->GroupBox1->title()), form->GroupBox1->width());
}

TEST_F(WindowTest, CodeLabelsGrowForWideCodes)
{
    TypeOver(form->Edit1, "255");
    TypeOver(form->Edit4, "65535");
    QTest::keyClick(form->TrackBar1, Qt::Key_End);
    for (QLabel* code : {form->Label3, form->Label4, form->Label5}) {
        EXPECT_LE(code->fontMetrics().horizontalAdvance(code->text()), code->width()) << code->text().toStdString();
        EXPECT_EQ(code->x(), 848);
    }
}

TEST_F(WindowTest, PicturesAndGlyphsAreLoadedWithTheirSizes)
{
    EXPECT_EQ(form->Image1->pixmap().size(), QSize(360, 53));
    EXPECT_EQ(form->Image2->pixmap().size(), QSize(422, 313));
    for (QPushButton* button : {form->BitBtn1, form->BitBtn2}) {
        SCOPED_TRACE(button->text().toStdString());
        EXPECT_EQ(button->iconSize(), QSize(24, 24));
        const QImage glyph = button->icon().pixmap(24, 24).toImage();
        ASSERT_EQ(glyph.size(), QSize(24, 24));
        EXPECT_EQ(qAlpha(glyph.pixel(0, 0)), 0) << "magenta corner shows through";
        EXPECT_EQ(qAlpha(glyph.pixel(12, 2)), 255);
        int magentaShown = 0;
        for (int y = 0; y < 24; ++y)
            for (int x = 0; x < 24; ++x)
                magentaShown += qAlpha(glyph.pixel(x, y)) != 0 && (glyph.pixel(x, y) & 0xFFFFFF) == 0xFF00FF;
        EXPECT_EQ(magentaShown, 0);
    }
    // Arrow on orange, tick on green: the disc colour just inside its edge.
    const QColor write = form->BitBtn1->icon().pixmap(24, 24).toImage().pixelColor(12, 2);
    const QColor read = form->BitBtn2->icon().pixmap(24, 24).toImage().pixelColor(12, 2);
    EXPECT_GT(write.red(), 200);
    EXPECT_LT(write.blue(), 60);
    EXPECT_GT(read.green(), read.red() + 60);
}
