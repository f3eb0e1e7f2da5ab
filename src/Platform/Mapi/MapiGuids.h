// Interface ids of the MAPI interfaces and the well-known property sets and entry-id UIDs.
#pragma once

#include "Platform/Mapi/MapiDefs.h"

#define MAPI_OLE_GUID(l)                                   \
    {                                                      \
        (l), 0x0000, 0x0000, {                             \
            0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46 \
        }                                                  \
    }

inline constexpr IID IID_IMAPISession = MAPI_OLE_GUID(0x00020300);
inline constexpr IID IID_IMAPITable = MAPI_OLE_GUID(0x00020301);
inline constexpr IID IID_IMAPIAdviseSink = MAPI_OLE_GUID(0x00020302);
inline constexpr IID IID_IMAPIProp = MAPI_OLE_GUID(0x00020303);
inline constexpr IID IID_IProfSect = MAPI_OLE_GUID(0x00020304);
inline constexpr IID IID_IMAPIStatus = MAPI_OLE_GUID(0x00020305);
inline constexpr IID IID_IMsgStore = MAPI_OLE_GUID(0x00020306);
inline constexpr IID IID_IMessage = MAPI_OLE_GUID(0x00020307);
inline constexpr IID IID_IAttachment = MAPI_OLE_GUID(0x00020308);
inline constexpr IID IID_IAddrBook = MAPI_OLE_GUID(0x00020309);
inline constexpr IID IID_IMailUser = MAPI_OLE_GUID(0x0002030A);
inline constexpr IID IID_IMAPIContainer = MAPI_OLE_GUID(0x0002030B);
inline constexpr IID IID_IMAPIFolder = MAPI_OLE_GUID(0x0002030C);
inline constexpr IID IID_IABContainer = MAPI_OLE_GUID(0x0002030D);
inline constexpr IID IID_IDistList = MAPI_OLE_GUID(0x0002030E);
inline constexpr IID IID_IMAPISup = MAPI_OLE_GUID(0x0002030F);
inline constexpr IID IID_IMAPIProgress = MAPI_OLE_GUID(0x0002031F);

// Property sets of named properties.
inline constexpr GUID PS_MAPI = MAPI_OLE_GUID(0x00020328);
inline constexpr GUID PS_PUBLIC_STRINGS = MAPI_OLE_GUID(0x00020329);
inline constexpr GUID PS_INTERNET_HEADERS = MAPI_OLE_GUID(0x00020386);
inline constexpr GUID PSETID_Appointment = MAPI_OLE_GUID(0x00062002);
inline constexpr GUID PSETID_Task = MAPI_OLE_GUID(0x00062003);
inline constexpr GUID PSETID_Address = MAPI_OLE_GUID(0x00062004);
inline constexpr GUID PSETID_Common = MAPI_OLE_GUID(0x00062008);
inline constexpr GUID PSETID_Log = MAPI_OLE_GUID(0x0006200A);
inline constexpr GUID PSETID_Note = MAPI_OLE_GUID(0x0006200E);
inline constexpr GUID PSETID_Sharing = MAPI_OLE_GUID(0x00062040);
inline constexpr GUID PSETID_Meeting = {0x6ED8DA90, 0x450B, 0x101B, {0x98, 0xDA, 0x00, 0xAA, 0x00, 0x3F, 0x13, 0x05}};

// The provider UID of one-off entry ids.
inline constexpr MAPIUID MUIDOneOff = {
    {0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19, 0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02}};
// The profile section every profile has for global settings.
inline constexpr MAPIUID pbGlobalProfileSectionGuid = {
    {0x13, 0xDB, 0xB0, 0xC8, 0xAA, 0x05, 0x10, 0x1A, 0x9B, 0xB0, 0x00, 0xAA, 0x00, 0x2F, 0xC4, 0x5A}};
// PR_MDB_PROVIDER of the local .osd store provider; also the UID inside its store entry ids.
inline constexpr MAPIUID MUIDOsdStoreProvider = {
    {0x4F, 0x53, 0x44, 0x53, 0x54, 0x4F, 0x52, 0x45, 0x8A, 0x31, 0x5C, 0x0E, 0x27, 0x64, 0x11, 0xD0}};

inline bool operator==(const MAPIUID& a, const MAPIUID& b) {
    return __builtin_memcmp(a.ab, b.ab, 16) == 0;
}
