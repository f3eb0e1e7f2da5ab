// The utility services later layers call around the host: its offline state and command, the
// section that marks the connector's own store changes, and the progress dialog.
#include <gtest/gtest.h>

#include <thread>

#include "Platform/Host/Host.h"
#include "Platform/Ui/ScriptedUi.h"
#include "Util/HostInfo.h"
#include "Util/IgnoreChanges.h"
#include "Util/ProgressDlg.h"

namespace {

using Ostrel::Util::GenericProgressDlg;
using Ostrel::Util::IgnoreChangesSection;
using Platform::Ui::ScriptedUi;

class HostServices : public ::testing::Test {
protected:
    void SetUp() override {
        Platform::Host::ResetToDefaults();
        ui = std::make_shared<ScriptedUi>();
        Platform::Ui::SetCurrent(ui);
    }
    void TearDown() override {
        Platform::Ui::SetCurrent(nullptr);
        Platform::Host::ResetToDefaults();
    }
    std::shared_ptr<ScriptedUi> ui;
};

TEST_F(HostServices, OfflineExportGoesThroughTheHostAndReportsARefusal) {
    EXPECT_FALSE(Ostrel::Util::IsOutlookOfflineExport());
    EXPECT_EQ(Ostrel::Util::SetOutlookOfflineExport(), S_OK);
    EXPECT_TRUE(Ostrel::Util::IsOutlookOfflineExport());

    Platform::Host::SetOffline(false);
    Platform::Host::SetOfflineSwitcher([](bool) { return E_ACCESSDENIED; });
    EXPECT_EQ(Ostrel::Util::SetOutlookOfflineExport(), E_ACCESSDENIED);
    EXPECT_FALSE(Ostrel::Util::IsOutlookOfflineExport());
}

TEST_F(HostServices, IgnoreChangesSectionsNestAndAreSeenFromOtherThreads) {
    EXPECT_FALSE(IgnoreChangesSection::IsActive());
    {
        IgnoreChangesSection outer;
        {
            IgnoreChangesSection inner;
            EXPECT_TRUE(IgnoreChangesSection::IsActive());
        }
        // Closing the inner one leaves the outer one open.
        bool bSeen = false;
        std::thread notifier([&] { bSeen = IgnoreChangesSection::IsActive(); });
        notifier.join();
        EXPECT_TRUE(bSeen);
    }
    EXPECT_FALSE(IgnoreChangesSection::IsActive());
}

TEST_F(HostServices, ProgressDialogShowsOverTheClientAndStaysInItsRange) {
    int window = 0;
    Platform::Host::SetClientWindow(&window);
    ui->CancelProgressAfter(3);
    {
        GenericProgressDlg dlg(L"Ostrel", L"Reconstructing GAL mapping data.  Do not shutdown outlook.");
        dlg.SetRange(0, 250);
        dlg.SetStep(100);
        dlg.StepIt();
        dlg.StepIt();
        EXPECT_FALSE(dlg.IsCancelled());
        dlg.StepIt();
        EXPECT_EQ(dlg.GetPos(), 250u) << "a step stops at the top";
        EXPECT_TRUE(dlg.IsCancelled());
        dlg.SetRange(300, 100);  // an inverted range is empty
        EXPECT_EQ(dlg.GetPos(), 300u);
        dlg.SetMarquee(true);
        dlg.SetText(L"next");
    }
    auto shown = ui->History();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].hwndOwner, &window);
    auto progresses = ui->Progresses();
    ASSERT_EQ(progresses.size(), 1u);
    EXPECT_EQ(progresses[0].wsCaption, L"Ostrel");
    EXPECT_EQ(progresses[0].texts,
              (std::vector<std::wstring>{L"Reconstructing GAL mapping data.  Do not shutdown outlook.", L"next"}));
    EXPECT_EQ(progresses[0].ulSteps, 3u);
    EXPECT_TRUE(progresses[0].bMarquee);
    EXPECT_TRUE(progresses[0].bClosed) << "the window goes with the dialog";

    // Without a user interface nothing is shown and nothing is cancelled.
    Platform::Ui::SetCurrent(nullptr);
    GenericProgressDlg silent(L"Ostrel", L"");
    silent.StepIt();
    EXPECT_FALSE(silent.IsCancelled());
}

}  // namespace
