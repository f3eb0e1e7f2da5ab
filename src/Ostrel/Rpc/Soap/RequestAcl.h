// The folder access-control list the requests send lives with the shared item types.
#pragma once

#include "Ostrel/Model/Acl.h"
