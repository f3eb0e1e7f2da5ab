// The connector's registry settings: the values under "Software\Ostrel" (per user through
// RegUtil, machine-wide switches under HKEY_LOCAL_MACHINE\Software\Ostrel) and Outlook's own
// attachment size. Every getter falls back to its default when a key or value is missing or
// unreadable and never reports an error, except where noted. Cached getters read once per
// process (under a process-wide critical section); a later registry change does not affect them.
//
// Handheld-server mode (IsBESOSN) changes several defaults. Whether the caller is the handheld
// server's own agent (for IsSingleUserBESOSN) is a fact the host sets: Platform::Host::SetHandheldServerAgent.
#pragma once

#include "Platform/Base/HResult.h"
#include "Platform/Base/WinTypes.h"

#include <string>
#include <vector>

namespace Ostrel::Mapi {

// Which items local rules fire on; two 32-bit flags.
struct RULES_FIRE_ON {
    BOOL bDelegateItems = FALSE;
    BOOL bReadItems = FALSE;
};

// The longest LDAPServerName, in characters with the terminator (the 256 bytes of 16-bit
// characters the value may hold); a longer value is ignored (logged).
constexpr DWORD kLDAPServerNameChars = 128;
// The longest CalendarDeclinedPrefix, in characters; a longer value is ignored (logged) and the
// default used, as a cut prefix would be a different one.
constexpr size_t kCalendarDeclinedPrefixChars = 128;
// Result of the attachment-size getters when nothing is stored.
constexpr DWORD kNoAttachmentSize = 0xFFFFFFFF;

// Outlook's maximum attachment size as it was before the connector changed it (PrevOLMaxAttSize);
// kNoAttachmentSize when nothing is saved.
DWORD GetPrevOLMaxAttSizeKB();
void SetPrevOLMaxAttSizeKB(DWORD dwKB);
// Outlook's own "MaximumAttachmentSize" under HKCU\Software\Microsoft\Office\<major>.<minor>\Outlook\Preferences;
// kNoAttachmentSize when absent.
DWORD GetOLMaxAttSizeKB();
void SetOLMaxAttSizeKB(DWORD dwKB);
// The server's message size limit saved per account (subkey MtaMaxMessageSize); 0 when absent.
DWORD GetOstrelMtaMaxMessageBytes(const wchar_t* pwszAccount);
void SetOstrelMtaMaxMessageBytes(const wchar_t* pwszAccount, DWORD dwBytes);

// MaxMimeBufferSizeMB in bytes: 1 MiB when absent, at most 4095 MiB. The limit only decides
// whether the message fix-ups run on a message, so 0 is kept as 0 (they never run). Cached once
// non-zero; 0 is read again on every call.
DWORD GetMaxMimeBufferSize();
int IsCalHelperSyncAttendeeEditsEnabled();    // CalHelperSyncAttendeeEdits > 0; cached
int IsCalendarAutoAddInvitesCheckDisabled();  // CalendarDisableAutoAddInvitesCheck > 0; cached
int IsAutoArchiveDisabled();                  // DisableAutoArchive > 0, default true; cached
int CanDumpComErrorToFile();                  // HKLM comErrorToFile > 0; cached
int IsForceWaitSetUserUpdate();               // HKLM isForceWaitSetUserUpdate > 0
int IsSyncDisabled();                         // HKLM syncDisabled > 0
// Copies LDAPServerName, with its terminator, into a buffer of `cchBuffer` characters; leaves the
// buffer untouched when there is no such value, it is too long, or it does not fit the buffer.
void GetLDAPServerName(wchar_t* pwszBuffer, size_t cchBuffer);
int IsLDAPEnabled();  // EnableLDAP > 0
// GalSyncMode 0, 1 or 2 (above 2 reads as 2); moves a legacy DisableGalSync value over to it.
DWORD GetGALSyncMode();
int SyncOnChangeEnabled();            // true without a settings key; else SyncOnChangeEnabled > 0
int PrefSyncEnabled();                // PrefSyncEnabled > 0
int TagSyncEnabled();                 // TagSyncEnabled > 0
int SigSyncEnabled();                 // SigSyncEnabled > 0
int TurnOffInboxFailures();           // turnOffInboxFailures > 0
DWORD GetAliasRefreshIntervalSecs();  // 3600 (handheld server 7200) when 0 or absent; cached
DWORD GetMaxStoreCount();             // 30 (handheld server 1000) when 0 or absent; cached
DWORD GetMaxOSDCount();               // 30 (handheld server 250) when 0 or absent; cached
int LocalRulesEnabled();              // EnableLocalRules > 0; never for a handheld server
int StorePassword();                  // true for a handheld server or without a key; else StorePassword != 0
// LocalRulesControl bit 0: delegate items, bit 1: read items. Read on the first call and again
// whenever `reread` is non-zero; cached in between.
RULES_FIRE_ON GetLocalRulesSettings(int reread);
// False when HKLM GalSyncDisableAliases is non-zero. Read once. Throws std::runtime_error when
// the value is not a REG_DWORD.
int IsGalAliasSearchEnabled();
// CalendarDeclinedPrefix, "X" when absent or empty. Cached.
void GetCalendarDeclinedPrefix(std::wstring& wsPrefix);
int IsBESOSN();            // HKLM isBES > 0; cached
int IsSingleUserBESOSN();  // handheld server, its own agent, and HKLM isSingleUserBES > 0; cached

// The MAPI errors that mean the local store is damaged (HKLM OSDCorruptErrorCodes, REG_MULTI_SZ,
// each "0x..." hexadecimal or decimal; other strings are skipped). Built once. Throws
// std::runtime_error when the value has another type.
std::vector<HRESULT> GetOSDCorruptErrorCodes();
BOOL IsOSDCorruptErrorCode(HRESULT hr);

// One setting as `ostrel config` shows it: the getter, where it is read, its effective value,
// and whether that came from the registry or is a default (handheld-server rules count as defaults).
struct SettingReport {
    std::wstring wsGetter;
    std::wstring wsLocation;
    std::wstring wsValue;
    bool bFromRegistry = false;
};
// Reads every setting afresh (caches are neither used nor filled, and nothing is written).
std::vector<SettingReport> DescribeSettings();

// For tests only: forgets every cached setting so the next call reads the registry again.
void ResetRegistryConfigCachesForTesting();

}  // namespace Ostrel::Mapi
