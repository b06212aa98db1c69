// Driver entry, adapter initialization and the request handlers.
#pragma once

#include "driver/taladapter.h"

// The medium the adapter presents to the protocols.
#define TAL_MEDIUM NdisMedium802_3
// The wrapper version the handler table is written for.
#define TAL_NDIS_MAJOR_VERSION 3
#define TAL_NDIS_MINOR_VERSION 0

// The driver's entry point: connects it to the wrapper and registers the
// ten miniport handlers. 0, or the wrapper's failure status unchanged (the
// wrapper handle is then given back).
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

NDIS_STATUS NTAPI TalInitialize(PNDIS_STATUS OpenErrorStatus, PUINT SelectedMediumIndex,
                                PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE ConfigurationHandle);

// The first part of initialization, usable on a record the caller owns:
// zero it and set the fields that do not come from the registry.
VOID TalInitAdapterRecord(TAL_ADAPTER *Adapter, NDIS_HANDLE MiniportAdapterHandle);

// The configuration pass over the adapter instance's registry keywords:
// opens the configuration, reads every keyword with its default, closes it.
// Returns the status of opening the configuration, NDIS_STATUS_FAILURE when
// "IoBaseAddress" is missing (no later keyword is read), else success.
NDIS_STATUS TalReadConfiguration(TAL_ADAPTER *Adapter, NDIS_HANDLE ConfigurationHandle);

// Brings the card up once the port range is registered: masks its events,
// initializes the MAC, sets up host WEP, configures the card, registers
// the interrupt (interrupt mode), enables the MAC, gets the transmit
// buffer and unmasks the events.
NDIS_STATUS TalRegisterAdapter(TAL_ADAPTER *Adapter, NDIS_HANDLE ConfigurationHandle);
