// English display texts, one per resource key.
#include "Util/Text/LocalizedTable.h"

namespace Ostrel::Util::LocalizedDetail {

const Entry kEntries[] = {
    // Certificate trust dialog.
    {"DLG_CERT_TRUST_TITLE", L"Server Certificate Warning"},
    {"DLG_CERT_TRUST_LBL_LIST", L"A secure connection to the server could not be established."},
    {"DLG_CERT_TRUST_LBL_LIST_SUBMIT",
     L"A secure connection to the server could not be established while sending your message."},
    {"DLG_CERT_TRUST_LBL_LIST_SYNC",
     L"A secure connection to the server could not be established while synchronizing your mailbox."},
    {"DLG_CERT_TRUST_LBL_LIST_GALSYNC",
     L"A secure connection to the server could not be established while synchronizing the global address list."},
    {"DLG_CERT_TRUST_LBL_LIST_WAITSET",
     L"A secure connection to the server could not be established while checking for new items."},
    {"DLG_CERT_TRUST_LBL_LIST_AUTOUPGRADE",
     L"A secure connection to the server could not be established while checking for updates."},
    {"DLG_CERT_TRUST_LBL_LIST_ADDITIONAL_TIME_EXPIRED",
     L"The period for which you chose to trust the server's certificate has ended."},
    {"DLG_CERT_TRUST_LBL_LIST_ADDITIONAL_NEW_CERT",
     L"The server now presents a different certificate from the one you trusted before."},
    {"DLG_CERT_TRUST_LBL_WARNING",
     L"The server's certificate has the problems listed below. Connect only if you are sure that this is your server."},
    {"DLG_CERT_TRUST_LBL_WARNING_CANT_TRUST",
     L"The server's certificate has the problems listed below, which cannot be overridden. A connection is not "
     L"possible."},
    {"DLG_CERT_TRUST_LBSTRING_REVOKE_CHECK_FAILED", L"Whether the certificate has been revoked could not be checked."},
    {"DLG_CERT_TRUST_LBSTRING_CORRUPT", L"The certificate is damaged or cannot be read."},
    {"DLG_CERT_TRUST_LBSTRING_REVOKED", L"The certificate has been revoked by its issuer."},
    {"DLG_CERT_TRUST_LBSTRING_UNKNOWN_CA", L"The certificate was issued by an authority that is not trusted."},
    {"DLG_CERT_TRUST_LBSTRING_INVALID_CN", L"The name in the certificate does not match the name of the server."},
    {"DLG_CERT_TRUST_LBSTRING_INVALID_DATE", L"The certificate has expired or is not valid yet."},
    {"DLG_CERT_TRUST_LBSTRING_WRONG_USAGE", L"The certificate is not meant to identify a server."},
    {"DLG_CERT_TRUST_LBSTRING_SECURITY_CHANNEL_ERROR", L"A secure channel to the server could not be set up."},
    {"DLG_CERT_TRUST_CBSTRING_THIS_SESSION", L"For this session only"},
    {"DLG_CERT_TRUST_CBSTRING_5_MINS", L"For 5 minutes"},
    {"DLG_CERT_TRUST_CBSTRING_1_HOUR", L"For 1 hour"},
    {"DLG_CERT_TRUST_CBSTRING_1_DAY", L"For 1 day"},
    {"DLG_CERT_TRUST_CBSTRING_1_WEEK", L"For 1 week"},
    {"DLG_CERT_TRUST_CBSTRING_1_MONTH", L"For 1 month"},
    {"DLG_CERT_TRUST_BUT_VIEW_CERT", L"View Certificate"},
    {"DLG_CERT_TRUST_BUT_DETAILS", L"Details"},
    {"DLG_CERT_TRUST_BUT_CONNECT", L"Connect"},
    {"DLG_CERT_TRUST_BUT_DONT_CONNECT", L"Don't Connect"},

    // Connection state shown in the status area. TRUSTING is completed with the end of the trust
    // period: a date and time, or IDC_OSTREL_HTTP_TRUST_UNTIL_RESTART.
    {"IDT_OSTREL_HTTP_CONNECTION_OFFLINE", L"Offline"},
    {"IDT_OSTREL_HTTP_CONNECTION_SECURE", L"Connected securely"},
    {"IDT_OSTREL_HTTP_CONNECTION_INSECURE", L"Connected without encryption"},
    {"IDT_OSTREL_HTTP_CONNECTION_TRUSTING", L"Connected with an untrusted certificate, accepted until %s"},
    {"IDC_OSTREL_HTTP_TRUST_UNTIL_RESTART", L"the end of this session"},

    // Message boxes and their captions.
    {"MBOX_CAPTION_ERR", L"Ostrel Error"},
    {"MBOX_CAPTION_MAPIERR", L"Mail Store Error"},
    {"MBOX_BAD_OFFICE",
     L"The mail store of this profile could not be located, so its items cannot be matched with the server. This "
     L"version of the mail client may not be supported. The application will now close."},
    {"MBOX_DOM_CREATION_FAILED", L"An XML document could not be created. The system may be low on memory."},
    {"MBOX_INVALIDTAG",
     L"Signing in to the account %s failed because the server gave an unexpected answer. Please try again later or "
     L"contact your administrator."},
    {"MBOX_CAPTION_CONNSETMISMATCH", L"Connection Settings Do Not Match"},
    {"MBOX_CONNSETMISMATCH",
     L"The server could not be reached with the connection settings of this profile: it does not accept the secure "
     L"(SSL) setting that is configured. Check the server name, port and secure connection setting of the account. You "
     L"will work offline until then."},
    {"MBOX_CAPTION_CONFIRM_DONT_CONNECT", L"Don't Connect"},
    {"MBOX_CONFIRM_DONT_CONNECT",
     L"If you do not connect, the operation that needs the server will not be completed. Do you want to continue "
     L"without connecting?"},
    {"MBOX_CAPTION_CONFIRM_OFFLINE", L"Work Offline"},
    {"MBOX_CONFIRM_OFFLINE",
     L"If you do not connect, you will work offline and will not send or receive items until you connect again. Do you "
     L"want to work offline?"},

    // Id mapper migration progress.
    {"IDMAP_LOADING", L"Loading the item index of your mailbox..."},
    {"IDMAP_APPLY_PERF", L"Converting the item index of your mailbox..."},

    // Sign-in prompt.
    {"PASSWORD_DIALOG_CAPTION", L"Sign In"},
    {"PASSWORD_DIALOG_IDOK", L"OK"},
    {"PASSWORD_DIALOG_IDCANCEL", L"Cancel"},
    {"PASSWORD_DIALOG_IDC_UNABLE", L"The server did not accept your user name or password."},
    {"PASSWORD_DIALOG_IDC_USERNAME", L"User name:"},
    {"PASSWORD_DIALOG_IDC_PASSWORD", L"Password:"},
    {"PASSWORD_DIALOG_IDC_CONFIRM2", L"Enter your password to go on working with the server."},

    // Two-factor code prompt.
    {"TWOFACTOR_DIALOG_CAPTION", L"Two-Step Verification"},
    {"TWOFACTOR_DIALOG_IDOK", L"OK"},
    {"TWOFACTOR_DIALOG_IDCANCEL", L"Cancel"},
    {"TWOFACTOR_DIALOG_IDC_CODE", L"Verification code:"},
    {"TWOFACTOR_DIALOG_IDC_REMEMBER", L"Trust this device"},
    {"TWOFACTOR_SETUP_REQUIRED",
     L"Your account requires two-step verification, which has not been set up yet. Set it up in the web client, then "
     L"sign in again."},
    {"TWOFACTOR_SWITCHING_OFFLINE",
     L"No verification code was entered. You will work offline until you sign in again."},

    // New password prompt.
    {"CHANGE_PASSWORD_CAPTION", L"Change Password"},
    {"CHANGE_PASSWORD_IDOK", L"Change"},
    {"CHANGE_PASSWORD_IDC_NEWPASSWORD_L", L"New password:"},
    {"CHANGE_PASSWORD_IDC_CONFIRM_L", L"Confirm new password:"},
    {"CHANGE_PASSWORD_IDC_INVALID",
     L"The two passwords do not match or are empty. Enter the same new password in both fields."},
};

const size_t kEntryCount = sizeof kEntries / sizeof kEntries[0];

}  // namespace Ostrel::Util::LocalizedDetail
