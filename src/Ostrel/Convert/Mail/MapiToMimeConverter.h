// The own MAPI-to-MIME writer: a store message into a mimepp message through MapiMessageWrapper.
#pragma once

#include <string>

#include "Ostrel/Convert/Mail/MapiMessageWrapper.h"

class MapiToMimeConverter : public MapiMessageWrapper {
public:
    MapiToMimeConverter(mimepp::Message& target, IMimeConvertSupport* pSupport, int iDepth = 0);

    // Initialize, then ToMime into the target; the first failure is returned.
    HRESULT Convert(IMessage* pMessage);

private:
    mimepp::Message& m_target;
};

// The message as MIME text written by the own converter.
HRESULT MapiToMimeText(IMessage* pMessage, IMimeConvertSupport* pSupport, std::string& sMime);
