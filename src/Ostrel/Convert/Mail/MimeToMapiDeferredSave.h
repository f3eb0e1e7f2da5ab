// The target message as the host's converter sees it: every call goes on to the message, except
// that the converter's own save is held back. The conversion saves once, after it has written the
// server's values, so the store never holds the converter's result without them, a failed
// conversion never leaves a saved message behind, and each message costs one store transaction.
#pragma once

#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/Mapi.h"

Platform::ComPtr<IMessage> CreateDeferredSaveMessage(IMessage* pInner);
