// WEP records of the card. No lock: run from the configuration pass and the
// request handlers, serialized by the wrapper.
#include "wep/talwepkey.h"

#include "mac/talrid.h"
#include "mac/talutil.h"

#define TAL_WEP_MODE_104 7
#define TAL_KEY40_BYTES 6   // 5 key bytes and a zero byte
#define TAL_KEY104_BYTES 14 // 13 key bytes and a zero byte

static USHORT talReadWord(TAL_ADAPTER *Adapter, USHORT RecordLen, USHORT Rid, USHORT *value) {
    Record_Buffer Rec;
    talRecordInit(&Rec, RecordLen, Rid);
    USHORT status = getRecordFrame(Adapter, (USHORT *)&Rec);
    *value = (USHORT)(talRecordWord(&Rec, 0) & 0xFF);
    return status;
}

static USHORT talWriteBytes(TAL_ADAPTER *Adapter, USHORT RecordLen, USHORT Rid, const UCHAR *bytes,
                            USHORT count) {
    Record_Buffer Rec;
    talRecordInit(&Rec, RecordLen, Rid);
    for (USHORT i = 0; i < count; i++)
        Rec.Data[i] = bytes[i];
    return putRecordFrame(Adapter, (USHORT *)&Rec);
}

static USHORT talWriteWord(TAL_ADAPTER *Adapter, USHORT RecordLen, USHORT Rid, USHORT value) {
    UCHAR w[2] = {(UCHAR)value, (UCHAR)(value >> 8)};
    return talWriteBytes(Adapter, RecordLen, Rid, w, 2);
}

USHORT getWEPDefaultKeyID(TAL_ADAPTER *Adapter, USHORT *value) {
    return talReadWord(Adapter, TAL_RECLEN_WORD, TAL_RID_WEP_KEY_ID, value);
}

USHORT setWEPDefaultKeyID(TAL_ADAPTER *Adapter, USHORT value) {
    return talWriteWord(Adapter, TAL_RECLEN_WORD, TAL_RID_WEP_KEY_ID, value);
}

// Key 0 carries one 104-bit key in that mode, else a 40-bit key.
USHORT setWEPDefaultKey0(TAL_ADAPTER *Adapter, PUCHAR byteString) {
    if (Adapter->WepRequired == TAL_WEP_MODE_104)
        return talWriteBytes(Adapter, TAL_RECLEN_KEY104, TAL_RID_WEP_KEY0, byteString,
                             TAL_KEY104_BYTES);
    return talWriteBytes(Adapter, TAL_RECLEN_KEY40, TAL_RID_WEP_KEY0, byteString, TAL_KEY40_BYTES);
}

USHORT setWEPDefaultKey1(TAL_ADAPTER *Adapter, PUCHAR byteString) {
    return talWriteBytes(Adapter, TAL_RECLEN_KEY40, TAL_RID_WEP_KEY1, byteString, TAL_KEY40_BYTES);
}

USHORT setWEPDefaultKey2(TAL_ADAPTER *Adapter, PUCHAR byteString) {
    return talWriteBytes(Adapter, TAL_RECLEN_KEY40, TAL_RID_WEP_KEY2, byteString, TAL_KEY40_BYTES);
}

USHORT setWEPDefaultKey3(TAL_ADAPTER *Adapter, PUCHAR byteString) {
    return talWriteBytes(Adapter, TAL_RECLEN_KEY40, TAL_RID_WEP_KEY3, byteString, TAL_KEY40_BYTES);
}

USHORT getWEPFlags(TAL_ADAPTER *Adapter, USHORT *value) {
    return talReadWord(Adapter, TAL_RECLEN_WORD, TAL_RID_WEP_FLAGS, value);
}

USHORT talComposeWEPFlags(const TAL_ADAPTER *Adapter, USHORT value) {
    USHORT wepflag = (USHORT)(value & TAL_WEPFLAG_MODE_MASK);
    if (Adapter->EncryptInDriver == 1)
        wepflag |= TAL_WEPFLAG_HOST_ENCRYPT;
    if (Adapter->DecryptInDriver == 1)
        wepflag |= TAL_WEPFLAG_HOST_DECRYPT;
    if (Adapter->WEPIVReuse == 3)
        wepflag |= TAL_WEPFLAG_IVREUSE_3;
    else if (Adapter->WEPIVReuse == 2)
        wepflag |= TAL_WEPFLAG_IVREUSE_2;
    else if (Adapter->WEPIVReuse == 1)
        wepflag |= TAL_WEPFLAG_IVREUSE_1;
    return wepflag;
}

USHORT setWEPFlags(TAL_ADAPTER *Adapter, USHORT value) {
    return talWriteWord(Adapter, TAL_RECLEN_WORD, TAL_RID_WEP_FLAGS,
                        talComposeWEPFlags(Adapter, value));
}

USHORT getAuthentication(TAL_ADAPTER *Adapter, USHORT *value) {
    return talReadWord(Adapter, TAL_RECLEN_AUTH, TAL_RID_AUTHENTICATION, value);
}

USHORT setAuthentication(TAL_ADAPTER *Adapter, USHORT value) {
    return talWriteWord(Adapter, TAL_RECLEN_AUTH, TAL_RID_AUTHENTICATION, value);
}
