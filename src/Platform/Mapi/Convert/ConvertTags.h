// A property tag of the converter that the store's tag list does not carry yet, attachment flag
// bits, body kinds and limits.
#pragma once

#include "Platform/Mapi/MapiDefs.h"

namespace Platform::Mapi::Convert {

// Kept here until the store's tag list has it.
constexpr ULONG kTagReportDisposition = PROP_TAG(PT_UNICODE, 0x0080);
constexpr ULONG kTagReportingMta = PROP_TAG(PT_UNICODE, 0x6820);
// On the recipient rows of a delivery report.
constexpr ULONG kTagRemoteMta = PROP_TAG(PT_UNICODE, 0x0C21);
constexpr ULONG kTagSupplementaryInfo = PROP_TAG(PT_UNICODE, 0x0C1B);

// Classification marks (PSETID_Common named properties by id).
constexpr LONG kLidClassified = 0x85B5;                 // PT_BOOLEAN
constexpr LONG kLidClassification = 0x85B6;             // PT_UNICODE
constexpr LONG kLidClassificationDescription = 0x85B7;  // PT_UNICODE
constexpr LONG kLidClassificationGuid = 0x85B8;         // PT_UNICODE
constexpr LONG kLidClassificationKeep = 0x85BA;         // PT_BOOLEAN

// PR_ATTACH_FLAGS bits.
constexpr LONG kAttachInvisibleInHtml = 0x1;
constexpr LONG kAttachRenderedInBody = 0x4;

// PR_NATIVE_BODY_INFO values.
constexpr LONG kNativeBodyPlain = 1;
constexpr LONG kNativeBodyHtml = 3;

// Nesting limits: embedded messages deeper than this are kept as .eml attachments.
constexpr int kMaxEmbeddedDepth = 32;

}  // namespace Platform::Mapi::Convert
