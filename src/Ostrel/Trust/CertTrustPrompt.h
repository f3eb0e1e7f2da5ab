// The question put to the user about a certificate that failed verification.
#pragma once

#include <string>
#include <vector>

#include "Platform/Crypto/Cert.h"
#include "Platform/Ui/Ui.h"

namespace Ostrel::Mapi {

// One line per problem bit set in `dwIssues` (the connection's secure-failure flags).
std::vector<std::wstring> CertIssueTexts(DWORD dwIssues);

// Bytes as upper-case hexadecimal pairs separated by colons.
std::wstring ColonHex(const BYTE* pb, size_t cb);

// The dialog's texts: what was running (`iOperation`, the connection's purpose 0 to 5), why the
// question comes up (`bExpired`: an earlier trust ran out; `bNewCert`: a trusted server changed
// its certificate), the warning (`bTrustable`: whether the problems may be overridden), subject,
// issuer, validity, problems and both fingerprints of `pCert`. The periods are left to the caller.
Platform::Ui::CertTrustPrompt BuildCertTrustPrompt(PCCERT_CONTEXT pCert, DWORD dwIssues, const std::wstring& wsServer,
                                                   int iOperation, bool bTrustable, bool bExpired, bool bNewCert);

}  // namespace Ostrel::Mapi
