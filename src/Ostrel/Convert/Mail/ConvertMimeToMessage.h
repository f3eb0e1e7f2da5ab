// A plain conversion of MIME text into a store message through the host's converter, without the
// server's bookkeeping: for messages the store provider builds itself (a draft saved again, a
// message restored from a file).
#pragma once

#include <string>

#include "Platform/Mapi/Mapi.h"

// Converts the text (the stream's content from its start when pStream is given, else the
// buffer) into pMsg, which the converter saves. A partial completion sets bPartial and the
// report text and still succeeds; a failure sets bFailed and the report text and returns the
// converter's result.
HRESULT ConvertMimeToMessage(IMessage* pMsg, IAddrBook* pAddrBook, const char* pMime, unsigned int cbLength,
                             IStream* pStream, int& bPartial, int& bFailed, std::wstring& wsReport);
