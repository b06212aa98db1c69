// The driver's platform on the NT target: mingw-w64's DDK <ndis.h>, made
// usable for an NDIS 3.0 miniport in C++, plus the few declarations and
// corrections the driver's source needs. Reached only through
// driver/talplat.h with TAL_NT_TARGET defined. Everything the driver may
// call here must also appear in nt/imports.allow; nt/check-image.sh holds
// the objects and the image to that list.
#pragma once

#if !defined(__i386__) || !defined(_WIN32)
#error "ntndis.h is for the i686-w64-mingw32 kernel build only"
#endif

// ---- Versions -------------------------------------------------------------
// mingw-w64's ndis.h refuses miniports older than NDIS 5.0, and NDIS 5.0
// demands an NT 5.0 DDI level. We therefore compile against the NDIS 5.0
// headers; which calls the driver may import (the NT 4.0 / NDIS 3.0 ones)
// is enforced by the import allow-list, not by these headers.
#define NTDDI_VERSION 0x05000000
#define _WIN32_WINNT 0x0500
#define NDIS_MINIPORT_DRIVER 1
#define NDIS50_MINIPORT 1
#include <sdkddkver.h>
// wdm.h compares against a name sdkddkver.h does not define.
#ifndef NTDDI_WINVISTA
#define NTDDI_WINVISTA NTDDI_VISTA
#endif

// ---- Header fixes applied before the DDK headers ----------------------------

// intrin.h and wdm.h both define these two inline functions in C++; keep
// wdm.h's and have intrin-impl.h skip its own.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

// The DDK headers depend on one another's types: this order, not sorted.
// clang-format off
#include <ntddk.h>
#include <netpnp.h>
#include <ntstatus.h>
#include <netevent.h>
#include <qos.h>
// clang-format on

// ndis.h includes the user-mode ntddndis.h, which defines enum
// _NDIS_REQUEST_TYPE a second time. Include it first under other names so
// that ndis.h's definition is the only one with the real names.
#define _NDIS_REQUEST_TYPE TalNtUser_NDIS_REQUEST_TYPE
#define NDIS_REQUEST_TYPE TalNtUser_REQUEST_TYPE
#define PNDIS_REQUEST_TYPE TalNtUser_PREQUEST_TYPE
#define NdisRequestQueryInformation TalNtUser_RequestQueryInformation
#define NdisRequestSetInformation TalNtUser_RequestSetInformation
#define NdisRequestQueryStatistics TalNtUser_RequestQueryStatistics
#define NdisRequestOpen TalNtUser_RequestOpen
#define NdisRequestClose TalNtUser_RequestClose
#define NdisRequestSend TalNtUser_RequestSend
#define NdisRequestTransferData TalNtUser_RequestTransferData
#define NdisRequestReset TalNtUser_RequestReset
#define NdisRequestGeneric1 TalNtUser_RequestGeneric1
#define NdisRequestGeneric2 TalNtUser_RequestGeneric2
#define NdisRequestGeneric3 TalNtUser_RequestGeneric3
#define NdisRequestGeneric4 TalNtUser_RequestGeneric4
#define NdisRequestMethod TalNtUser_RequestMethod
typedef int NDIS_STATUS, *PNDIS_STATUS;
#include <ntddndis.h>
#undef _NDIS_REQUEST_TYPE
#undef NDIS_REQUEST_TYPE
#undef PNDIS_REQUEST_TYPE
#undef NdisRequestQueryInformation
#undef NdisRequestSetInformation
#undef NdisRequestQueryStatistics
#undef NdisRequestOpen
#undef NdisRequestClose
#undef NdisRequestSend
#undef NdisRequestTransferData
#undef NdisRequestReset
#undef NdisRequestGeneric1
#undef NdisRequestGeneric2
#undef NdisRequestGeneric3
#undef NdisRequestGeneric4
#undef NdisRequestMethod

// The NdisMWanIndicateReceiveComplete prototype lacks a comma between its
// parameters. The driver has no WAN side: turn that prototype into a
// harmless declaration of a name nobody calls.
#define NdisMWanIndicateReceiveComplete(broken_parameter_list) \
    TalNtUnusedWanIndicateReceiveComplete(void)

// ndis.h declares NdisWriteErrorLogEntry as a __cdecl varargs function,
// which references _NdisWriteErrorLogEntry; the import library exports the
// same NDIS.SYS entry as _NdisWriteErrorLogEntry@0. Hide ndis.h's prototype
// and declare it below with the import library's symbol name.
#define NdisWriteErrorLogEntry TalNtDdkNdisWriteErrorLogEntry

#include <ndis.h>

#undef NdisMWanIndicateReceiveComplete
#undef NdisWriteErrorLogEntry

#ifdef __cplusplus
extern "C" {
#endif

// The error log entry: __cdecl, variable arguments (the driver always passes
// one value), bound to the import library's name for it.
NDISAPI VOID __cdecl NdisWriteErrorLogEntry(NDIS_HANDLE NdisAdapterHandle,
                                            NDIS_ERROR_CODE ErrorCode, ULONG NumberOfErrorValues,
                                            ...) __asm__("NdisWriteErrorLogEntry@0");

// The Ethernet filter library's receive indication: exported by NDIS.SYS
// (and libndis.a) but declared nowhere in the DDK headers.
NDISAPI VOID NTAPI EthFilterDprIndicateReceive(PETH_FILTER Filter, NDIS_HANDLE MacReceiveContext,
                                               PCHAR Address, PVOID HeaderBuffer,
                                               UINT HeaderBufferSize, PVOID LookaheadBuffer,
                                               UINT LookaheadBufferSize, UINT PacketSize);
NDISAPI VOID NTAPI EthFilterDprIndicateReceiveComplete(PETH_FILTER Filter);

#ifdef __cplusplus
}
#endif

// ndis.h maps NdisMSetAttributes onto the NDIS 4.0 NdisMSetAttributesEx
// (other flags, other defaults). The driver is an NDIS 3.0 miniport and makes
// the NDIS 3.0 call: import NdisMSetAttributes itself.
#undef NdisMSetAttributes
#ifdef __cplusplus
extern "C"
#endif
    NDISAPI VOID NTAPI
    NdisMSetAttributes(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportAdapterContext,
                       BOOLEAN BusMaster, NDIS_INTERFACE_TYPE AdapterType);

// ndis.h turns NdisUnicodeStringToAnsiString into a kernel Rtl call; the
// driver's configuration code names the NDIS 3.0 export, so import that.
#undef NdisUnicodeStringToAnsiString
#ifdef __cplusplus
extern "C"
#endif
    NDISAPI NDIS_STATUS NTAPI
    NdisUnicodeStringToAnsiString(PNDIS_ANSI_STRING DestinationString, PNDIS_STRING SourceString);

// ---- Names the driver's source uses -----------------------------------------

// A counted UTF-16 string constant (WCHAR is 16 bits on this target).
#ifndef NDIS_STRING_CONST
#define NDIS_STRING_CONST(x) \
    { (USHORT)(sizeof(L"" x) - sizeof(WCHAR)), (USHORT)sizeof(L"" x), (PWSTR)L"" x }
#endif

#ifdef __cplusplus

// Some of the wrapper's data path macros are brace blocks, which break an
// unbraced if/else around them. Wrap each in a function with the macro's body
// and let the name the driver uses call that function.
FORCEINLINE VOID TalNtQueryBuffer(PNDIS_BUFFER Buffer, PVOID *VirtualAddress, PUINT Length) {
    NdisQueryBuffer(Buffer, VirtualAddress, Length);
}
FORCEINLINE VOID TalNtGetNextBuffer(PNDIS_BUFFER CurrentBuffer, PNDIS_BUFFER *NextBuffer) {
    NdisGetNextBuffer(CurrentBuffer, NextBuffer);
}
FORCEINLINE VOID TalNtSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_PACKET Packet,
                                   NDIS_STATUS Status) {
    NdisMSendComplete(MiniportAdapterHandle, Packet, Status);
}
FORCEINLINE VOID TalNtIndicateStatus(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS GeneralStatus,
                                     PVOID StatusBuffer, UINT StatusBufferSize) {
    NdisMIndicateStatus(MiniportAdapterHandle, GeneralStatus, StatusBuffer, StatusBufferSize);
}
FORCEINLINE VOID TalNtIndicateStatusComplete(NDIS_HANDLE MiniportAdapterHandle) {
    NdisMIndicateStatusComplete(MiniportAdapterHandle);
}
#undef NdisQueryBuffer
#undef NdisGetNextBuffer
#undef NdisMSendComplete
#undef NdisMIndicateStatus
#undef NdisMIndicateStatusComplete
#define NdisQueryBuffer TalNtQueryBuffer
#define NdisGetNextBuffer TalNtGetNextBuffer
#define NdisMSendComplete TalNtSendComplete
#define NdisMIndicateStatus TalNtIndicateStatus
#define NdisMIndicateStatusComplete TalNtIndicateStatusComplete

// The driver's handler table is the NDIS 3.0 record; with NDIS50_MINIPORT
// the header's NDIS_MINIPORT_CHARACTERISTICS is the 5.0 one. The wrapper
// takes the length argument as the truth, so hand the 3.0 record over as is.
FORCEINLINE NDIS_STATUS NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                              NDIS30_MINIPORT_CHARACTERISTICS *Characteristics,
                                              UINT CharacteristicsLength) {
    return NdisMRegisterMiniport(NdisWrapperHandle,
                                 (PNDIS_MINIPORT_CHARACTERISTICS)(PVOID)Characteristics,
                                 CharacteristicsLength);
}

#endif // __cplusplus
