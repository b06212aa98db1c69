// Hardware access: port words, bounded waits, commands and events, the two
// buffer access paths, the record protocol and the byte routines.
#pragma once

#include "driver/taladapter.h"

// A MAC record exactly as it travels through a buffer access path.
typedef struct _Record_Buffer {
    USHORT RecordLen; // words that follow, the RID word included
    USHORT RID;
    UCHAR Data[250];
} Record_Buffer;

USHORT talGetIOPortWord(TAL_ADAPTER *Adapter, USHORT port);
VOID talPutIOPortWord(TAL_ADAPTER *Adapter, USHORT port, USHORT value);

USHORT waitbusy(TAL_ADAPTER *Adapter, USHORT cmdTypePort, USHORT timeout);
USHORT waitevent(TAL_ADAPTER *Adapter, USHORT eventType, USHORT timeout);
USHORT getCommandResult(TAL_ADAPTER *Adapter);
VOID issueEventACK(TAL_ADAPTER *Adapter, USHORT eventACKType);

USHORT issue_Cmd0(TAL_ADAPTER *Adapter, USHORT CmdType, USHORT timeout);
USHORT issue_Cmd1(TAL_ADAPTER *Adapter, USHORT CmdType, USHORT p0, USHORT timeout);
USHORT issue_Cmd2(TAL_ADAPTER *Adapter, USHORT CmdType, USHORT p0, USHORT p1, USHORT timeout);
USHORT issue_Cmd3(TAL_ADAPTER *Adapter, USHORT CmdType, USHORT p0, USHORT p1, USHORT p2,
                  USHORT timeout);
USHORT issueCmd0(TAL_ADAPTER *Adapter, USHORT CmdType);
USHORT issueCmd1(TAL_ADAPTER *Adapter, USHORT CmdType, USHORT p0);
USHORT issueCmd2(TAL_ADAPTER *Adapter, USHORT CmdType, USHORT p0, USHORT p1);
USHORT issueCmd3(TAL_ADAPTER *Adapter, USHORT CmdType, USHORT p0, USHORT p1, USHORT p2);

USHORT getFrame0(TAL_ADAPTER *Adapter, USHORT RIDValue, USHORT *dst, USHORT Offset, USHORT Length);
USHORT putFrame1(TAL_ADAPTER *Adapter, USHORT RIDValue, const USHORT *src, USHORT Offset,
                 USHORT Length);
USHORT getRecordFrame(TAL_ADAPTER *Adapter, USHORT *pBuffer);
USHORT putRecordFrame(TAL_ADAPTER *Adapter, USHORT *pBuffer);

// A record buffer zeroed, with its length and identifier set: words the
// driver does not fill go to the card as zero, and a failed read leaves
// defined content behind.
VOID talRecordInit(Record_Buffer *Rec, USHORT RecordLen, USHORT Rid);
// Word n of a record's data, and its setter (little-endian, byte-wise).
USHORT talRecordWord(const Record_Buffer *Rec, USHORT n);
VOID talSetRecordWord(Record_Buffer *Rec, USHORT n, USHORT value);

// Byte routines (8-bit counts).
VOID talMemcpy(PVOID dst, const VOID *src, UCHAR count);
VOID talMemset(PVOID dst, UCHAR value, UCHAR length);
BOOLEAN talBYTE2Hex(UCHAR byteTemp1, UCHAR byteTemp2, PUCHAR value);
