// Hardware access layer. Runs at the caller's level (passive at
// initialization, dispatch under Lock on the data path); takes no lock: the
// wrapper's serialization keeps command sequences from interleaving.
#include "mac/talutil.h"

#include "mac/talregs.h"

#define TAL_POLL_STALL_US 5
#define TAL_DOWNLOAD_POLL_STALL_US 1000
#define TAL_PATH_TIMEOUT 100

USHORT talGetIOPortWord(TAL_ADAPTER *Adapter, USHORT port) {
    return READ_PORT_USHORT((PUSHORT)(ULONG_PTR)(Adapter->IoBaseAddrR + port));
}

VOID talPutIOPortWord(TAL_ADAPTER *Adapter, USHORT port, USHORT value) {
    WRITE_PORT_USHORT((PUSHORT)(ULONG_PTR)(Adapter->IoBaseAddrR + port), value);
}

// The poll count is computed in 16 bits on purpose: budgets of 1000 and
// 10000 wrap to 3392 and 33920, and the firmware's timing was tuned to that.
static USHORT pollCount(USHORT timeout) {
    return (USHORT)((timeout / 5) * 1000);
}

USHORT waitbusy(TAL_ADAPTER *Adapter, USHORT cmdTypePort, USHORT timeout) {
    USHORT timeout1 = pollCount(timeout);
    for (USHORT i = 0; (ULONG)i < (ULONG)timeout1 + 1; i++) {
        if ((talGetIOPortWord(Adapter, cmdTypePort) & TAL_BUSY) == 0)
            return TAL_RESULT_OK;
        KeStallExecutionProcessor(TAL_POLL_STALL_US);
    }
    return TAL_RESULT_TIMEOUT;
}

USHORT waitevent(TAL_ADAPTER *Adapter, USHORT eventType, USHORT timeout) {
    USHORT timeout1 = pollCount(timeout);
    for (USHORT i = 0; (ULONG)i < (ULONG)timeout1 + 1; i++) {
        if (talGetIOPortWord(Adapter, TAL_REG_EVSTAT) & eventType)
            return TAL_RESULT_OK;
        // While a firmware block is handed over the card is slow to answer.
        KeStallExecutionProcessor(Adapter->downcheck == 1 ? TAL_DOWNLOAD_POLL_STALL_US
                                                          : TAL_POLL_STALL_US);
    }
    return TAL_RESULT_TIMEOUT;
}

USHORT getCommandResult(TAL_ADAPTER *Adapter) {
    return (USHORT)((talGetIOPortWord(Adapter, TAL_REG_STATUS) & TAL_STATUS_RESULT_MASK) >> 8);
}

// Any acknowledgement of the command event also retires a late completion.
VOID issueEventACK(TAL_ADAPTER *Adapter, USHORT eventACKType) {
    talPutIOPortWord(Adapter, TAL_REG_EVACK, eventACKType);
    if (eventACKType & TAL_EV_CMD)
        Adapter->CmdTimedOut = 0;
}

// One command sequence: busy wait, parameters, command word last, wait for
// the command event, result. nparams says how many of p0..p2 are written.
static USHORT issueCommand(TAL_ADAPTER *Adapter, USHORT CmdType, int nparams, USHORT p0, USHORT p1,
                           USHORT p2, USHORT timeout) {
    if (waitbusy(Adapter, TAL_REG_COMMAND, timeout) != TAL_RESULT_OK) {
        // Clear a stale completion; nothing of this command reaches the card.
        issueEventACK(Adapter, TAL_EV_CMD);
        return TAL_RESULT_TIMEOUT;
    }
    // The previous command completed after its wait gave up: take its event
    // away first (if it comes within this command's budget), or this
    // command would read that command's result as its own.
    if (Adapter->CmdTimedOut) {
        if (waitevent(Adapter, TAL_EV_CMD, timeout) == TAL_RESULT_OK)
            issueEventACK(Adapter, TAL_EV_CMD);
        Adapter->CmdTimedOut = 0;
    }
    if (nparams > 0)
        talPutIOPortWord(Adapter, TAL_REG_PARAM0, p0);
    if (nparams > 1)
        talPutIOPortWord(Adapter, TAL_REG_PARAM1, p1);
    if (nparams > 2)
        talPutIOPortWord(Adapter, TAL_REG_PARAM2, p2);
    talPutIOPortWord(Adapter, TAL_REG_COMMAND, CmdType);

    // A late completion stays pending; the next command retires it first.
    if (waitevent(Adapter, TAL_EV_CMD, timeout) != TAL_RESULT_OK) {
        Adapter->CmdTimedOut = 1;
        return TAL_RESULT_TIMEOUT;
    }

    USHORT result = getCommandResult(Adapter);
    issueEventACK(Adapter, TAL_EV_CMD);
    return result;
}

USHORT issue_Cmd0(TAL_ADAPTER *Adapter, USHORT CmdType, USHORT timeout) {
    return issueCommand(Adapter, CmdType, 0, 0, 0, 0, timeout);
}

USHORT issue_Cmd1(TAL_ADAPTER *Adapter, USHORT CmdType, USHORT p0, USHORT timeout) {
    return issueCommand(Adapter, CmdType, 1, p0, 0, 0, timeout);
}

USHORT issue_Cmd2(TAL_ADAPTER *Adapter, USHORT CmdType, USHORT p0, USHORT p1, USHORT timeout) {
    return issueCommand(Adapter, CmdType, 2, p0, p1, 0, timeout);
}

USHORT issue_Cmd3(TAL_ADAPTER *Adapter, USHORT CmdType, USHORT p0, USHORT p1, USHORT p2,
                  USHORT timeout) {
    return issueCommand(Adapter, CmdType, 3, p0, p1, p2, timeout);
}

// Budget per command; the whole word is the key, so modifier bits select
// their own entry (0x0121 and 0x010B fall to the default).
static USHORT cmdTime(USHORT cmd) {
    switch (cmd) {
    case TAL_CMD_INITIALIZE:
        return 150;
    case TAL_CMD_DIAG:
        return 10000;
    case TAL_CMD_DOWNLOAD_END:
    case TAL_CMD_DOWNLOAD_0122:
    case TAL_CMD_DOWNLOAD_OPEN:
    case TAL_CMD_DOWNLOAD_CLOSE:
        return 1000;
    case TAL_CMD_ENABLE:
    case TAL_CMD_DISABLE:
    case TAL_CMD_ALLOCATE:
    case TAL_CMD_TRANSMIT:
    case TAL_CMD_NOTIFY:
    case TAL_CMD_INQUIRE:
    case TAL_CMD_ACCESS_READ:
    default:
        return 50;
    }
}

USHORT issueCmd0(TAL_ADAPTER *Adapter, USHORT CmdType) {
    return issue_Cmd0(Adapter, CmdType, cmdTime(CmdType));
}

USHORT issueCmd1(TAL_ADAPTER *Adapter, USHORT CmdType, USHORT p0) {
    return issue_Cmd1(Adapter, CmdType, p0, cmdTime(CmdType));
}

USHORT issueCmd2(TAL_ADAPTER *Adapter, USHORT CmdType, USHORT p0, USHORT p1) {
    return issue_Cmd2(Adapter, CmdType, p0, p1, cmdTime(CmdType));
}

USHORT issueCmd3(TAL_ADAPTER *Adapter, USHORT CmdType, USHORT p0, USHORT p1, USHORT p2) {
    return issue_Cmd3(Adapter, CmdType, p0, p1, p2, cmdTime(CmdType));
}

// ---- Buffer access paths: path 0 reads, path 1 writes ----

USHORT getFrame0(TAL_ADAPTER *Adapter, USHORT RIDValue, USHORT *dst, USHORT Offset, USHORT Length) {
    talPutIOPortWord(Adapter, TAL_REG_SELECT0, RIDValue);
    talPutIOPortWord(Adapter, TAL_REG_OFFSET0, Offset);
    if (waitbusy(Adapter, TAL_REG_OFFSET0, TAL_PATH_TIMEOUT) != TAL_RESULT_OK)
        return TAL_RESULT_TIMEOUT;
    for (USHORT n = 0; n < Length; n++)
        dst[n] = talGetIOPortWord(Adapter, TAL_REG_DATA0);
    return TAL_RESULT_OK;
}

USHORT putFrame1(TAL_ADAPTER *Adapter, USHORT RIDValue, const USHORT *src, USHORT Offset,
                 USHORT Length) {
    talPutIOPortWord(Adapter, TAL_REG_SELECT1, RIDValue);
    talPutIOPortWord(Adapter, TAL_REG_OFFSET1, Offset);
    if (waitbusy(Adapter, TAL_REG_OFFSET1, TAL_PATH_TIMEOUT) != TAL_RESULT_OK)
        return TAL_RESULT_TIMEOUT;
    for (USHORT n = 0; n < Length; n++)
        talPutIOPortWord(Adapter, TAL_REG_DATA1, src[n]);
    return TAL_RESULT_OK;
}

// ---- Record protocol ----

// Reads as many words as the caller's RecordLen asks for, whatever length
// word the card delivers first.
USHORT getRecordFrame(TAL_ADAPTER *Adapter, USHORT *pBuffer) {
    USHORT rid = pBuffer[1];
    USHORT words = (USHORT)(pBuffer[0] + 1);
    USHORT status = issueCmd1(Adapter, TAL_CMD_ACCESS_READ, rid);
    if (status != TAL_RESULT_OK)
        return status;
    return getFrame0(Adapter, rid, pBuffer, 0, words);
}

USHORT putRecordFrame(TAL_ADAPTER *Adapter, USHORT *pBuffer) {
    USHORT rid = pBuffer[1];
    USHORT status = putFrame1(Adapter, rid, pBuffer, 0, (USHORT)(pBuffer[0] + 1));
    if (status != TAL_RESULT_OK)
        return status;
    return issueCmd1(Adapter, TAL_CMD_ACCESS_WRITE, rid);
}

VOID talRecordInit(Record_Buffer *Rec, USHORT RecordLen, USHORT Rid) {
    NdisZeroMemory(Rec, sizeof(*Rec));
    Rec->RecordLen = RecordLen;
    Rec->RID = Rid;
}

USHORT talRecordWord(const Record_Buffer *Rec, USHORT n) {
    return (USHORT)(Rec->Data[2 * n] | (Rec->Data[2 * n + 1] << 8));
}

VOID talSetRecordWord(Record_Buffer *Rec, USHORT n, USHORT value) {
    Rec->Data[2 * n] = (UCHAR)value;
    Rec->Data[2 * n + 1] = (UCHAR)(value >> 8);
}

// ---- Byte routines ----

VOID talMemcpy(PVOID dst, const VOID *src, UCHAR count) {
    PUCHAR d = (PUCHAR)dst;
    const UCHAR *s = (const UCHAR *)src;
    for (UCHAR i = 0; i < count; i++)
        d[i] = s[i];
}

VOID talMemset(PVOID dst, UCHAR value, UCHAR length) {
    PUCHAR d = (PUCHAR)dst;
    for (UCHAR i = 0; i < length; i++)
        d[i] = value;
}

static BOOLEAN hexNibble(UCHAR c, PUCHAR nibble) {
    if (c >= '0' && c <= '9')
        *nibble = (UCHAR)(c - '0');
    else if (c >= 'a' && c <= 'f')
        *nibble = (UCHAR)(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
        *nibble = (UCHAR)(c - 'A' + 10);
    else
        return FALSE;
    return TRUE;
}

// byteTemp2 is the high nibble, byteTemp1 the low one.
BOOLEAN talBYTE2Hex(UCHAR byteTemp1, UCHAR byteTemp2, PUCHAR value) {
    UCHAR low, high;
    if (!hexNibble(byteTemp1, &low))
        return FALSE;
    if (!hexNibble(byteTemp2, &high))
        return FALSE;
    *value = (UCHAR)(high * 16 + low);
    return TRUE;
}
