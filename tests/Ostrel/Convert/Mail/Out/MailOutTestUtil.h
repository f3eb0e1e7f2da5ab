// Shared helpers of the outgoing mail tests: a store per test, store messages built from a small
// text description (the golden data set), the MIME text of a stream, and the normalised form the
// golden files hold.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/MapiInterfaces.h"
#include "Support/Files.h"
#include "Support/InboxStore.h"

namespace MailOutTest {

using Platform::ComPtr;

class StoreFixture : public TestSupport::InboxStore {
protected:
    // A saved message built from a description (see BuildMessage).
    ComPtr<IMessage> FromDescription(const std::string& text);
    // MIME text into a new saved message through the converter session.
    ComPtr<IMessage> FromMime(const std::string& mime);
};

// Fills a message from a description, one "key: value" per line ('#' starts a comment). Message keys:
// class, subject, topic, body, html, cpid, codepage, submit (YYYY-MM-DDTHH:MM:SSZ), delivery,
// importance, index (hex), from and sender ("Name <address>"), to, cc, bcc (one recipient each),
// reply-to. "attach:" starts an attachment whose keys follow indented by two more blanks: method,
// name, long-name, long-name8 (8-bit bytes), display-name, mime, cid, location, disposition, flags,
// attachment-flags, data, data-hex, and "embedded:" whose message follows indented by two more. Values take the escapes
// \n \r \t \\ and \xHH.
HRESULT BuildMessage(IMessage* pMessage, const std::string& description);

// The whole content of a stream from its start.
std::string StreamText(IStream* pStream);
// MIME text with boundaries numbered in order of appearance, Date and Message-ID values replaced,
// CRLF shown as a line end and lone CR or LF marked.
std::string Normalise(const std::string& mime);

using TestSupport::ReadFile;
using TestSupport::WriteFile;
std::filesystem::path DataDir();

}  // namespace MailOutTest
