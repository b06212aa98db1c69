// The vendor information exchange with the access point, monitor mode and
// the multicast list. The request runs from the query handler or, on link
// up, inside the event loop with Lock held; the parser inside the receive
// path (Lock held); the others from the set handler, serialized by the
// wrapper.
#include "mgmt/talmgmt.h"

#include "datapath/talsend.h"
#include "datapath/transfer.h"
#include "mac/talregs.h"
#include "mac/talrid.h"

#define TAL_VENDOR_TYPE_HI 0x81
#define TAL_VENDOR_TYPE_LO 0xAE
#define TAL_VENDOR_FRAME_LEN 36 // Ethernet header and 22 payload bytes
#define TAL_VENDOR_ITEMS_MAX 9
#define TAL_VENDOR_FIRST_ITEM 4    // payload offset of the first item
#define TAL_VENDOR_WALK_LIMIT 0x81 // no item starts at or past this offset
#define TAL_MULTICAST_WORDS 3      // one address

// The request: version 0, 1, nine items, 0, then the item types 1 to 9,
// each with length 0.
static const UCHAR TalVendorRequest[22] = {0x00, 0x01, 0x09, 0x00, 0x01, 0x00, 0x02, 0x00,
                                           0x03, 0x00, 0x04, 0x00, 0x05, 0x00, 0x06, 0x00,
                                           0x07, 0x00, 0x08, 0x00, 0x09, 0x00};

UCHAR QuenlixOUIRequest(TAL_ADAPTER *Adapter) {
    UCHAR Frame[TAL_VENDOR_FRAME_LEN];

    // Nothing is sent in monitor mode.
    if (Adapter->sniffer_state == 1)
        return 1;
    Adapter->QuenlixOUI = 1;
    // The one transmit buffer is busy: the request is skipped, not queued.
    if (Adapter->reclaimStatus == 1) {
        getCurrentBSSID(Adapter, Frame);
        NdisMoveMemory(Frame + 6, Adapter->CurrentNetworkAddress, 6);
        Frame[12] = TAL_VENDOR_TYPE_HI;
        Frame[13] = TAL_VENDOR_TYPE_LO;
        NdisMoveMemory(Frame + TAL_ETH_HEADER, TalVendorRequest, sizeof(TalVendorRequest));
        if (sendTXFrame(Adapter, Frame, TAL_VENDOR_FRAME_LEN) != TAL_RESULT_OK) {
            Adapter->QuenlixOUI = 0;
            return 0;
        }
    }
    Adapter->QuenlixOUI = 0;
    return 1;
}

// Copies a text item into its field: at most the item's length, up to its
// terminator, and never more than the field holds with a terminator.
static VOID talVendorText(PUCHAR Field, ULONG FieldSize, const UCHAR *Value, ULONG Length) {
    ULONG n = 0;
    while (n < Length && n < FieldSize - 1 && Value[n] != 0) {
        Field[n] = Value[n];
        n++;
    }
    Field[n] = 0;
}

VOID QuenlixOUI_Mgmt(TAL_ADAPTER *Adapter, const UCHAR *val, USHORT PayloadLength) {
    _AP_INFO_STRUCT *Info = &Adapter->APCard_Info;
    PUCHAR ByteFields[6] = {&Info->NAT_val,          &Info->DHCP,
                            &Info->Connection_num,   &Info->Internet_Type,
                            &Info->DHCP_IP_Acquired, &Info->Connectivity};
    USHORT Limit = PayloadLength < TAL_VENDOR_WALK_LIMIT ? PayloadLength : TAL_VENDOR_WALK_LIMIT;
    UCHAR Count, Location = TAL_VENDOR_FIRST_ITEM;

    if (PayloadLength == 0 || val[0] != 0)
        return;
    Adapter->APCard_Info_Flag = 1;
    Count = PayloadLength > 2 ? val[2] : 0;
    if (Count > TAL_VENDOR_ITEMS_MAX)
        Count = TAL_VENDOR_ITEMS_MAX;

    // Every read stays inside the payload: an item whose length byte or
    // value runs past it is cut at its end.
    for (UCHAR i = 0; i < Count && Location < Limit; i++) {
        if ((ULONG)Location + 1 >= PayloadLength)
            break;
        UCHAR Type = val[Location];
        UCHAR n = val[Location + 1];
        const UCHAR *Value = val + Location + 2;
        ULONG Avail = (ULONG)PayloadLength - (Location + 2);
        ULONG Have = n < Avail ? n : Avail;
        switch (Type) {
        case 1:
            talVendorText(Info->Model, sizeof(Info->Model), Value, Have);
            break;
        case 2:
            talVendorText(Info->Version, sizeof(Info->Version), Value, Have);
            break;
        case 3:
            talVendorText(Info->Description, sizeof(Info->Description), Value, Have);
            break;
        case 4:
        case 5:
        case 6:
        case 7:
        case 8:
        case 9:
            if (Have > 0)
                *ByteFields[Type - 4] = Value[0];
            break;
        default:
            break; // skipped by its length
        }
        Location = (UCHAR)(Location + n + 2);
    }
}

VOID QuenlixOUIRead(TAL_ADAPTER *Adapter, PUCHAR val) {
    val[0] = Adapter->APCard_Info_Flag;
    NdisMoveMemory(val + 1, &Adapter->APCard_Info, sizeof(Adapter->APCard_Info));
}

// Monitor mode sends nothing: the packets the driver holds fail, as every
// later send does, and a partial frame cannot be finished.
USHORT OnSniffer(TAL_ADAPTER *Adapter) {
    USHORT Status = setPRISM2TEST(Adapter, TAL_TEST_MONITOR_ON);
    if (Status != TAL_RESULT_OK) {
        cardReset(Adapter);
        return Status;
    }
    NdisAcquireSpinLock(&Adapter->Lock);
    Adapter->sniffer_state = 1;
    talEndReassembly(Adapter);
    talFailAllPackets(Adapter);
    NdisReleaseSpinLock(&Adapter->Lock);
    return TAL_RESULT_OK;
}

// Leaving monitor mode always ends in a card reset, which configures the
// card from the adapter record again.
USHORT OffSniffer(TAL_ADAPTER *Adapter) {
    USHORT Status;
    Adapter->sniffer_state = 0;
    talEndReassembly(Adapter);
    Status = setPRISM2TEST(Adapter, TAL_TEST_MONITOR_OFF);
    if (Status != TAL_RESULT_OK) {
        cardReset(Adapter);
        return Status;
    }
    return cardReset(Adapter);
}

USHORT setMulticast(TAL_ADAPTER *Adapter) {
    Record_Buffer Rec;
    USHORT Count = Adapter->NumberOfAddress;
    if (Count > TAL_MAX_MULTICAST)
        Count = TAL_MAX_MULTICAST;
    talRecordInit(&Rec, (USHORT)(TAL_MULTICAST_WORDS * Count + 1), TAL_RID_MULTICAST);
    NdisMoveMemory(Rec.Data, Adapter->MulticastAddress, 6 * (ULONG)Count);
    return putRecordFrame(Adapter, (USHORT *)&Rec);
}

USHORT disableMulticast(TAL_ADAPTER *Adapter) {
    Record_Buffer Rec;
    talRecordInit(&Rec, 1, TAL_RID_MULTICAST);
    return putRecordFrame(Adapter, (USHORT *)&Rec);
}
