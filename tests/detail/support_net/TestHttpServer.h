#pragma once

// The responder now lives in tests/support, shared by every test folder.
#include "../../support/TestHttpServer.h"
