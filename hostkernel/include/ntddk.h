// The host kernel's counterpart of the WDK's ntddk.h: everything a driver of this project may
// call, with the WDK's names, signatures and semantics. See hostkernel/README.md.
#pragma once

#include "hk_base.h"
#include "hk_rtl.h"
#include "hk_ke.h"
#include "hk_ex.h"
#include "hk_dbg.h"
#include "hk_mm.h"
#include "hk_zw.h"

#if __has_include("hk_io.h")
#include "hk_io.h"
#endif
