// IStream over one property of an object. It reads a copy of the value; written content goes back to
// the object on Commit (and on the last Release when not committed), as a property change that the
// object's own SaveChanges then keeps.
#pragma once

#include <functional>
#include <string>

#include "Platform/Com/Stream.h"
#include "Platform/Mapi/Props/PropCodec.h"

namespace Platform::Mapi {

// commit receives the new value (tag and stored bytes) and keeps the owner alive as long as needed.
HRESULT CreatePropStream(const StoredProp* pCurrent, ULONG ulTag, bool bWritable,
                         std::function<HRESULT(const StoredProp&)> commit, IStream** ppStream);

// Opens a stream for OpenProperty(IID_IStream) on the properties of an object: checks the type and
// flags, takes the current value from props.
HRESULT OpenPropertyStream(const PropMap& props, ULONG ulPropTag, ULONG ulInterfaceOptions, ULONG ulFlags,
                           bool bObjectWritable, std::function<HRESULT(const StoredProp&)> commit, IUnknown** ppUnk);

}  // namespace Platform::Mapi
