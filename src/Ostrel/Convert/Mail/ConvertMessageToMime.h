// A store message as MIME text for the server: through the host's converter session (the default)
// with the fix-ups its output needs, or through the own writer for the classes MimeConfig names.
#pragma once

#include "Platform/Mapi/MapiInterfaces.h"

// *ppStream receives the MIME text (at its start) and size its length. pwszTempDir is the folder of
// the temporary file that holds the text (the system's temporary folder when null).
HRESULT ConvertMessageToMime(IMessage* pMessage, IAddrBook* pAddrBook, IStream** ppStream, unsigned int& size,
                             const wchar_t* pwszTempDir);

// The same with the writer given: the own one (bOwnConverter) or the converter session. Both
// outputs go through the same fix-ups.
HRESULT ConvertMessageToMimeWith(bool bOwnConverter, IMessage* pMessage, IAddrBook* pAddrBook, IStream** ppStream,
                                 unsigned int& size, const wchar_t* pwszTempDir);
