// The machine-readable part of a delivery status notification (message/delivery-status): the
// reporting MTA and one block per recipient.
#pragma once

#include <string>
#include <vector>

namespace Platform::Mapi::Convert {

// Actions from the mildest to the most severe; the report's class follows the most severe one.
enum class DeliveryAction { None = -1, Delivered, Expanded, Relayed, Delayed, Failed };

struct DeliveryRecipient {
    std::wstring wsAddress;  // Final-Recipient without its address type
    DeliveryAction action = DeliveryAction::None;
    std::wstring wsRemoteMta;  // Remote-MTA without its name type
    // X-Supplementary-Info, else built from MTA, status and diagnostic; empty without a status
    std::wstring wsSupplementaryInfo;
};

struct DeliveryStatus {
    std::wstring wsReportingMta;                   // without its name type
    DeliveryAction action = DeliveryAction::None;  // the most severe of the blocks
    std::vector<DeliveryRecipient> recipients;     // only the blocks of that action
};

DeliveryStatus ReadDeliveryStatus(const std::string& text);

// ".NDR", ".Delayed.DR" ... for the action; empty for None.
const wchar_t* ReportClassSuffix(DeliveryAction action);

}  // namespace Platform::Mapi::Convert
