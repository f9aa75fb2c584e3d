// The write and read exchanges of the window, against a pseudo-terminal that
// the test reads and answers as the programmer device would.
#include "WindowFixture.h"

#include "Bleeper.h"
#include "SysUtils.h"
#include "TransmitterCode.h"
#include "vxcomm.h"

#include <QProgressBar>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using Tone = std::pair<unsigned, int>;

fs::path PortLink(unsigned number)
{
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const fs::path folder = fs::path(config ? config : "/tmp") / "vxcomm" / "ports";
    fs::create_directories(folder);
    return folder / ("com" + std::to_string(number));
}

// The programmer device as the test plays it: its port (COM1 unless told
// otherwise) is the slave of a pty.
class Device {
public:
    explicit Device(unsigned port = 1) : port_(port)
    {
        int slave = -1;
        char name[128];
        if (openpty(&master_, &slave, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty");
        // Keeping a slave open spares the master the hang-up between the
        // window's close and reopen.
        slave_ = slave;
        std::error_code ec;
        fs::remove(PortLink(port_), ec);
        fs::create_symlink(name, PortLink(port_));
    }
    ~Device()
    {
        HangUp();
        std::error_code ec;
        fs::remove(PortLink(port_), ec);
    }
    void HangUp()
    {
        if (slave_ >= 0)
            ::close(slave_);
        if (master_ >= 0)
            ::close(master_);
        slave_ = master_ = -1;
    }
    // Everything the window has sent so far; with atLeast, waits up to three
    // seconds (a busy machine) for that many bytes, without running the
    // window's event loop, so that no further tick can send meanwhile.
    std::string Take(size_t atLeast = 0)
    {
        using namespace std::chrono;
        std::string got;
        const auto end = steady_clock::now() + seconds(3);
        for (;;) {
            const auto left = duration_cast<milliseconds>(end - steady_clock::now()).count();
            const int wait = got.size() < atLeast ? int(std::max<long long>(left, 0)) : 0;
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, wait) <= 0 || !(p.revents & POLLIN))
                return got;
            char buf[512];
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0)
                return got;
            got.append(buf, size_t(n));
        }
    }
    void Send(const std::string& bytes) { (void)!::write(master_, bytes.data(), bytes.size()); }
    // The device stops reading: the line towards it is filled through the
    // test's own end until the kernel takes no more, also after a pause.
    void StopTaking()
    {
        ::fcntl(slave_, F_SETFL, ::fcntl(slave_, F_GETFL) | O_NONBLOCK);
        const std::string fill(4096, 'x');
        for (bool took = true; took;) {
            took = false;
            while (::write(slave_, fill.data(), fill.size()) > 0)
                took = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

private:
    unsigned port_;
    int master_ = -1;
    int slave_ = -1;
};

std::string ReplyFor(const std::string& image)
{
    return "#" + image + std::string(48, 'F') + "$";
}

class ExchangeTest : public WindowTest {
protected:
    void SetUp() override
    {
        previousSink = Bleeper::SetToneSink([this](unsigned f, int ms) { tones.emplace_back(f, ms); });
        WindowTest::SetUp();
        QObject::connect(form->ProgressBar1, &QProgressBar::valueChanged, [this](int v) { progress.push_back(v); });
    }
    void TearDown() override
    {
        WindowTest::TearDown();
        Bleeper::SetToneSink(previousSink);
    }
    void SetFields(const QString& side, const QString& id)
    {
        TypeOver(form->Edit1, side);
        TypeOver(form->Edit4, id);
    }
    bool WriteDone()
    {
        return Pump([&] { return form->WriteMode.empty() && !form->Timer1->isActive(); }, 5000);
    }

    std::vector<Tone> tones;
    std::vector<int> progress;
    Bleeper::ToneSink previousSink;
};

const char* const kWriteCommands[] = {"#10080", "#10180", "#10200", "#10381", "#10481", "#10500", "#10600", "#10700",
                                      "#10880", "#10980", "#10A00", "#10BA1", "#10CA1", "#10D00", "#10E00", "#10F00",
                                      "#11080", "#11180", "#11200", "#11391", "#11491", "#11500", "#11600", "#11700"};

} // namespace

TEST_F(ExchangeTest, WriteSendsTheTwentyFourCommandsOnePerTick)
{
    Device device;
    QTest::mouseClick(form->BitBtn1, Qt::LeftButton);
    EXPECT_EQ(tones, (std::vector<Tone>{{1525, 200}}));
    EXPECT_EQ(device.Take(), ""); // nothing before the first tick
    std::vector<std::string> perTick;
    int lastProgress = 24;
    ASSERT_TRUE(Pump([&] {
        if (form->ProgressBar1->value() != lastProgress) {
            lastProgress = form->ProgressBar1->value();
            perTick.push_back(device.Take(6)); // one whole command
        }
        return form->WriteMode.empty();
    }, 5000));
    std::vector<std::string> expected(std::begin(kWriteCommands), std::end(kWriteCommands));
    EXPECT_EQ(perTick, expected);
    Pump([] { return false; }, 20);
    EXPECT_EQ(device.Take(), ""); // the 25th tick sends nothing
    std::vector<int> down;
    for (int v = 24; v >= 0; --v)
        down.push_back(v);
    EXPECT_EQ(progress, down);
    EXPECT_FALSE(form->RS->IsOpen());
    EXPECT_FALSE(form->Timer1->isActive());
    EXPECT_TRUE(messages.empty());
}

TEST_F(ExchangeTest, IncrementIdWithTheSameCodeRaisesAllThree)
{
    Device device;
    form->CheckBox2->setChecked(true);
    SetFields("7", "41");
    QTest::mouseClick(form->BitBtn1, Qt::LeftButton);
    ASSERT_TRUE(WriteDone());
    for (QLineEdit* id : {form->Edit4, form->Edit5, form->Edit6})
        EXPECT_EQ(id->text(), "42");
    EXPECT_EQ(form->Edit2->text(), "7");
    // The next write carries the new IDs.
    EXPECT_EQ(form->DeviceImage.substr(0, 10), MakeButtonCode("7", "42", 1, 1));
}

TEST_F(ExchangeTest, IncrementIdStopsAt65535)
{
    Device device;
    form->CheckBox2->setChecked(true);
    SetFields("1", "65535");
    QTest::mouseClick(form->BitBtn1, Qt::LeftButton);
    ASSERT_TRUE(WriteDone());
    for (QLineEdit* id : {form->Edit4, form->Edit5, form->Edit6})
        EXPECT_EQ(id->text(), "65535");
}

TEST_F(ExchangeTest, IncrementIdWithoutTheSameCodeRaisesEachRow)
{
    Device device;
    form->CheckBox2->setChecked(true);
    form->CheckBox1->setChecked(false);
    TypeOver(form->Edit4, "10");
    TypeOver(form->Edit5, "20");
    TypeOver(form->Edit6, "65535");
    QTest::mouseClick(form->BitBtn1, Qt::LeftButton);
    ASSERT_TRUE(WriteDone());
    EXPECT_EQ(form->Edit4->text(), "11");
    EXPECT_EQ(form->Edit5->text(), "21");
    EXPECT_EQ(form->Edit6->text(), "65535");
}

TEST_F(ExchangeTest, PortThatCannotOpenShowsTheErrorAndSendsNothing)
{
    std::error_code ec;
    fs::remove(PortLink(1), ec);
    form->RS->SetComPortNo(209);
    QTest::mouseClick(form->BitBtn1, Qt::LeftButton);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind("Device \"COM209\" Open Error !!!\r", 0), 0u);
    EXPECT_FALSE(form->Timer1->isActive());
    EXPECT_TRUE(tones.empty());
    EXPECT_EQ(form->ProgressBar1->value(), 0);
}

TEST_F(ExchangeTest, PortLostDuringAWriteIsReportedAndEndsTheWrite)
{
    auto device = std::make_unique<Device>();
    form->CheckBox2->setChecked(true);
    QTest::mouseClick(form->BitBtn1, Qt::LeftButton);
    ASSERT_TRUE(Pump([&] { return form->ProgressBar1->value() <= 20; }));
    device->HangUp();
    ASSERT_TRUE(WriteDone());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("The write did not complete"), std::string::npos) << messages[0];
    EXPECT_EQ(form->ProgressBar1->value(), 0);
    EXPECT_EQ(form->Edit4->text(), "1"); // the IDs were not raised
    EXPECT_FALSE(form->RS->IsOpen());
}

TEST_F(ExchangeTest, DeviceThatStopsTakingBytesEndsTheWriteAtOnce)
{
    Device device;
    form->CheckBox2->setChecked(true);
    QTest::mouseClick(form->BitBtn1, Qt::LeftButton);
    device.StopTaking(); // before the first tick
    ASSERT_TRUE(WriteDone()); // one command's time-out, not 24 of them
    EXPECT_EQ(messages, std::vector<std::string>{"The write did not complete: the device on COM1 stopped taking data "
                                                 "after 0 of 24 bytes. Check the device and its cable, and write again."});
    EXPECT_EQ(form->Edit4->text(), "1"); // the IDs were not raised
    EXPECT_EQ(form->ProgressBar1->value(), 0);
    EXPECT_FALSE(form->RS->IsOpen());
}

TEST_F(ExchangeTest, ReadDuringAWriteWaitsForItsEnd)
{
    Device device;
    form->CheckBox2->setChecked(true);
    QTest::mouseClick(form->BitBtn1, Qt::LeftButton);
    std::string sent;
    ASSERT_TRUE(Pump([&] {
        sent += device.Take();
        return form->ProgressBar1->value() <= 20;
    }));
    QTest::mouseClick(form->BitBtn2, Qt::LeftButton);
    ASSERT_TRUE(WriteDone());
    std::string expected;
    for (const char* command : kWriteCommands)
        expected += command;
    sent += device.Take(expected.size() - std::min(sent.size(), expected.size()));
    EXPECT_EQ(sent, expected); // no request between the commands
    EXPECT_TRUE(form->CheckBox1->isChecked());
    EXPECT_EQ(form->Edit6->text(), "2");
    QTest::mouseClick(form->BitBtn2, Qt::LeftButton);
    EXPECT_EQ(device.Take(8), "00#00030");
}

TEST_F(ExchangeTest, PortChangedDuringAWriteEndsItWithoutSendingToTheNewPort)
{
    Device com1;
    Device com4(4);
    form->RS->RefreshDevices(); // the port box lists COM4 now
    const int com4Item = form->vxDeviceBox1->findText("COM4");
    ASSERT_GE(com4Item, 0);
    form->CheckBox2->setChecked(true);
    QTest::mouseClick(form->BitBtn1, Qt::LeftButton);
    ASSERT_TRUE(Pump([&] { return form->ProgressBar1->value() == 12; }));
    // Between two ticks the user picks COM4, and the component moves there.
    form->vxDeviceBox1->setCurrentIndex(com4Item);
    emit form->vxDeviceBox1->activated(com4Item);
    ASSERT_EQ(form->RS->ComPortNo(), 4);
    ASSERT_TRUE(WriteDone());
    Pump([] { return false; }, 20);
    EXPECT_EQ(com4.Take(), "");
    std::string first12;
    for (int a = 0; a < 12; ++a)
        first12 += kWriteCommands[a];
    EXPECT_EQ(com1.Take(first12.size()), first12);
    EXPECT_EQ(messages, std::vector<std::string>{"The write did not complete: the port was changed from COM1 to COM4 "
                                                 "after 12 of 24 bytes. Nothing was sent to COM4: choose the port of "
                                                 "the device to program and write again."});
    EXPECT_EQ(form->ProgressBar1->value(), 0);
    EXPECT_EQ(form->Edit4->text(), "1"); // the IDs were not raised
    EXPECT_FALSE(form->RS->IsOpen());
}

TEST_F(ExchangeTest, FieldsChangedDuringAWriteDoNotMixIntoIt)
{
    Device device;
    const std::string image = (SetFields("7", "41"), form->DeviceImage);
    QTest::mouseClick(form->BitBtn1, Qt::LeftButton);
    std::string sent;
    ASSERT_TRUE(Pump([&] {
        sent += device.Take();
        return form->ProgressBar1->value() <= 22;
    }));
    TypeOver(form->Edit4, "5000"); // the next transmitter, typed while this one is written
    ASSERT_TRUE(WriteDone());
    std::string expected;
    for (int a = 0; a < 24; ++a)
        expected += "#1" + IntToHex(uint64_t(a), 2) + image.substr(size_t(2 * a), 2);
    sent += device.Take(expected.size() - std::min(sent.size(), expected.size()));
    EXPECT_EQ(sent, expected);
    // The next write carries the new ID.
    EXPECT_EQ(form->DeviceImage.substr(0, 10), MakeButtonCode("7", "5000", 1, 1));
}

// ---- Read ---------------------------------------------------------------------------

class ReadTest : public ExchangeTest {
protected:
    // The image the fields give for side code 200, ID 4660 (P1), 17/65535
    // (P2), 255/1 (P3) and relay position 5.
    std::string PrepareImage()
    {
        form->CheckBox1->setChecked(false);
        TypeOver(form->Edit1, "200");
        TypeOver(form->Edit4, "4660");
        TypeOver(form->Edit2, "17");
        TypeOver(form->Edit5, "65535");
        TypeOver(form->Edit3, "255");
        TypeOver(form->Edit6, "1");
        form->TrackBar1->setValue(5);
        const std::string image = form->DeviceImage;
        for (QLineEdit* f : {form->Edit1, form->Edit2, form->Edit3, form->Edit4, form->Edit5, form->Edit6})
            TypeOver(f, "9");
        form->TrackBar1->setValue(0);
        form->CheckBox1->setChecked(true);
        tones.clear();
        return image;
    }
    void Read(Device& device)
    {
        QTest::mouseClick(form->BitBtn2, Qt::LeftButton);
        std::string request;
        ASSERT_TRUE(Pump([&] {
            request += device.Take();
            return request.size() >= 8;
        }));
        EXPECT_EQ(request, "00#00030");
    }
    void ExpectDecoded()
    {
        EXPECT_EQ(form->Edit1->text(), "200");
        EXPECT_EQ(form->Edit4->text(), "4660");
        EXPECT_EQ(form->Edit2->text(), "17");
        EXPECT_EQ(form->Edit5->text(), "65535");
        EXPECT_EQ(form->Edit3->text(), "255");
        EXPECT_EQ(form->Edit6->text(), "1");
        EXPECT_EQ(form->TrackBar1->value(), 5);
        EXPECT_EQ(form->ProgressBar1->value(), 0);
        EXPECT_FALSE(form->CheckBox1->isChecked());
    }
    bool Decoded() { return Pump([&] { return form->ProgressBar1->value() == 0; }, 2000); }
};

TEST_F(ReadTest, ReplyWithNoiseSetsTheFieldsAndTheRelayPosition)
{
    Device device;
    const std::string image = PrepareImage();
    Read(device);
    EXPECT_EQ(form->ProgressBar1->value(), 24);
    device.Send("garbage$$" + ReplyFor(image));
    ASSERT_TRUE(Decoded());
    ExpectDecoded();
    EXPECT_EQ(tones, (std::vector<Tone>{{1525, 200}, {1047, 100}, {1109, 100}, {1175, 100}}));
    EXPECT_TRUE(form->ReplyBuffer.empty());
}

TEST_F(ReadTest, LateReplyAfterTheSameCodeBoxWasCheckedAgainUnchecksIt)
{
    Device device;
    const std::string image = PrepareImage();
    Read(device);
    QTest::mouseClick(form->CheckBox1, Qt::LeftButton, {}, QPoint(5, form->CheckBox1->height() / 2));
    ASSERT_TRUE(form->CheckBox1->isChecked());
    device.Send(ReplyFor(image));
    ASSERT_TRUE(Decoded());
    ExpectDecoded();
    EXPECT_EQ(form->DeviceImage, image);
}

TEST_F(ReadTest, ReplyThatCompletesDuringAWriteIsDropped)
{
    Device device;
    const std::string before = PrepareImage(); // what the device holds
    Read(device);
    SetFields("7", "41"); // the next transmitter, written before the reply came
    form->CheckBox2->setChecked(true);
    QTest::mouseClick(form->BitBtn1, Qt::LeftButton);
    ASSERT_TRUE(Pump([&] { return form->ProgressBar1->value() <= 20; }));
    device.Send(ReplyFor(before));
    ASSERT_TRUE(WriteDone());
    EXPECT_EQ(form->Edit1->text(), "7");
    EXPECT_EQ(form->Edit4->text(), "42"); // the written ID raised, not the old one
    EXPECT_TRUE(form->ReplyBuffer.empty());
}

TEST_F(ReadTest, ReplySplitAnywhereIsDecodedOnceComplete)
{
    Device device;
    const std::string image = PrepareImage();
    const std::string reply = ReplyFor(image);
    for (size_t cut : {size_t(1), size_t(9), size_t(50), size_t(97)}) {
        Read(device);
        device.Send(reply.substr(0, cut));
        Pump([] { return false; }, 30);
        EXPECT_EQ(form->ProgressBar1->value(), 24) << cut;
        device.Send(reply.substr(cut));
        ASSERT_TRUE(Decoded()) << cut;
        ExpectDecoded();
    }
}

TEST_F(ReadTest, DollarAt97Or99IsNotDecodedAndTheNextGoodReplyIs)
{
    Device device;
    const std::string image = PrepareImage();
    Read(device);
    device.Send("#" + image + std::string(47, 'F') + "$"); // "$" at 97
    Pump([] { return false; }, 50);
    EXPECT_EQ(form->ProgressBar1->value(), 24);
    device.Send("#" + image + std::string(49, 'F') + "$"); // "$" at 99
    Pump([] { return false; }, 50);
    EXPECT_EQ(form->ProgressBar1->value(), 24);
    EXPECT_EQ(form->Edit1->text(), "9");
    // A damaged frame does not block later replies, and the buffer stays small.
    device.Send(ReplyFor(image));
    ASSERT_TRUE(Decoded());
    ExpectDecoded();
    EXPECT_TRUE(form->ReplyBuffer.empty());
}

TEST_F(ReadTest, ReplyDamagedInTheDecodedDigitsIsNotDecoded)
{
    Device device;
    const std::string image = PrepareImage();
    // Reply positions 2..9, 18..25 and 34..41 are read; one character in each
    // that is no hexadecimal digit, as line noise would leave it.
    for (size_t at : {size_t(3), size_t(7), size_t(20), size_t(39)}) {
        Read(device);
        std::string damaged = ReplyFor(image);
        damaged[at] = at == 39 ? '\0' : 'G';
        device.Send(damaged);
        Pump([] { return false; }, 50);
        EXPECT_EQ(form->ProgressBar1->value(), 24) << at;
        for (QLineEdit* f : {form->Edit1, form->Edit2, form->Edit3, form->Edit4, form->Edit5, form->Edit6})
            EXPECT_EQ(f->text(), "9") << at;
        EXPECT_TRUE(form->ReplyBuffer.empty()) << at;
    }
    // The positions the window does not read may hold anything; and the next
    // good reply is decoded.
    std::string reply = ReplyFor(image);
    reply[10] = 'x';
    reply[60] = '#';
    device.Send(reply);
    ASSERT_TRUE(Decoded());
    ExpectDecoded();
}

TEST_F(ReadTest, FrameWithoutDollarIsDroppedOnceItCannotComplete)
{
    Device device;
    const std::string image = PrepareImage();
    Read(device);
    device.Send("#" + std::string(120, '0'));
    Pump([] { return false; }, 50);
    EXPECT_LT(form->ReplyBuffer.size(), 98u);
    device.Send(ReplyFor(image));
    ASSERT_TRUE(Decoded());
    ExpectDecoded();
}

TEST_F(ReadTest, DecodedZeroShowsAsOne)
{
    Device device;
    PrepareImage();
    Read(device);
    device.Send(ReplyFor(std::string(48, '0')));
    ASSERT_TRUE(Decoded());
    for (QLineEdit* f : {form->Edit1, form->Edit2, form->Edit3, form->Edit4, form->Edit5, form->Edit6})
        EXPECT_EQ(f->text(), "1");
    EXPECT_EQ(form->TrackBar1->value(), 0);
}

TEST_F(ReadTest, NoReplyPlaysTheTimeOutTonesAfterOneSecond)
{
    Device device;
    // The time-out counts from the click; the request may reach the device
    // a good while later on a busy machine.
    const auto start = std::chrono::steady_clock::now();
    Read(device);
    ASSERT_TRUE(Pump([&] { return tones.size() >= 4; }, 3000));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_EQ(tones, (std::vector<Tone>{{1525, 200}, {125, 200}, {225, 200}, {125, 200}}));
    EXPECT_FALSE(form->Timer2->isActive());
    EXPECT_TRUE(form->RS->IsOpen()); // the port stays open after a read
}
