// Settings, opening and closing of the serial component.
#include "commtest.h"

#include "Exceptions.h"
#include "vxsysutils.h"

#include <QCheckBox>

using namespace commtest;
using namespace vxport;

TEST(CommSettings, DefaultsOfAFreshComponent)
{
    TvxComm rs;
    EXPECT_FALSE(rs.Active());
    EXPECT_EQ(rs.BaudRate(), 19200u);
    EXPECT_EQ(rs.Parity(), pNone);
    EXPECT_EQ(rs.StopBits(), sbOne);
    EXPECT_EQ(rs.ByteSize(), 8);
    EXPECT_EQ(rs.ComPortNo(), 1);
    EXPECT_EQ(rs.ComPort(), cpCOM1);
    EXPECT_TRUE(rs.TraceStates().Empty());
    EXPECT_EQ(rs.StreamProtocol(), spHardware);
    EXPECT_EQ(rs.BufferInSize(), 8192);
    EXPECT_EQ(rs.BufferOutSize(), 8192);
    EXPECT_EQ(rs.TimeoutRead(), 0u);
    EXPECT_EQ(rs.TimeoutWrite(), 100u);
    EXPECT_TRUE(rs.UseMainThread());
    EXPECT_EQ(rs.EnumPorts(), epQuickAll);
    EXPECT_EQ(rs.LogPrefix(), "vxComm: ");
    EXPECT_EQ(rs.CommConfig().dwSize, 52u);
    EXPECT_EQ(rs.Dcb().DCBlength, 28u);
    EXPECT_EQ(rs.GetDeviceName(), "COM1");
}

TEST(CommSettings, ByteSizeOutsideFourToEightReadsEight)
{
    TvxComm rs;
    rs.SetByteSize(3);
    EXPECT_EQ(rs.ByteSize(), 8);
    rs.SetByteSize(9);
    EXPECT_EQ(rs.ByteSize(), 8);
    rs.SetByteSize(4);
    EXPECT_EQ(rs.ByteSize(), 4);
}

TEST(CommSettings, ComPortFollowsComPortNo)
{
    TvxComm rs;
    rs.SetComPortNo(12);
    EXPECT_EQ(rs.ComPort(), cpCOMxx);
    rs.SetComPort(cpCOMxx);
    EXPECT_EQ(rs.ComPortNo(), 12);
    rs.SetComPort(cpCOM3);
    EXPECT_EQ(rs.ComPortNo(), 3);
    rs.SetComPortNo(8);
    EXPECT_EQ(rs.ComPort(), cpCOM8);
    rs.SetComPortNo(0);
    EXPECT_EQ(rs.ComPort(), cpCOMxx);
}

TEST(CommSettings, FlowControlFlagsOfTheDcb)
{
    TvxComm rs;
    rs.SetStreamProtocol(spNone);
    EXPECT_EQ(DcbFlags(rs.Dcb()) & ~0x4CEAu, 0x1011u);
    rs.SetStreamProtocol(spXonXoff);
    EXPECT_EQ(DcbFlags(rs.Dcb()) & ~0x4CEAu, 0x1311u);
    rs.SetStreamProtocol(spHardware);
    EXPECT_EQ(DcbFlags(rs.Dcb()) & ~0x4CEAu, 0x2015u);
    EXPECT_TRUE(rs.Dcb().fOutxCtsFlow);
    rs.SetRS485Mode(true);
    EXPECT_FALSE(rs.Dcb().fOutxCtsFlow);
    EXPECT_EQ(rs.Dcb().fRtsControl, RTS_CONTROL_TOGGLE);
    EXPECT_EQ(rs.Dcb().XonLim, 2048);
    EXPECT_EQ(rs.Dcb().XoffChar, 0x13);
}

TEST(CommSettings, ParityFlagFollowsParity)
{
    TvxComm rs;
    rs.SetParity(pEven);
    EXPECT_TRUE(rs.Dcb().fParity);
    EXPECT_EQ(rs.Dcb().Parity, EVENPARITY);
    rs.SetParity(pNone);
    EXPECT_FALSE(rs.Dcb().fParity);
}

TEST(CommSettings, PublishedPropertiesGoThroughQtProperties)
{
    TvxComm rs;
    EXPECT_TRUE(rs.setProperty("BaudRate", 9600u));
    EXPECT_TRUE(rs.setProperty("Parity", QVariant::fromValue(pOdd)));
    EXPECT_TRUE(rs.setProperty("StreamProtocol", QVariant::fromValue(spNone)));
    EXPECT_TRUE(rs.setProperty("TimeoutWrite", 50u));
    EXPECT_EQ(rs.BaudRate(), 9600u);
    EXPECT_EQ(rs.Parity(), pOdd);
    EXPECT_EQ(rs.StreamProtocol(), spNone);
    EXPECT_EQ(rs.TimeoutWrite(), 50u);
    EXPECT_EQ(rs.property("ComPortNo").toUInt(), 1u);
}

TEST(CommOpen, PortThatDoesNotExistRaisesTheOpenError)
{
    TvxComm rs;
    rs.SetComPortNo(207);
    try {
        rs.SetActive(true);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message.rfind("Device \"COM207\" Open Error !!!\r", 0), 0u) << e.Message;
        EXPECT_GT(e.Message.size(), std::string("Device \"COM207\" Open Error !!!\r").size());
    }
    EXPECT_FALSE(rs.Active());
}

TEST(CommOpen, OpenErrorDeclinedByTheHandlerRaisesNothing)
{
    TvxComm rs;
    rs.SetComPortNo(207);
    int calls = 0;
    rs.OnFatalError = [&](TObject*, uint32_t code, uint32_t, const std::string&, bool& raise) {
        ++calls;
        EXPECT_EQ(code, 1u);
        raise = false;
    };
    EXPECT_NO_THROW(rs.SetActive(true));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(rs.Active());
}

TEST(CommOpen, ReadBufferIsAtLeast8192Bytes)
{
    PtyPort port(31);
    TvxComm rs;
    rs.SetComPortNo(31);
    rs.SetBufferInSize(100);
    rs.SetActive(true);
    EXPECT_EQ(rs.ReadBufferSize(), 8192u);
    rs.SetActive(false);
    EXPECT_EQ(rs.ReadBufferSize(), 0u);
    rs.SetBufferInSize(20000);
    rs.SetActive(true);
    EXPECT_EQ(rs.ReadBufferSize(), 20000u);
}

TEST(CommOpen, ChangingThePortOfAnOpenComponentReopensAndNotifies)
{
    PtyPort first(32), second(33);
    std::vector<int32_t> kinds;
    TvxComm rs;
    TvxMemoryLog log;
    rs.SetLog(&log);
    rs.AddNotify([&](TObject*, int32_t kind) { kinds.push_back(kind); });
    rs.SetComPortNo(32);
    rs.SetActive(true);
    kinds.clear();
    log.Clear();
    rs.SetComPortNo(33);
    EXPECT_TRUE(rs.Active());
    EXPECT_EQ(kinds, (std::vector<int32_t>{nkClosed, nkOpened, nkDevicesChanged}));
    EXPECT_EQ(log.Texts(), (std::vector<std::string>{"vxComm: The port is closed succesfully",
                                                     "vxComm: The port COM33 is opened succesfully"}));
}

TEST(CommOpen, ActiveTrueTwiceOpensOnce)
{
    PtyPort port(34);
    int opened = 0;
    TvxComm rs;
    rs.SetComPortNo(34);
    rs.AddNotify([&](TObject*, int32_t kind) { opened += kind == nkOpened; });
    rs.SetActive(true);
    rs.SetActive(true);
    EXPECT_EQ(opened, 1);
}

TEST(CommOpen, ClosingAClosedComponentOnlyReportsTxEmpty)
{
    TvxComm rs;
    QCheckBox cts, dsr, rlsd;
    cts.setChecked(true);
    dsr.setChecked(true);
    rlsd.setChecked(true);
    rs.SetMonitorCTS(&cts);
    rs.SetMonitorDSR(&dsr);
    rs.SetMonitorRLSD(&rlsd);
    std::vector<TTraceStates> reported;
    rs.OnTraceState = [&](TObject*, TTraceStates s) { reported.push_back(s); };
    int closed = 0;
    rs.OnClose = [&](TObject*) { ++closed; };
    rs.Close();
    EXPECT_EQ(reported, (std::vector<TTraceStates>{TTraceStates{tsTxEmpty}}));
    EXPECT_EQ(closed, 0);
    EXPECT_FALSE(cts.isChecked());
    EXPECT_FALSE(dsr.isChecked());
    EXPECT_FALSE(rlsd.isChecked());
}

TEST(CommOpen, DestroyedMonitorIsForgotten)
{
    TvxComm rs;
    auto* ring = new QCheckBox;
    rs.SetMonitorRing(ring);
    delete ring;
    EXPECT_EQ(rs.MonitorRing(), nullptr);
    rs.Close(); // touches no monitor
}

TEST(CommOpen, StoredLayoutOpensTheComponentWhenLoaded)
{
    PtyPort port(35);
    QObject owner;
    TvxComm* rs;
    {
        TLayoutReading reading(&owner);
        rs = new TvxComm(&owner);
        rs->setProperty("ComPortNo", 35);
        rs->setProperty("Active", true);
        EXPECT_FALSE(rs->IsOpen());
        reading.Finish();
    }
    EXPECT_TRUE(rs->IsOpen());
}
