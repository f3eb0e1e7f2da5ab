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

// Subject, issuer, validity, problems and both fingerprints of `pCert`; the periods are left to
// the caller. `bExpired`: an earlier trust ran out; `bNewCert`: a trusted server changed its
// certificate.
Platform::Ui::CertTrustPrompt BuildCertTrustPrompt(PCCERT_CONTEXT pCert, DWORD dwIssues, const std::wstring& wsServer,
                                                   bool bExpired, bool bNewCert);

}  // namespace Ostrel::Mapi
