// Repairs around the conversions between MIME text and store messages: each one changes only what it
// must and writes the MIME text back only when it changed something. A failing step leaves the
// text as it was and returns its HRESULT; the conversion that called the repair goes on.
#pragma once

#include "Platform/Mapi/MapiInterfaces.h"

// Adds the Bcc header that clients before version 12 leave out of their MIME text, after To (else
// Cc, else From). Does nothing for later clients, without Bcc recipients, or when the text has one.
HRESULT WorkaroundBCC(IMessage* pMessage, IStream* pStream);

// Meeting messages: a lone calendar part becomes multipart/alternative of text, HTML and the
// calendar, and attendees the client wrote as "invalid:nomail" get their recipient's address (or
// are dropped when no recipient matches). pwszSenderAddress, the account that sends, becomes the
// organizer's SENT-BY when the organizer is someone else; pwszOrganizerAddress replaces an
// organizer written as "invalid:nomail". Either may be null.
HRESULT MtgRequestFix(IMessage* pMessage, IStream** ppStream, unsigned int& size, const wchar_t* pwszSenderAddress,
                      const wchar_t* pwszOrganizerAddress);

// Adds a Thread-Topic header (the conversation topic, else the subject). The text is written to a
// new stream that replaces *ppStream; size is its new length.
HRESULT SetThreadTopic(IMessage* pMessage, IStream** ppStream, unsigned int& size);

// Attachments whose name contains ".PDF" (any case) sent quoted-printable are re-encoded Base64.
HRESULT FixMimeForSpecialAttachments(IMessage* pMessage, IStream** ppStream, unsigned int& size);

// Recipients whose display name holds ':' get '_' instead and are resolved again; the message is
// saved. Non-zero when recipients were changed. The stream is not read.
int WorkAroundRecepientForSpecialChars(IMessage** ppMessage, IStream* pStream);
