// `ostrel trust list|show|forget`: the server certificates the user chose to trust although they
// failed verification, as the trust manager keeps them for every process of the user.
#pragma once

#include "Cli.h"

namespace OstrelCli {

extern const char* const kTrustSummary;
extern const char* const kTrustUsage;
int RunTrust(const std::vector<std::string>& args, Context& context);

// Installs the process's certificate trust manager: a certificate that fails verification is
// asked about on the terminal, and earlier decisions count.
void InstallCertTrust();

}  // namespace OstrelCli
