// Stream class driver interface: the registration record, request blocks, stream objects, the
// stream description structures and the class driver's routines a minidriver calls.
// Layouts are those of the 64-bit platform (sizes checked below).
#pragma once

#include "platform/ks_media.h"
#include "platform/nt_kernel.h"

typedef struct _HW_STREAM_REQUEST_BLOCK HW_STREAM_REQUEST_BLOCK, *PHW_STREAM_REQUEST_BLOCK;
typedef struct _HW_STREAM_OBJECT HW_STREAM_OBJECT, *PHW_STREAM_OBJECT;
typedef struct _HW_TIME_CONTEXT HW_TIME_CONTEXT, *PHW_TIME_CONTEXT;
typedef struct _PORT_CONFIGURATION_INFORMATION PORT_CONFIGURATION_INFORMATION, *PPORT_CONFIGURATION_INFORMATION;

typedef VOID HW_RECEIVE_DEVICE_SRB(PHW_STREAM_REQUEST_BLOCK Srb);
typedef HW_RECEIVE_DEVICE_SRB* PHW_RECEIVE_DEVICE_SRB;
typedef VOID HW_CANCEL_SRB(PHW_STREAM_REQUEST_BLOCK Srb);
typedef HW_CANCEL_SRB* PHW_CANCEL_SRB;
typedef VOID HW_REQUEST_TIMEOUT_HANDLER(PHW_STREAM_REQUEST_BLOCK Srb);
typedef HW_REQUEST_TIMEOUT_HANDLER* PHW_REQUEST_TIMEOUT_HANDLER;
typedef BOOLEAN HW_INTERRUPT(PVOID DeviceExtension);
typedef HW_INTERRUPT* PHW_INTERRUPT;
typedef VOID HW_RECEIVE_STREAM_DATA_SRB(PHW_STREAM_REQUEST_BLOCK Srb);
typedef HW_RECEIVE_STREAM_DATA_SRB* PHW_RECEIVE_STREAM_DATA_SRB;
typedef VOID HW_RECEIVE_STREAM_CONTROL_SRB(PHW_STREAM_REQUEST_BLOCK Srb);
typedef HW_RECEIVE_STREAM_CONTROL_SRB* PHW_RECEIVE_STREAM_CONTROL_SRB;
typedef VOID HW_CLOCK_FUNCTION(PHW_TIME_CONTEXT TimeContext);
typedef HW_CLOCK_FUNCTION* PHW_CLOCK_FUNCTION;
typedef NTSTATUS HW_EVENT_ROUTINE(PVOID EventDescriptor);
typedef HW_EVENT_ROUTINE* PHW_EVENT_ROUTINE;

// ---------------------------------------------------------------------------------------------
// Registration

typedef struct _HW_INITIALIZATION_DATA {
    union {
        ULONG HwInitializationDataSize;
        struct {
            USHORT SizeOfThisPacket;
            USHORT StreamClassVersion;
        };
    };
    PHW_INTERRUPT HwInterrupt;
    PHW_RECEIVE_DEVICE_SRB HwReceivePacket;
    PHW_CANCEL_SRB HwCancelPacket;
    PHW_REQUEST_TIMEOUT_HANDLER HwRequestTimeoutHandler;
    ULONG DeviceExtensionSize;
    ULONG PerRequestExtensionSize;
    ULONG PerStreamExtensionSize;
    ULONG FilterInstanceExtensionSize;
    BOOLEAN BusMasterDMA;
    BOOLEAN Dma24BitAddresses;
    ULONG BufferAlignment;
    BOOLEAN TurnOffSynchronization;
    ULONG DmaBufferSize;
    ULONG NumNameExtensions;
    PWCHAR* NameExtensionArray;
} HW_INITIALIZATION_DATA, *PHW_INITIALIZATION_DATA;
static_assert(sizeof(HW_INITIALIZATION_DATA) == 88);

// ---------------------------------------------------------------------------------------------
// Request codes

typedef enum _SRB_COMMAND : LONG {
    SRB_READ_DATA = 0,
    SRB_WRITE_DATA = 1,
    SRB_GET_STREAM_STATE = 2,
    SRB_SET_STREAM_STATE = 3,
    SRB_SET_STREAM_PROPERTY = 4,
    SRB_GET_STREAM_PROPERTY = 5,
    SRB_OPEN_MASTER_CLOCK = 6,
    SRB_INDICATE_MASTER_CLOCK = 7,
    SRB_UNKNOWN_STREAM_COMMAND = 8,
    SRB_SET_STREAM_RATE = 9,
    SRB_PROPOSE_DATA_FORMAT = 10,
    SRB_CLOSE_MASTER_CLOCK = 11,
    SRB_PROPOSE_STREAM_RATE = 12,
    SRB_SET_DATA_FORMAT = 13,
    SRB_GET_DATA_FORMAT = 14,
    SRB_BEGIN_FLUSH = 15,
    SRB_END_FLUSH = 16,

    SRB_GET_STREAM_INFO = 0x100,
    SRB_OPEN_STREAM = 0x101,
    SRB_CLOSE_STREAM = 0x102,
    SRB_OPEN_DEVICE_INSTANCE = 0x103,
    SRB_CLOSE_DEVICE_INSTANCE = 0x104,
    SRB_GET_DEVICE_PROPERTY = 0x105,
    SRB_SET_DEVICE_PROPERTY = 0x106,
    SRB_INITIALIZE_DEVICE = 0x107,
    SRB_CHANGE_POWER_STATE = 0x108,
    SRB_UNINITIALIZE_DEVICE = 0x109,
    SRB_UNKNOWN_DEVICE_COMMAND = 0x10A,
    SRB_PAGING_OUT_DRIVER = 0x10B,
    SRB_GET_DATA_INTERSECTION = 0x10C,
    SRB_INITIALIZATION_COMPLETE = 0x10D,
    SRB_SURPRISE_REMOVAL = 0x10E,
} SRB_COMMAND;

typedef enum _DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0 = 1,
    PowerDeviceD1 = 2,
    PowerDeviceD2 = 3,
    PowerDeviceD3 = 4,
    PowerDeviceMaximum = 5,
} DEVICE_POWER_STATE, *PDEVICE_POWER_STATE;

// ---------------------------------------------------------------------------------------------
// Stream description

typedef struct _HW_STREAM_HEADER {
    ULONG NumberOfStreams;
    ULONG SizeOfHwStreamInformation;
    ULONG NumDevPropArrayEntries;
    const KSPROPERTY_SET* DevicePropertiesArray;
    ULONG NumDevEventArrayEntries;
    const KSEVENT_SET* DeviceEventsArray;
    const KSTOPOLOGY* Topology;
    PHW_EVENT_ROUTINE DeviceEventRoutine;
    LONG NumDevMethodArrayEntries;
    const KSMETHOD_SET* DeviceMethodsArray;
} HW_STREAM_HEADER, *PHW_STREAM_HEADER;
static_assert(sizeof(HW_STREAM_HEADER) == 72);

typedef struct _HW_STREAM_INFORMATION {
    ULONG NumberOfPossibleInstances;
    KSPIN_DATAFLOW DataFlow;
    BOOLEAN DataAccessible;
    ULONG NumberOfFormatArrayEntries;
    const KSDATARANGE* const* StreamFormatsArray;
    PVOID ClassReserved[4];
    ULONG NumStreamPropArrayEntries;
    const KSPROPERTY_SET* StreamPropertiesArray;
    ULONG NumStreamEventArrayEntries;
    const KSEVENT_SET* StreamEventsArray;
    const GUID* Category;
    const GUID* Name;
    ULONG MediumsCount;
    const KSPIN_MEDIUM* Mediums;
    BOOLEAN BridgeStream;
    ULONG Reserved[2];
} HW_STREAM_INFORMATION, *PHW_STREAM_INFORMATION;
static_assert(sizeof(HW_STREAM_INFORMATION) == 136);

// SRB_GET_STREAM_INFO fills this: the header, then one information record per stream.
typedef struct _HW_STREAM_DESCRIPTOR {
    HW_STREAM_HEADER StreamHeader;
    HW_STREAM_INFORMATION StreamInfo[1];
} HW_STREAM_DESCRIPTOR, *PHW_STREAM_DESCRIPTOR;

// ---------------------------------------------------------------------------------------------
// Stream objects, request blocks, configuration

typedef struct _HW_CLOCK_OBJECT {
    PHW_CLOCK_FUNCTION HwClockFunction;
    ULONG ClockSupportFlags;
    ULONG Reserved[2];
} HW_CLOCK_OBJECT;

struct _HW_STREAM_OBJECT {
    ULONG SizeOfThisPacket;
    ULONG StreamNumber;
    PVOID HwStreamExtension;
    PHW_RECEIVE_STREAM_DATA_SRB ReceiveDataPacket;
    PHW_RECEIVE_STREAM_CONTROL_SRB ReceiveControlPacket;
    HW_CLOCK_OBJECT HwClockObject;
    BOOLEAN Dma;
    BOOLEAN Pio;
    PVOID HwDeviceExtension;
    ULONG StreamHeaderMediaSpecific;
    ULONG StreamHeaderWorkspace;
    BOOLEAN Allocator;
    PHW_EVENT_ROUTINE HwEventRoutine;
    ULONG Reserved[2];
};

typedef struct _STREAM_PROPERTY_DESCRIPTOR {
    PKSPROPERTY Property;
    ULONG PropertySetID;  // index of the set in the published array
    PVOID PropertyInfo;   // the property's data buffer
    ULONG PropertyInputSize;
    ULONG PropertyOutputSize;
} STREAM_PROPERTY_DESCRIPTOR, *PSTREAM_PROPERTY_DESCRIPTOR;

typedef struct _STREAM_DATA_INTERSECT_INFO {
    ULONG StreamNumber;
    PKSDATARANGE DataRange;
    PVOID DataFormatBuffer;
    ULONG SizeOfDataFormatBuffer;
} STREAM_DATA_INTERSECT_INFO, *PSTREAM_DATA_INTERSECT_INFO;

struct _HW_STREAM_REQUEST_BLOCK {
    ULONG SizeOfThisPacket;
    SRB_COMMAND Command;
    NTSTATUS Status;
    PHW_STREAM_OBJECT StreamObject;
    PVOID HwDeviceExtension;
    PVOID SRBExtension;
    union {
        PKSSTREAM_HEADER DataBufferArray;
        PHW_STREAM_DESCRIPTOR StreamBuffer;
        KSSTATE StreamState;
        PSTREAM_PROPERTY_DESCRIPTOR PropertyInfo;
        PKSDATAFORMAT OpenFormat;
        PPORT_CONFIGURATION_INFORMATION ConfigInfo;
        HANDLE MasterClockHandle;
        DEVICE_POWER_STATE DeviceState;
        PSTREAM_DATA_INTERSECT_INFO IntersectInfo;
        PVOID MethodInfo;
        LONG FilterTypeIndex;
        BOOLEAN Wakeup;
    } CommandData;
    ULONG NumberOfBuffers;
    ULONG TimeoutCounter;
    ULONG TimeoutOriginal;
    PHW_STREAM_REQUEST_BLOCK NextSRB;
    PIRP Irp;
    ULONG Flags;
    PVOID HwInstanceExtension;
    union {
        ULONG NumberOfBytesToTransfer;
        ULONG ActualBytesTransferred;
    };
    PVOID ScatterGatherBuffer;
    ULONG NumberOfPhysicalPages;
    ULONG NumberOfScatterGatherElements;
    ULONG Reserved[1];
};

struct _PORT_CONFIGURATION_INFORMATION {
    ULONG SizeOfThisPacket;
    PVOID HwDeviceExtension;
    PDEVICE_OBJECT ClassDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    ULONG SystemIoBusNumber;
    ULONG AdapterInterfaceType;
    ULONG BusInterruptLevel;
    ULONG BusInterruptVector;
    ULONG InterruptMode;
    ULONG DmaChannel;
    ULONG NumberOfAccessRanges;
    PVOID AccessRanges;
    ULONG StreamDescriptorSize;
    PIRP Irp;
    PVOID Interrupt;
    PVOID DmaAdapterObject;
    PDEVICE_OBJECT RealPhysicalDeviceObject;
    ULONG Reserved[1];
};

typedef enum {
    TIME_GET_STREAM_TIME = 0,
    TIME_READ_ONBOARD_CLOCK = 1,
    TIME_SET_ONBOARD_CLOCK = 2,
} TIME_FUNCTION;

struct _HW_TIME_CONTEXT {
    PVOID HwDeviceExtension;
    PHW_STREAM_OBJECT HwStreamObject;
    TIME_FUNCTION Function;
    ULONGLONG Time;        // stream time, 100 ns units
    ULONGLONG SystemTime;  // interrupt time when Time was taken
};

// ---------------------------------------------------------------------------------------------
// Class driver routines

typedef enum {
    ReadyForNextStreamDataRequest = 0,
    ReadyForNextStreamControlRequest = 1,
    HardwareStarved = 2,
    StreamRequestComplete = 3,
    SignalMultipleStreamEvents = 4,
    SignalStreamEvent = 5,
    DeleteStreamEvent = 6,
    StreamNotificationMaximum = 7,
} STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE;

typedef enum {
    ReadyForNextDeviceRequest = 0,
    DeviceRequestComplete = 1,
    SignalMultipleDeviceEvents = 2,
    SignalDeviceEvent = 3,
    DeleteDeviceEvent = 4,
    SignalMultipleDeviceInstanceEvents = 5,
    DeviceNotificationMaximum = 6,
} STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE;

// Argument1: the driver object; Argument2: the registry path (PUNICODE_STRING).
NTSTATUS StreamClassRegisterAdapter(PVOID Argument1, PVOID Argument2, PHW_INITIALIZATION_DATA HwInitializationData);
// DeviceRequestComplete: completes an adapter request with its Status. Any thread, any IRQL up to
// DISPATCH_LEVEL.
VOID StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType,
                                   PVOID HwDeviceExtension, PHW_STREAM_REQUEST_BLOCK Srb, NT_CALLSITE);
// StreamRequestComplete: completes a stream request with its Status, ActualBytesTransferred and
// stream headers. Any thread, any IRQL up to DISPATCH_LEVEL.
VOID StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE NotificationType,
                                   PHW_STREAM_OBJECT StreamObject, PHW_STREAM_REQUEST_BLOCK Srb, NT_CALLSITE);
// TIME_GET_STREAM_TIME: fills Time (stream time, 100 ns) and SystemTime.
VOID StreamClassQueryMasterClockSync(HANDLE MasterClockHandle, PHW_TIME_CONTEXT TimeContext);
