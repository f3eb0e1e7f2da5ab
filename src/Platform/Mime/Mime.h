// The mimepp MIME library: parse, inspect, change and write MIME messages (built on GMime).
#pragma once

#include "Platform/Mime/Address.h"
#include "Platform/Mime/Body.h"
#include "Platform/Mime/Coders.h"
#include "Platform/Mime/DateTime.h"
#include "Platform/Mime/Disposition.h"
#include "Platform/Mime/EncodedWord.h"
#include "Platform/Mime/Entity.h"
#include "Platform/Mime/Field.h"
#include "Platform/Mime/FieldBody.h"
#include "Platform/Mime/Headers.h"
#include "Platform/Mime/MediaType.h"
#include "Platform/Mime/MsgId.h"
#include "Platform/Mime/Node.h"
#include "Platform/Mime/Parameter.h"
#include "Platform/Mime/String.h"
#include "Platform/Mime/TransferEncoding.h"
