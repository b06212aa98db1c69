// A driver-side source that includes every header of the driver folders and,
// through driver/talplat.h, the platform's declarations: compiled as the
// driver's sources are, it must build.
#include "datapath/interrupt.h"
#include "datapath/talsend.h"
#include "datapath/transfer.h"
#include "download/taldown.h"
#include "driver/taladapter.h"
#include "driver/talmain.h"
#include "driver/taloids.h"
#include "driver/talplat.h"
#include "driver/talpower.h"
#include "mac/talregs.h"
#include "mac/talrid.h"
#include "mac/talutil.h"
#include "mgmt/talmgmt.h"
#include "wep/talwep.h"
#include "wep/talwepkey.h"

// The probe gets the driver's options, not only its include path.
#if defined(__cpp_exceptions) || defined(__cpp_rtti) || !defined(DBG)
#error a driver source is compiled without exceptions and RTTI, with DBG
#endif
