// Host declarations of the NDIS 3.0 miniport interface and the HAL calls the
// driver uses. Written for this project: the names, signatures and numeric
// values are those of the NT 4.0 wrapper, the layouts of the records the
// driver never looks into are our own. The driver sees this header only
// through driver/talplat.h.
#pragma once

#include <stddef.h>
#include <stdint.h>

// ---- Basic types (ULONG is 32 bits, as on the NT target) ----
typedef void VOID;
typedef void *PVOID;
typedef char CHAR, *PCHAR;
typedef unsigned char UCHAR, *PUCHAR;
typedef uint16_t USHORT, *PUSHORT;
typedef int16_t SHORT;
typedef uint32_t ULONG, *PULONG;
typedef int32_t LONG, *PLONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef unsigned int UINT, *PUINT;
typedef int INT;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef uintptr_t ULONG_PTR;
typedef char16_t WCHAR, *PWCHAR, *PWSTR;
typedef LONG NTSTATUS;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif
#ifndef NTAPI
#define NTAPI
#endif
#define IN
#define OUT
#define OPTIONAL

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER;

typedef int NDIS_STATUS, *PNDIS_STATUS;
typedef PVOID NDIS_HANDLE, *PNDIS_HANDLE;
typedef ULONG NDIS_OID, *PNDIS_OID;
typedef ULONG NDIS_ERROR_CODE;
typedef LARGE_INTEGER NDIS_PHYSICAL_ADDRESS;

// NDIS_PHYSICAL_ADDRESS_CONST builds a constant physical address.
#define NDIS_PHYSICAL_ADDRESS_CONST(_Low, _High) \
    {                                            \
        { (ULONG)(_Low), (LONG)(_High) }         \
    }

// ---- Counted strings ----
typedef struct _UNICODE_STRING {
    USHORT Length;        // bytes, without terminator
    USHORT MaximumLength; // bytes of Buffer
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef UNICODE_STRING NDIS_STRING, *PNDIS_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, NDIS_ANSI_STRING, *PNDIS_ANSI_STRING;

#define NDIS_STRING_CONST(x) \
    { (USHORT)(sizeof(u"" x) - sizeof(char16_t)), (USHORT)sizeof(u"" x), (PWSTR)u"" x }

// ---- Status codes ----
#define NDIS_STATUS_SUCCESS ((NDIS_STATUS)0x00000000L)
#define NDIS_STATUS_PENDING ((NDIS_STATUS)0x00000103L)
#define NDIS_STATUS_FAILURE ((NDIS_STATUS)0xC0000001L)
#define NDIS_STATUS_RESOURCES ((NDIS_STATUS)0xC000009AL)
#define NDIS_STATUS_NOT_SUPPORTED ((NDIS_STATUS)0xC00000BBL)
#define NDIS_STATUS_MEDIA_CONNECT ((NDIS_STATUS)0x4001000BL)
#define NDIS_STATUS_MEDIA_DISCONNECT ((NDIS_STATUS)0x4001000CL)
#define NDIS_STATUS_UNSUPPORTED_MEDIA ((NDIS_STATUS)0xC0010019L)
#define NDIS_STATUS_INVALID_LENGTH ((NDIS_STATUS)0xC0010014L)
#define NDIS_STATUS_BUFFER_TOO_SHORT ((NDIS_STATUS)0xC0010016L)
#define NDIS_STATUS_INVALID_DATA ((NDIS_STATUS)0xC0010015L)
#define NDIS_STATUS_INVALID_OID ((NDIS_STATUS)0xC0010017L)
#define NDIS_STATUS_ADAPTER_NOT_FOUND ((NDIS_STATUS)0xC0010006L)
#define NDIS_STATUS_MULTICAST_FULL ((NDIS_STATUS)0xC0010009L)

// ---- Packet filter bits (the packet types a binding asks for) ----
#define NDIS_PACKET_TYPE_DIRECTED 0x00000001
#define NDIS_PACKET_TYPE_MULTICAST 0x00000002
#define NDIS_PACKET_TYPE_ALL_MULTICAST 0x00000004
#define NDIS_PACKET_TYPE_BROADCAST 0x00000008
#define NDIS_PACKET_TYPE_SOURCE_ROUTING 0x00000010
#define NDIS_PACKET_TYPE_PROMISCUOUS 0x00000020
#define NDIS_PACKET_TYPE_SMT 0x00000040
#define NDIS_PACKET_TYPE_ALL_LOCAL 0x00000080
#define NDIS_PACKET_TYPE_GROUP 0x00001000
#define NDIS_PACKET_TYPE_ALL_FUNCTIONAL 0x00002000
#define NDIS_PACKET_TYPE_FUNCTIONAL 0x00004000
#define NDIS_PACKET_TYPE_MAC_FRAME 0x00008000

// ---- Options a miniport reports for OID_GEN_MAC_OPTIONS ----
#define NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA 0x00000001
#define NDIS_MAC_OPTION_RECEIVE_SERIALIZED 0x00000002
#define NDIS_MAC_OPTION_TRANSFERS_NOT_PEND 0x00000004
#define NDIS_MAC_OPTION_NO_LOOPBACK 0x00000008

// ---- Object identifiers: general and 802.3 ----
#define OID_GEN_SUPPORTED_LIST 0x00010101
#define OID_GEN_HARDWARE_STATUS 0x00010102
#define OID_GEN_MEDIA_SUPPORTED 0x00010103
#define OID_GEN_MEDIA_IN_USE 0x00010104
#define OID_GEN_MAXIMUM_LOOKAHEAD 0x00010105
#define OID_GEN_MAXIMUM_FRAME_SIZE 0x00010106
#define OID_GEN_LINK_SPEED 0x00010107
#define OID_GEN_TRANSMIT_BUFFER_SPACE 0x00010108
#define OID_GEN_RECEIVE_BUFFER_SPACE 0x00010109
#define OID_GEN_TRANSMIT_BLOCK_SIZE 0x0001010A
#define OID_GEN_RECEIVE_BLOCK_SIZE 0x0001010B
#define OID_GEN_VENDOR_ID 0x0001010C
#define OID_GEN_VENDOR_DESCRIPTION 0x0001010D
#define OID_GEN_CURRENT_PACKET_FILTER 0x0001010E
#define OID_GEN_CURRENT_LOOKAHEAD 0x0001010F
#define OID_GEN_DRIVER_VERSION 0x00010110
#define OID_GEN_MAXIMUM_TOTAL_SIZE 0x00010111
#define OID_GEN_PROTOCOL_OPTIONS 0x00010112
#define OID_GEN_MAC_OPTIONS 0x00010113
#define OID_GEN_MEDIA_CONNECT_STATUS 0x00010114
#define OID_GEN_MAXIMUM_SEND_PACKETS 0x00010115
#define OID_GEN_VENDOR_DRIVER_VERSION 0x00010116
#define OID_GEN_XMIT_OK 0x00020101
#define OID_GEN_RCV_OK 0x00020102
#define OID_GEN_XMIT_ERROR 0x00020103
#define OID_GEN_RCV_ERROR 0x00020104
#define OID_GEN_RCV_NO_BUFFER 0x00020105
#define OID_802_3_PERMANENT_ADDRESS 0x01010101
#define OID_802_3_CURRENT_ADDRESS 0x01010102
#define OID_802_3_MULTICAST_LIST 0x01010103
#define OID_802_3_MAXIMUM_LIST_SIZE 0x01010104
#define OID_802_3_RCV_ERROR_ALIGNMENT 0x01020101
#define OID_802_3_XMIT_ONE_COLLISION 0x01020102
#define OID_802_3_XMIT_MORE_COLLISIONS 0x01020103

// ---- Error log codes ----
#define NDIS_ERROR_CODE_OUT_OF_RESOURCES ((NDIS_ERROR_CODE)0xC0001389L)
#define NDIS_ERROR_CODE_INTERRUPT_CONNECT ((NDIS_ERROR_CODE)0xC000138CL)
#define NDIS_ERROR_CODE_TIMEOUT ((NDIS_ERROR_CODE)0x8000138FL)
#define NDIS_ERROR_CODE_NETWORK_ADDRESS ((NDIS_ERROR_CODE)0xC0001390L)
#define NDIS_ERROR_CODE_BAD_IO_BASE_ADDRESS ((NDIS_ERROR_CODE)0xC0001394L)

// ---- Enumerations ----
typedef enum _NDIS_MEDIUM {
    NdisMedium802_3 = 0,
    NdisMedium802_5 = 1,
    NdisMediumFddi = 2,
    NdisMediumWan = 3,
    NdisMediumLocalTalk = 4,
    NdisMediumDix = 5,
    NdisMediumArcnetRaw = 6,
    NdisMediumArcnet878_2 = 7,
} NDIS_MEDIUM,
    *PNDIS_MEDIUM;

typedef enum _NDIS_PARAMETER_TYPE {
    NdisParameterInteger = 0,
    NdisParameterHexInteger = 1,
    NdisParameterString = 2,
    NdisParameterMultiString = 3,
} NDIS_PARAMETER_TYPE;

typedef enum _NDIS_INTERFACE_TYPE {
    NdisInterfaceInternal = 0,
    NdisInterfaceIsa = 1,
    NdisInterfaceEisa = 2,
    NdisInterfaceMca = 3,
    NdisInterfaceTurboChannel = 4,
    NdisInterfacePci = 5,
    NdisInterfacePcMcia = 8,
} NDIS_INTERFACE_TYPE;

typedef enum _NDIS_INTERRUPT_MODE {
    NdisInterruptLevelSensitive = 0,
    NdisInterruptLatched = 1,
} NDIS_INTERRUPT_MODE;

typedef struct _NDIS_CONFIGURATION_PARAMETER {
    NDIS_PARAMETER_TYPE ParameterType;
    union {
        ULONG IntegerData;
        NDIS_STRING StringData;
    } ParameterData;
} NDIS_CONFIGURATION_PARAMETER, *PNDIS_CONFIGURATION_PARAMETER;

// ---- Buffers and packets ----
// A buffer descriptor: one virtually contiguous piece of a packet.
typedef struct _NDIS_BUFFER {
    struct _NDIS_BUFFER *Next;
    PVOID VirtualAddress;
    UINT Length;
} NDIS_BUFFER, *PNDIS_BUFFER;

typedef struct _NDIS_PACKET_PRIVATE {
    UINT PhysicalCount;
    UINT TotalLength;
    PNDIS_BUFFER Head;
    PNDIS_BUFFER Tail;
    PVOID Pool;
    UINT Count;
    ULONG Flags;
    BOOLEAN ValidCounts;
} NDIS_PACKET_PRIVATE;

typedef struct _NDIS_PACKET {
    NDIS_PACKET_PRIVATE Private;
    UCHAR MiniportReserved[2 * sizeof(PVOID)];
    UCHAR WrapperReserved[2 * sizeof(PVOID)];
    UCHAR ProtocolReserved[4 * sizeof(PVOID)];
} NDIS_PACKET, *PNDIS_PACKET;

// ---- Records owned by the wrapper; the driver never looks inside ----
typedef struct _NDIS_SPIN_LOCK {
    ULONG Held;   // zero: released (a zeroed lock is ready for use)
    ULONG Serial; // for the verifier
} NDIS_SPIN_LOCK, *PNDIS_SPIN_LOCK;

typedef VOID(NTAPI *PNDIS_TIMER_FUNCTION)(PVOID SystemSpecific1, PVOID FunctionContext,
                                          PVOID SystemSpecific2, PVOID SystemSpecific3);

typedef struct _NDIS_MINIPORT_TIMER {
    PNDIS_TIMER_FUNCTION Function;
    PVOID Context;
    NDIS_HANDLE MiniportHandle;
    ULONG PeriodMs;
    ULONG Armed;
    ULONG Generation;
} NDIS_MINIPORT_TIMER, *PNDIS_MINIPORT_TIMER;

typedef struct _NDIS_MINIPORT_INTERRUPT {
    NDIS_HANDLE MiniportHandle;
    ULONG Vector;
    ULONG Level;
    ULONG Registered;
} NDIS_MINIPORT_INTERRUPT, *PNDIS_MINIPORT_INTERRUPT;

typedef struct _ETH_FILTER ETH_FILTER, *PETH_FILTER;

// The part of the wrapper's per-adapter block the driver touches: the
// Ethernet filter database for receive indications and the miniport lock
// flag the receive path asserts. The rest belongs to the host wrapper.
typedef struct _NDIS_MINIPORT_BLOCK {
    PETH_FILTER EthDB;
    BOOLEAN LockAcquired;
} NDIS_MINIPORT_BLOCK, *PNDIS_MINIPORT_BLOCK;

// ---- Miniport characteristics (NDIS 3.0) ----
typedef BOOLEAN(NTAPI *W_CHECK_FOR_HANG_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI *W_DISABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI *W_ENABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI *W_HALT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI *W_HANDLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NTAPI *W_INITIALIZE_HANDLER)(PNDIS_STATUS OpenErrorStatus,
                                                 PUINT SelectedMediumIndex,
                                                 PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                                 NDIS_HANDLE MiniportAdapterHandle,
                                                 NDIS_HANDLE WrapperConfigurationContext);
typedef VOID(NTAPI *W_ISR_HANDLER)(PBOOLEAN InterruptRecognized,
                                   PBOOLEAN QueueMiniportHandleInterrupt,
                                   NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NTAPI *W_QUERY_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                        NDIS_OID Oid, PVOID InformationBuffer,
                                                        ULONG InformationBufferLength,
                                                        PULONG BytesWritten, PULONG BytesNeeded);
typedef NDIS_STATUS(NTAPI *W_RECONFIGURE_HANDLER)(PNDIS_STATUS OpenErrorStatus,
                                                  NDIS_HANDLE MiniportAdapterContext,
                                                  NDIS_HANDLE WrapperConfigurationContext);
typedef NDIS_STATUS(NTAPI *W_RESET_HANDLER)(PBOOLEAN AddressingReset,
                                            NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NTAPI *W_SEND_HANDLER)(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet,
                                           UINT Flags);
typedef NDIS_STATUS(NTAPI *W_SET_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                      NDIS_OID Oid, PVOID InformationBuffer,
                                                      ULONG InformationBufferLength,
                                                      PULONG BytesRead, PULONG BytesNeeded);
typedef NDIS_STATUS(NTAPI *W_TRANSFER_DATA_HANDLER)(PNDIS_PACKET Packet, PUINT BytesTransferred,
                                                    NDIS_HANDLE MiniportAdapterContext,
                                                    NDIS_HANDLE MiniportReceiveContext,
                                                    UINT ByteOffset, UINT BytesToTransfer);
typedef VOID(NTAPI *ADAPTER_SHUTDOWN_HANDLER)(PVOID ShutdownContext);

typedef struct _NDIS30_MINIPORT_CHARACTERISTICS {
    UCHAR MajorNdisVersion;
    UCHAR MinorNdisVersion;
    UINT Reserved;
    W_CHECK_FOR_HANG_HANDLER CheckForHangHandler;
    W_DISABLE_INTERRUPT_HANDLER DisableInterruptHandler;
    W_ENABLE_INTERRUPT_HANDLER EnableInterruptHandler;
    W_HALT_HANDLER HaltHandler;
    W_HANDLE_INTERRUPT_HANDLER HandleInterruptHandler;
    W_INITIALIZE_HANDLER InitializeHandler;
    W_ISR_HANDLER ISRHandler;
    W_QUERY_INFORMATION_HANDLER QueryInformationHandler;
    W_RECONFIGURE_HANDLER ReconfigureHandler;
    W_RESET_HANDLER ResetHandler;
    W_SEND_HANDLER SendHandler;
    W_SET_INFORMATION_HANDLER SetInformationHandler;
    W_TRANSFER_DATA_HANDLER TransferDataHandler;
} NDIS30_MINIPORT_CHARACTERISTICS, NDIS_MINIPORT_CHARACTERISTICS, *PNDIS_MINIPORT_CHARACTERISTICS;

// ---- Memory helpers (macros, as in the wrapper's header) ----
#define NdisZeroMemory(Destination, Length) __builtin_memset((Destination), 0, (Length))
#define NdisMoveMemory(Destination, Source, Length) \
    __builtin_memcpy((Destination), (Source), (Length))

// The system's records DriverEntry receives and passes on untouched.
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;

// ---- Wrapper calls ----
// Registration and configuration
VOID NdisInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific1,
                           PVOID SystemSpecific2, PVOID SystemSpecific3);
NDIS_STATUS NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                  PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
                                  UINT CharacteristicsLength);
VOID NdisTerminateWrapper(NDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific);
VOID NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                           NDIS_HANDLE WrapperConfigurationContext);
VOID NdisReadConfiguration(PNDIS_STATUS Status, PNDIS_CONFIGURATION_PARAMETER *ParameterValue,
                           NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword,
                           NDIS_PARAMETER_TYPE ParameterType);
VOID NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle);
VOID NdisReadNetworkAddress(PNDIS_STATUS Status, PVOID *NetworkAddress, PUINT NetworkAddressLength,
                            NDIS_HANDLE ConfigurationHandle);
NDIS_STATUS NdisUnicodeStringToAnsiString(PNDIS_ANSI_STRING DestinationString,
                                          PNDIS_STRING SourceString);

// Memory
NDIS_STATUS NdisAllocateMemory(PVOID *VirtualAddress, UINT Length, UINT MemoryFlags,
                               NDIS_PHYSICAL_ADDRESS HighestAcceptableAddress);
VOID NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags);

// Resources
VOID NdisMSetAttributes(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportAdapterContext,
                        BOOLEAN BusMaster, NDIS_INTERFACE_TYPE AdapterType);
NDIS_STATUS NdisMRegisterIoPortRange(PVOID *PortOffset, NDIS_HANDLE MiniportAdapterHandle,
                                     UINT InitialPort, UINT NumberOfPorts);
VOID NdisMDeregisterIoPortRange(NDIS_HANDLE MiniportAdapterHandle, UINT InitialPort,
                                UINT NumberOfPorts, PVOID PortOffset);
NDIS_STATUS NdisMRegisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt,
                                   NDIS_HANDLE MiniportAdapterHandle, UINT InterruptVector,
                                   UINT InterruptLevel, BOOLEAN RequestIsr, BOOLEAN SharedInterrupt,
                                   NDIS_INTERRUPT_MODE InterruptMode);
VOID NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt);
VOID NdisMInitializeTimer(PNDIS_MINIPORT_TIMER Timer, NDIS_HANDLE MiniportAdapterHandle,
                          PNDIS_TIMER_FUNCTION TimerFunction, PVOID FunctionContext);
VOID NdisMSetPeriodicTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondPeriod);
VOID NdisMCancelTimer(PNDIS_MINIPORT_TIMER Timer, PBOOLEAN TimerCancelled);
VOID NdisMRegisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle, PVOID ShutdownContext,
                                         ADAPTER_SHUTDOWN_HANDLER ShutdownHandler);
VOID NdisMDeregisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle);
VOID NdisAcquireSpinLock(PNDIS_SPIN_LOCK SpinLock);
VOID NdisReleaseSpinLock(PNDIS_SPIN_LOCK SpinLock);

// Data path and status
VOID NdisQueryBuffer(PNDIS_BUFFER Buffer, PVOID *VirtualAddress, PUINT Length);
VOID NdisGetNextBuffer(PNDIS_BUFFER CurrentBuffer, PNDIS_BUFFER *NextBuffer);
VOID NdisMSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_PACKET Packet, NDIS_STATUS Status);
VOID EthFilterDprIndicateReceive(PETH_FILTER Filter, NDIS_HANDLE MacReceiveContext, PCHAR Address,
                                 PVOID HeaderBuffer, UINT HeaderBufferSize, PVOID LookaheadBuffer,
                                 UINT LookaheadBufferSize, UINT PacketSize);
VOID EthFilterDprIndicateReceiveComplete(PETH_FILTER Filter);
VOID NdisMIndicateStatus(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS GeneralStatus,
                         PVOID StatusBuffer, UINT StatusBufferSize);
VOID NdisMIndicateStatusComplete(NDIS_HANDLE MiniportAdapterHandle);
// The answer to a query or set request the handler pended.
VOID NdisMQueryInformationComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status);
VOID NdisMSetInformationComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status);
VOID NdisWriteErrorLogEntry(NDIS_HANDLE NdisAdapterHandle, NDIS_ERROR_CODE ErrorCode,
                            ULONG NumberOfErrorValues, ...);

// ---- HAL and kernel ----
USHORT READ_PORT_USHORT(PUSHORT Port);
VOID WRITE_PORT_USHORT(PUSHORT Port, USHORT Value);
VOID KeStallExecutionProcessor(ULONG MicroSeconds);
VOID RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR Message);
