// Everything of the COM stand-in in one include.
#pragma once

#include "Platform/Com/ComApi.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Com/FileStream.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Com/Stream.h"
#include "Platform/Com/StreamUtil.h"
#include "Platform/Com/Unknown.h"
