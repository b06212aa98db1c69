// The card's WEP records: default key id, the four default keys, the WEP
// flags word and the authentication type. Same pattern as the other record
// accessors: 0 or the record layer's result code.
#pragma once

#include "driver/taladapter.h"

// Bits of the WEP flags word as the driver composes it.
#define TAL_WEPFLAG_MODE_MASK 0x000F    // privacy mode (the caller's low 4 bits)
#define TAL_WEPFLAG_HOST_ENCRYPT 0x0010 // the host encrypts
#define TAL_WEPFLAG_IVREUSE_MASK 0x0060 // IV reuse factor of firmware encryption
#define TAL_WEPFLAG_IVREUSE_3 0x0060
#define TAL_WEPFLAG_IVREUSE_2 0x0040
#define TAL_WEPFLAG_IVREUSE_1 0x0020
#define TAL_WEPFLAG_HOST_DECRYPT 0x0080 // the host decrypts

USHORT getWEPDefaultKeyID(TAL_ADAPTER *Adapter, USHORT *value);
USHORT setWEPDefaultKeyID(TAL_ADAPTER *Adapter, USHORT value);
USHORT setWEPDefaultKey0(TAL_ADAPTER *Adapter, PUCHAR byteString);
USHORT setWEPDefaultKey1(TAL_ADAPTER *Adapter, PUCHAR byteString);
USHORT setWEPDefaultKey2(TAL_ADAPTER *Adapter, PUCHAR byteString);
USHORT setWEPDefaultKey3(TAL_ADAPTER *Adapter, PUCHAR byteString);
USHORT getWEPFlags(TAL_ADAPTER *Adapter, USHORT *value);
USHORT setWEPFlags(TAL_ADAPTER *Adapter, USHORT value);
USHORT getAuthentication(TAL_ADAPTER *Adapter, USHORT *value);
USHORT setAuthentication(TAL_ADAPTER *Adapter, USHORT value);

// The flags word setWEPFlags writes for `value` with the adapter's settings.
USHORT talComposeWEPFlags(const TAL_ADAPTER *Adapter, USHORT value);
