// The WDK's wdm.h is a subset of ntddk.h; the host kernel offers one set for both.
#pragma once
#include "ntddk.h"
