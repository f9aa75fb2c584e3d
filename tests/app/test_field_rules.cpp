#include "WindowFixture.h"

#include "TransmitterCode.h"

#include <QClipboard>

using Messages = std::vector<std::string>;

TEST_F(WindowTest, NoRuleRunsWhileTheWindowIsCreated)
{
    EXPECT_EQ(Codes(), QStringList({"0000000000", "0000000000", "0000000000"}));
    EXPECT_TRUE(form->DeviceImage.empty());
    EXPECT_TRUE(messages.empty());
}

TEST_F(WindowTest, AllFieldsOneAndRelayOneGiveTheThreeCodesAndTheImage)
{
    form->RebuildCodes();
    EXPECT_EQ(Codes(), QStringList({"8080008181", "808000A1A1", "8080009191"}));
    EXPECT_EQ(form->DeviceImage, "8080008181000000808000A1A10000008080009191000000");
    EXPECT_EQ(form->DeviceImage.size(), 48u);
}

TEST_F(WindowTest, ValuesAboveTheRangeAreClampedToItsTop)
{
    TypeOver(form->Edit1, "300");
    EXPECT_EQ(form->Edit1->text(), "255");
    TypeOver(form->Edit4, "70000");
    EXPECT_EQ(form->Edit4->text(), "65535");
    EXPECT_EQ(form->Label3->text(), "7FFFFFC1BE");
    EXPECT_TRUE(messages.empty());
}

TEST_F(WindowTest, EmptyZeroAndNegativeBecomeOne)
{
    TypeOver(form->Edit4, "5");
    Backspace(form->Edit4);
    EXPECT_EQ(form->Edit4->text(), "1");
    TypeOver(form->Edit1, "0");
    EXPECT_EQ(form->Edit1->text(), "1");
    TypeOver(form->Edit1, "3");
    QTest::keyClick(form->Edit1, Qt::Key_Home);
    QTest::keyClicks(form->Edit1, "-");
    EXPECT_EQ(form->Edit1->text(), "1");
    EXPECT_EQ(form->Edit2->text(), "1");
    EXPECT_EQ(form->Label3->text(), "8080008181");
    EXPECT_TRUE(messages.empty());
}

TEST_F(WindowTest, LeadingZerosStayAndCodeLikeTheNumber)
{
    TypeOver(form->Edit1, "7");
    const QStringList seven = Codes();
    // A leading "0" typed first would become "1": the zeros go in front.
    QTest::keyClick(form->Edit1, Qt::Key_Home);
    QTest::keyClicks(form->Edit1, "00");
    EXPECT_EQ(form->Edit1->text(), "007");
    EXPECT_EQ(form->Edit2->text(), "007");
    EXPECT_EQ(Codes(), seven);
}

TEST_F(WindowTest, SameCodeModeCopiesP1IntoP2AndP3)
{
    TypeOver(form->Edit1, "42");
    TypeOver(form->Edit4, "1234");
    for (QLineEdit* side : {form->Edit2, form->Edit3})
        EXPECT_EQ(side->text(), "42");
    for (QLineEdit* id : {form->Edit5, form->Edit6})
        EXPECT_EQ(id->text(), "1234");
    const QStringList codes = Codes();
    EXPECT_EQ(codes[0].left(6), codes[1].left(6));
    EXPECT_EQ(codes[0].left(6), codes[2].left(6));
    EXPECT_NE(codes[0], codes[1]);
}

TEST_F(WindowTest, UncheckingEnablesTheRowsAndTypingChangesOneRowOnly)
{
    form->RebuildCodes();
    QTest::keyClick(form->CheckBox1, Qt::Key_Space);
    ASSERT_FALSE(form->CheckBox1->isChecked());
    for (QLineEdit* field : {form->Edit2, form->Edit3, form->Edit5, form->Edit6})
        EXPECT_TRUE(field->isEnabled());
    const QStringList before = Codes();

    TypeOver(form->Edit5, "999");
    EXPECT_EQ(form->Edit4->text(), "1");
    EXPECT_EQ(form->Edit6->text(), "1");
    const QStringList after = Codes();
    EXPECT_EQ(after[0], before[0]);
    EXPECT_NE(after[1], before[1]);
    EXPECT_EQ(after[2], before[2]);
    EXPECT_EQ(DecodeID(after[1].left(8).toStdString()), "999");

    TypeOver(form->Edit1, "9");
    EXPECT_EQ(form->Edit2->text(), "1");
    EXPECT_EQ(form->Edit3->text(), "1");
}

TEST_F(WindowTest, CheckingAgainCopiesP1BackAndDisablesTheRows)
{
    QTest::keyClick(form->CheckBox1, Qt::Key_Space);
    TypeOver(form->Edit1, "17");
    TypeOver(form->Edit3, "200");
    TypeOver(form->Edit6, "5000");
    QTest::keyClick(form->CheckBox1, Qt::Key_Space);
    ASSERT_TRUE(form->CheckBox1->isChecked());
    EXPECT_EQ(form->Edit2->text(), "17");
    EXPECT_EQ(form->Edit3->text(), "17");
    EXPECT_EQ(form->Edit6->text(), "1");
    for (QLineEdit* field : {form->Edit2, form->Edit3, form->Edit5, form->Edit6})
        EXPECT_FALSE(field->isEnabled());
    EXPECT_EQ(form->Label5->text(), QString::fromStdString(MakeButtonCode("17", "1", 3, 1)));
}

TEST_F(WindowTest, TrackBarChangesTheEighthDigitOfAllCodes)
{
    form->TrackBar1->setFocus();
    QTest::keyClick(form->TrackBar1, Qt::Key_End);
    ASSERT_EQ(form->TrackBar1->value(), 7);
    for (const QString& code : Codes())
        EXPECT_EQ(code.at(7), QChar('7')) << code.toStdString();
    QTest::keyClick(form->TrackBar1, Qt::Key_Home);
    for (const QString& code : Codes())
        EXPECT_EQ(code.at(7), QChar('0')) << code.toStdString();
    EXPECT_EQ(form->DeviceImage.substr(7, 1), "0");
    EXPECT_EQ(form->DeviceImage.substr(16 + 7, 1), "0");
}

TEST_F(WindowTest, LettersShowTheConversionErrorOncePerKeystrokeAndLoseNothing)
{
    TypeOver(form->Edit1, "1");
    const QStringList codes = Codes();
    const std::string image = form->DeviceImage;

    TypeAtEnd(form->Edit1, "a");
    EXPECT_EQ(messages, Messages({"'1a' is not a valid integer value"}));
    EXPECT_EQ(form->Edit1->text(), "1a");
    EXPECT_EQ(form->Edit2->text(), "1");
    EXPECT_EQ(Codes(), codes);
    EXPECT_EQ(form->DeviceImage, image);

    TypeAtEnd(form->Edit1, "b");
    EXPECT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages.back(), "'1ab' is not a valid integer value");

    // Every rebuild stops at the same field until it is corrected.
    TypeOver(form->Edit4, "9");
    EXPECT_EQ(messages.size(), 3u);
    EXPECT_EQ(form->Edit5->text(), "9");
    EXPECT_EQ(Codes(), codes);

    Backspace(form->Edit1);
    EXPECT_EQ(messages.size(), 4u);
    Backspace(form->Edit1);
    EXPECT_EQ(form->Edit1->text(), "1");
    EXPECT_EQ(messages.size(), 4u);
    EXPECT_EQ(form->Label3->text(), QString::fromStdString(MakeButtonCode("1", "9", 1, 1)));
}

// A value copied from a list or a spreadsheet cell comes with its line break;
// a one-line field takes the first line only.
TEST_F(WindowTest, PastedTextKeepsOnlyItsFirstLine)
{
    const auto paste = [](QLineEdit* field, const QString& text) {
        field->setFocus();
        QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
        QApplication::clipboard()->setText(text);
        QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
    };
    paste(form->Edit4, "4660\n");
    EXPECT_EQ(form->Edit4->text(), "4660");
    EXPECT_EQ(form->Edit6->text(), "4660");
    paste(form->Edit1, "17\r\n18\r\n");
    EXPECT_EQ(form->Edit1->text(), "17");
    EXPECT_EQ(form->Label3->text(), QString::fromStdString(MakeButtonCode("17", "4660", 1, 1)));
    // Pasted into the middle, the line break ends the insertion, not the text.
    QTest::keyClick(form->Edit1, Qt::Key_Home);
    QApplication::clipboard()->setText("2\n9");
    QTest::keyClick(form->Edit1, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(form->Edit1->text(), "217");
    EXPECT_TRUE(messages.empty()) << messages.front();
}

TEST_F(WindowTest, ErrorInANestedRuleEndsTheWholeChainWithOneMessage)
{
    QTest::keyClick(form->CheckBox1, Qt::Key_Space);
    TypeOver(form->Edit3, "77");
    TypeOver(form->Edit1, "x");
    ASSERT_EQ(messages.size(), 1u);

    // Checking copies "x" into Edit2, whose rule fails: the copies after it do not happen.
    QTest::keyClick(form->CheckBox1, Qt::Key_Space);
    EXPECT_EQ(messages, Messages({"'x' is not a valid integer value", "'x' is not a valid integer value"}));
    EXPECT_EQ(form->Edit2->text(), "x");
    EXPECT_EQ(form->Edit3->text(), "77");
    EXPECT_FALSE(form->Edit3->isEnabled());
}

TEST_F(WindowTest, SettingTheSameTextRunsNoRule)
{
    form->Edit1->setText("1");
    EXPECT_TRUE(form->DeviceImage.empty());
    form->Edit1->setText("2");
    EXPECT_FALSE(form->DeviceImage.empty());
}
