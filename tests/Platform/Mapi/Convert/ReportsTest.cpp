// Reading the status part of delivery reports: the most severe action decides, only its blocks
// become recipients, and odd field layouts still read.
#include <gtest/gtest.h>

#include "Platform/Mapi/Convert/Reports.h"

namespace ConvertTest {

using namespace Platform::Mapi::Convert;

TEST(DeliveryStatus, TheMostSevereActionDecidesWhichBlocksCount) {
    const DeliveryStatus status = ReadDeliveryStatus(
        "reporting-mta: DNS;mx.example.com\n"
        "\n"
        "Final-Recipient: rfc822;ok@example.net\nAction: delivered\nStatus: 2.0.0\n"
        "\r\n"
        "FINAL-RECIPIENT: RFC822; lost@example.net\r\nACTION: FAILED\r\nStatus: 5.1.1\r\n"
        "Remote-MTA: dns; mx.example.net\r\nDiagnostic-Code: smtp; 550 no such\r\n\tuser\r\n"
        "\n"
        "Final-Recipient: rfc822; gone@example.net\nAction: failed\n"
        "\n"
        "Action: failed\nStatus: 5.0.0\n");
    EXPECT_EQ(status.wsReportingMta, L"mx.example.com");
    EXPECT_EQ(status.action, DeliveryAction::Failed);
    ASSERT_EQ(status.recipients.size(), 2u);  // the delivered one and the block without recipient are not
    EXPECT_EQ(status.recipients[0].wsAddress, L"lost@example.net");
    EXPECT_EQ(status.recipients[0].wsRemoteMta, L"mx.example.net");
    EXPECT_EQ(status.recipients[0].wsSupplementaryInfo, L"<mx.example.net #5.1.1 550 no such user>");
    // No status: nothing to build a text from.
    EXPECT_EQ(status.recipients[1].wsSupplementaryInfo, L"");
    EXPECT_STREQ(ReportClassSuffix(status.action), L".NDR");
}

TEST(DeliveryStatus, TextWithoutBlocksGivesNoAction) {
    for (const char* text : {"", "\r\n\r\n", "no fields at all", ": empty name\n\tcontinued", "Action: exploded\n"}) {
        const DeliveryStatus status = ReadDeliveryStatus(text);
        EXPECT_EQ(status.action, DeliveryAction::None) << text;
        EXPECT_TRUE(status.recipients.empty());
        EXPECT_STREQ(ReportClassSuffix(status.action), L"");
    }
}

}  // namespace ConvertTest
