// The flag every process that uses the mappers shares: 0 until the first process has loaded (and
// if need be verified) a mapper file, then 1 until the last such process ends. A process that
// finds it 0 knows that no other one is running, so tentative records it meets were left by a
// process that died.
#pragma once

#include "Platform/Base/WinTypes.h"

namespace Ostrel::Mapi {

ULONG GetIdmVerified();
void SetIdmVerified(ULONG ulValue);

}  // namespace Ostrel::Mapi
