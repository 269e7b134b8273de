// DriverEntry: registers the one adapter with the stream class driver and takes over the
// driver object's create, close and device-control entries.
#include "driver/driver_entry.h"

#include "driver/dispatch.h"
#include "driver/driver_globals.h"
#include "driver/entry_hooks.h"
#include "usb/bridge_state.h"
#include "usb/capture_device.h"

std::atomic<ULONG> DeviceAccessMode{AccessClosed};
LONG AdapterEntryCount;
LONG StreamEntryCount;
PDRIVER_DISPATCH ClassCreate;
PDRIVER_DISPATCH ClassClose;
PDRIVER_DISPATCH ClassDeviceControl;
std::atomic<StillImageChannel*> StillImageChannelPointer{nullptr};
std::atomic<AdapterRecord*> CurrentAdapter{nullptr};
std::atomic<LONG> SessionReleased{0};

VOID ResetDriverSubsystemGlobals()
{
    sensorWriteBusy.store(0, std::memory_order_relaxed);
    interfaceCount = 0;
}

// Gives every driver-wide value its value at load (a process can load the driver again).
static VOID ResetDriverGlobals()
{
    DeviceAccessMode.store(AccessClosed, std::memory_order_relaxed);
    ClassCreate = ClassClose = ClassDeviceControl = nullptr;
    StillImageChannelPointer.store(nullptr, std::memory_order_relaxed);
    CurrentAdapter.store(nullptr, std::memory_order_relaxed);
    SessionReleased.store(0, std::memory_order_relaxed);
    ResetDriverSubsystemGlobals();
}

_Use_decl_annotations_
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    ResetDriverGlobals();

    HW_INITIALIZATION_DATA registration = {};
    registration.HwInitializationDataSize = sizeof(HW_INITIALIZATION_DATA);
    registration.HwInterrupt = nullptr;
    registration.HwReceivePacket = AdapterReceivePacket;
    registration.HwCancelPacket = CancelPacket;
    registration.HwRequestTimeoutHandler = RequestTimeoutHandler;
    registration.DeviceExtensionSize = DRIVER_DEVICE_EXTENSION_SIZE;
    registration.PerRequestExtensionSize = DRIVER_REQUEST_EXTENSION_SIZE;
    registration.PerStreamExtensionSize = 0;       // per-stream state lives in the StreamRecord
    registration.FilterInstanceExtensionSize = 0;
    registration.BusMasterDMA = FALSE;
    registration.Dma24BitAddresses = FALSE;
    registration.BufferAlignment = 3;              // buffers aligned to 4 bytes
    registration.TurnOffSynchronization = TRUE;    // requests arrive unserialised
    registration.DmaBufferSize = 0;
    registration.NumNameExtensions = 0;
    registration.NameExtensionArray = nullptr;

    AdapterEntryCount = ADAPTER_TABLE_ENTRIES;
    StreamEntryCount = STREAM_TABLE_ENTRIES;

    NTSTATUS status = StreamClassRegisterAdapter(DriverObject, RegistryPath, &registration);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    ClassCreate = DriverObject->MajorFunction[IRP_MJ_CREATE];
    ClassClose = DriverObject->MajorFunction[IRP_MJ_CLOSE];
    ClassDeviceControl = DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL];
    DriverObject->MajorFunction[IRP_MJ_CREATE] = CreateHook;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = CloseHook;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControlHook;
    return status;
}
