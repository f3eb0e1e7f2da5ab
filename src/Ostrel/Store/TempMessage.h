// Messages outside the user's folders (temporary messages and clones that vanish when released)
// and messages written to files as MIME text.
#pragma once

#include "Platform/Mapi/Mapi.h"

namespace Ostrel::Mapi {

// A new temporary message, of the class pwszClass when given. Saved once, so that it has its
// entry id and search key; it goes with its last reference.
HRESULT CreateTmpMsg(IMessage** ppMessage, const wchar_t* pwszClass);
// A temporary copy of pSource with its properties (named ones under the copy's ids), recipients
// and attachments; of the class pwszClass when given. pStore is the store pSource belongs to,
// used only for diagnostics when the copy fails.
HRESULT CloneMessage(IMessage* pSource, IMessage** ppClone, const wchar_t* pwszClass, IMsgStore* pStore);
// The message as MIME text into a new file (an existing one is replaced; a symbolic link is
// refused). A file that could not be written completely is removed.
HRESULT WriteMessageToFile(IMessage* pMessage, const wchar_t* pwszPath);
HRESULT WriteMimeToFile(const char* pszMime, const wchar_t* pwszPath);

}  // namespace Ostrel::Mapi
