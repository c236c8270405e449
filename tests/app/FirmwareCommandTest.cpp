#include <QTimer>
#include <functional>

#include "tests/support/QtWait.h"
#include "SheetFixture.h"
#include "protocol/CommandCodes.h"
#include "protocol/CommandResponse.h"
#include "protocol/StatusCodes.h"
#include "ui/ProgressDialog.h"
#include "ui/StatusLine.h"

namespace
{
std::unique_ptr<CCommandResponse> UpgradeResponse(int code, LinkStatus status)
{
    CSerialCommand command;
    command.Code = static_cast<std::uint8_t>(code);
    return MakeCommandResponse(code, &command, status, nullptr, 0);
}
}

class FirmwareCommandTest : public SheetTest
{
protected:
    // Runs the menu command; while its progress dialog is up, calls whileOpen once, and
    // closes the dialog itself if nothing else did within a few seconds.
    void RunCommand(const std::function<void()>& whileOpen)
    {
        QTimer::singleShot(0, m_sheet.get(), [&] {
            m_sawDialog = m_sheet->FirmwareProgressDialog() != nullptr;
            if (m_sawDialog)
            {
                m_pollTimerWhileOpen = m_manager.GetPollTimer();
                whileOpen();
            }
        });
        QTimer::singleShot(4000, m_sheet.get(), [&] {
            if (CProgressDialog* dialog = m_sheet->FirmwareProgressDialog())
            {
                m_forcedClose = true;
                dialog->EndDialog(0);
            }
        });
        m_sheet->UpdateFirmware();
    }

    bool m_sawDialog = false;
    bool m_forcedClose = false;
    ITimerService::TimerId m_pollTimerWhileOpen = 1;
};

struct EndCase
{
    int code;
    LinkStatus status;
};

class FirmwareEnd : public FirmwareCommandTest, public ::testing::WithParamInterface<EndCase>
{
};

TEST_P(FirmwareEnd, TheUpgradeResponseClosesTheDialogAndPollingStartsAgain)
{
    CQuillmereSheet& sheet = StartSheet();
    m_desktop->Answer = true;
    m_desktop->FirmwarePath = QStringLiteral("/nonexistent/firmware.rom");
    RunCommand([&] { m_manager.Notify(UpgradeResponse(GetParam().code, GetParam().status).get()); });

    EXPECT_TRUE(m_sawDialog);
    EXPECT_FALSE(m_forcedClose) << "the response did not close the dialog";
    EXPECT_EQ(sheet.FirmwareProgressDialog(), nullptr);
    EXPECT_EQ(m_pollTimerWhileOpen, 0u) << "the poll went on during the transfer";
    EXPECT_NE(m_manager.GetPollTimer(), 0u) << "the poll did not start again";
    ASSERT_EQ(m_desktop->Questions.size(), 1u);
    EXPECT_EQ(m_desktop->Questions.front(),
              "Update Firmware|Update firmware will cause device to be unresponsive during this time.\n"
              "  Would you like to continue?");

    SpinEvents(10);
    EXPECT_EQ(StatusLineOf(sheet)->ShowsError(), GetParam().status != LinkStatus::Ok);
    const bool finished = GetParam().code == CommandCode::FirmwareTransfer && GetParam().status == LinkStatus::Ok;
    EXPECT_EQ(StatusLineOf(sheet)->Text().contains(QStringLiteral("Firmware update finished")), finished)
        << StatusLineOf(sheet)->Text().toStdString();
    if (GetParam().status != LinkStatus::Ok)
    {
        EXPECT_NE(StatusLineOf(sheet)->Text().indexOf(" Request Upgrade command " +
                                                      QString::fromStdString(GetErrorText(GetParam().status))),
                  -1);
    }
}

INSTANTIATE_TEST_SUITE_P(Responses, FirmwareEnd,
                         ::testing::Values(EndCase{CommandCode::RequestUpgrade, LinkStatus::Timeout},
                                           EndCase{CommandCode::RequestUpgrade, LinkStatus::Ok},
                                           EndCase{CommandCode::FirmwareTransfer, LinkStatus::Ok},
                                           EndCase{CommandCode::FirmwareTransfer, LinkStatus::NotAcknowledged}));

TEST_F(FirmwareCommandTest, TheBarStandsStillUntilProgressMovesIt)
{
    StartSheet();
    m_desktop->Answer = true;
    m_desktop->FirmwarePath = QStringLiteral("/tmp/image.rom");
    int valueBefore = -1;
    bool advancing = true;
    QString message;
    int value = -1;
    int maximum = -1;
    RunCommand([&] {
        CProgressDialog* dialog = m_sheet->FirmwareProgressDialog();
        message = dialog->MessageText();
        advancing = dialog->IsAdvancing();
        valueBefore = dialog->BarValue();
        CProgressChangedEventArgs progress;
        progress.Position = 128;
        progress.Total = 256;
        m_manager.Notify(&progress);
        QTimer::singleShot(20, m_sheet.get(), [&] {
            value = m_sheet->FirmwareProgressDialog()->BarValue();
            maximum = m_sheet->FirmwareProgressDialog()->BarMaximum();
            m_manager.Notify(UpgradeResponse(CommandCode::FirmwareTransfer, LinkStatus::Ok).get());
        });
    });
    EXPECT_EQ(message, "Updating firmware ....");
    EXPECT_FALSE(advancing);
    EXPECT_EQ(valueBefore, 0);
    EXPECT_EQ(maximum, 256);
    EXPECT_EQ(value, 128);
    EXPECT_FALSE(m_forcedClose);
}

TEST_F(FirmwareCommandTest, OtherResponsesLeaveTheDialogOpen)
{
    StartSheet();
    m_desktop->Answer = true;
    m_desktop->FirmwarePath = QStringLiteral("/tmp/image.rom");
    bool stillOpen = false;
    RunCommand([&] {
        m_manager.Notify(UpgradeResponse(CommandCode::RelayStatus, LinkStatus::Timeout).get());
        QTimer::singleShot(30, m_sheet.get(), [&] {
            stillOpen = m_sheet->FirmwareProgressDialog() != nullptr;
            m_manager.Notify(UpgradeResponse(CommandCode::RequestUpgrade, LinkStatus::Ok).get());
        });
    });
    EXPECT_TRUE(stillOpen);
    EXPECT_FALSE(m_forcedClose);
}

TEST_F(FirmwareCommandTest, APathTooLongToSendOpensNoDialogAndSaysTheFileDoesNotOpen)
{
    CQuillmereSheet& sheet = StartSheet();
    m_desktop->Answer = true;
    m_desktop->FirmwarePath = QStringLiteral("/tmp/") + QString(5000, QLatin1Char('f')) + QStringLiteral(".rom");
    RunCommand([] {});
    EXPECT_FALSE(m_sawDialog);
    EXPECT_NE(m_manager.GetPollTimer(), 0u) << "the poll did not start again";
    EXPECT_TRUE(StatusLineOf(sheet)->ShowsError());
    EXPECT_NE(StatusLineOf(sheet)->Text().indexOf(" Request Upgrade command " +
                                                  QString::fromStdString(GetErrorText(LinkStatus::FirmwareFileNotOpened))),
              -1);
}

TEST_F(FirmwareCommandTest, NoOrACancelledFileChoiceLeavesThePollRunning)
{
    StartSheet();
    const auto pollTimer = m_manager.GetPollTimer();
    m_desktop->Answer = false;
    m_sheet->UpdateFirmware();
    EXPECT_EQ(m_desktop->FileChoices, 0);

    m_desktop->Answer = true;
    m_desktop->FirmwarePath.clear();   // cancelled
    m_sheet->UpdateFirmware();
    EXPECT_EQ(m_desktop->FileChoices, 1);
    EXPECT_EQ(m_manager.GetPollTimer(), pollTimer);
    EXPECT_NE(pollTimer, 0u);
}

TEST_F(FirmwareCommandTest, ASignalDuringTheTransferEndsTheDialogAndThePollStaysOff)
{
    StartSheet();
    m_desktop->Answer = true;
    m_desktop->FirmwarePath = QStringLiteral("/tmp/image.rom");
    RunCommand([&] { m_sheet->CloseWithoutQuestion(); });
    EXPECT_TRUE(m_sawDialog);
    EXPECT_FALSE(m_forcedClose);
    EXPECT_TRUE(m_sheet->HasEnded());
    EXPECT_EQ(m_manager.GetPollTimer(), 0u);
}
