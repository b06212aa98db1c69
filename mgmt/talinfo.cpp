// Information frames, link status and the site survey. getInfoFrame runs
// in the event loop with Lock held (its indications and the vendor request
// too); the inquiries and the survey steps run from the query handler,
// serialized with the loop by the wrapper (the card resets take Lock).
#include "mgmt/talmgmt.h"

#include "mac/talregs.h"

#define TAL_INFO_TALLIES 0xF100
#define TAL_INFO_SCAN_RESULTS 0xF101
#define TAL_INFO_LINK_STATUS 0xF200

#define TAL_INFO_HEAD_WORDS 5   // read first: length, type, the start of the data
#define TAL_INFO_MAX_WORDS 100  // the largest tallies frame read
#define TAL_SCAN_CLAMP_FROM 500 // a scan results length from here on...
#define TAL_SCAN_CLAMP_TO 490   // ...is read as this one
#define TAL_TALLY_COUNT (sizeof(_TALLIES_INFO_STRUCT) / sizeof(ULONG))

#define TAL_LINK_CONNECTED 1
#define TAL_LINK_AP_CHANGED 3
#define TAL_LINK_IN_RANGE 5
#define TAL_NETWORK_MODE_INFRA 1

static const UCHAR TalAnyName[4] = {'A', 'N', 'Y', 0};

static_assert(__builtin_offsetof(TAL_ADAPTER, scan_buffer) % 2 == 0,
              "the scan results frame is read into scan_buffer word by word");

static VOID talIndicate(TAL_ADAPTER *Adapter, NDIS_STATUS Status) {
    NdisMIndicateStatus(Adapter->MiniportAdapterHandle, Status, NULL, 0);
    NdisMIndicateStatusComplete(Adapter->MiniportAdapterHandle);
}

// Link status: only an adapter with an access point follows it. A code of
// 1, 3 or 5 is a link; whatever contradicts the state held is reported.
static VOID talLinkStatus(TAL_ADAPTER *Adapter, USHORT Code) {
    LONG Connected;
    if (Adapter->NetworkMode != TAL_NETWORK_MODE_INFRA)
        return;
    Adapter->LinkStatus = Code;
    Connected =
        (Code == TAL_LINK_CONNECTED || Code == TAL_LINK_AP_CHANGED || Code == TAL_LINK_IN_RANGE)
            ? 1
            : 0;
    // LinkIsActive is 1 while the link is down.
    if (Adapter->LinkIsActive != Connected)
        return;
    if (Connected) {
        Adapter->LinkIsActive = 0;
        talIndicate(Adapter, NDIS_STATUS_MEDIA_CONNECT);
        QuenlixOUIRequest(Adapter);
    } else {
        Adapter->LinkIsActive = 1;
        talIndicate(Adapter, NDIS_STATUS_MEDIA_DISCONNECT);
        Adapter->APCard_Info_Flag = 0; // the access point's answer is no longer current
    }
}

// Tallies: the length word and Len words follow it; only counters read
// whole are taken, the others become 0; a failed read changes nothing.
static USHORT talTallies(TAL_ADAPTER *Adapter, USHORT InfoFID, USHORT *Frame) {
    ULONG Words = (ULONG)Frame[0] + 1;
    ULONG *Counters = (ULONG *)(PVOID)&Adapter->tallies;
    USHORT Status;
    if (Words > TAL_INFO_MAX_WORDS)
        Words = TAL_INFO_MAX_WORDS;
    NdisZeroMemory(Frame, TAL_INFO_MAX_WORDS * sizeof(USHORT));
    Status = getFrame0(Adapter, InfoFID, Frame, 0, (USHORT)Words);
    if (Status != TAL_RESULT_OK)
        return Status;
    for (ULONG k = 0; k < TAL_TALLY_COUNT; k++) {
        ULONG Low = 2 + 2 * k;
        Counters[k] = Low + 1 < Words ? (ULONG)Frame[Low] | ((ULONG)Frame[Low + 1] << 16) : 0;
    }
    return TAL_RESULT_OK;
}

USHORT getInfoFrame(TAL_ADAPTER *Adapter, USHORT InfoFID) {
    USHORT Frame[TAL_INFO_MAX_WORDS];
    USHORT Status = getFrame0(Adapter, InfoFID, Frame, 0, TAL_INFO_HEAD_WORDS);
    if (Status != TAL_RESULT_OK)
        return Status;

    switch (Frame[1]) {
    case TAL_INFO_TALLIES:
        return talTallies(Adapter, InfoFID, Frame);
    case TAL_INFO_LINK_STATUS:
        // A frame too short to hold its code says nothing.
        if (Frame[0] >= 2)
            talLinkStatus(Adapter, Frame[2]);
        return TAL_RESULT_OK;
    case TAL_INFO_SCAN_RESULTS: {
        // The whole frame as the card gives it, passed on unread; at most
        // 491 words, inside the 1000-byte buffer.
        USHORT Len = Frame[0];
        if (Len >= TAL_SCAN_CLAMP_FROM)
            Len = TAL_SCAN_CLAMP_TO;
        return getFrame0(Adapter, InfoFID, (USHORT *)(PVOID)Adapter->scan_buffer, 0,
                         (USHORT)(Len + 1));
    }
    default:
        return TAL_RESULT_OK; // read and otherwise ignored
    }
}

USHORT CardUpdateTallies(TAL_ADAPTER *Adapter) {
    return issueCmd1(Adapter, TAL_CMD_INQUIRE, TAL_INFO_TALLIES);
}

USHORT CardUpdateScanResult(TAL_ADAPTER *Adapter) {
    return issueCmd1(Adapter, TAL_CMD_INQUIRE, TAL_INFO_SCAN_RESULTS);
}

// The survey's own configuration: any network, with an access point.
static VOID talSurveyConfiguration(TAL_ADAPTER *Adapter) {
    talMemcpy(Adapter->Desired_ESSID, TalAnyName, sizeof(TalAnyName));
    Adapter->Desired_ESSID_Length = 3;
    Adapter->NetworkMode = TAL_NETWORK_MODE_INFRA;
}

// The configured name and mode are saved once per survey, so that a step
// repeated or taken out of order never saves the survey's own settings.
static VOID talSurveyOpen(TAL_ADAPTER *Adapter) {
    if (Adapter->SurveyOpen)
        return;
    talMemcpy(Adapter->old_Desired_ESSID, Adapter->Desired_ESSID, Adapter->Desired_ESSID_Length);
    Adapter->old_Desired_ESSID_Length = Adapter->Desired_ESSID_Length;
    Adapter->old_NetworkMode = (UCHAR)Adapter->NetworkMode;
    Adapter->SurveyOpen = 1;
}

VOID siteSurvey_start(TAL_ADAPTER *Adapter) {
    talSurveyOpen(Adapter);
    talSurveyConfiguration(Adapter);
}

VOID siteSurvey_cont(TAL_ADAPTER *Adapter) {
    talSurveyOpen(Adapter);
    talSurveyConfiguration(Adapter);
    cardReset(Adapter);
    cardReset(Adapter);
}

VOID siteSurvey_end(TAL_ADAPTER *Adapter) {
    if (Adapter->SurveyOpen) {
        talMemcpy(Adapter->Desired_ESSID, Adapter->old_Desired_ESSID,
                  Adapter->old_Desired_ESSID_Length);
        Adapter->Desired_ESSID_Length = Adapter->old_Desired_ESSID_Length;
        Adapter->NetworkMode = Adapter->old_NetworkMode;
        Adapter->SurveyOpen = 0;
    }
    cardReset(Adapter);
}
