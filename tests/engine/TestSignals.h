#pragma once

// The graph harness now lives in tests/common; this name stays for suites that include it.
#include "common/GraphRig.h"
