// Storport for virtual miniports, for the mingw-w64 build of the driver. mingw-w64 10 ships a
// 2012-era ddk/storport.h without the virtual-miniport registration, StorPortExtendedFunction or
// the Storport form of PORT_CONFIGURATION_INFORMATION, and it cannot be included beside ntddk.h
// (its srb.h redefines _SCSI_WMI_REQUEST_BLOCK). This file declares what the driver uses with the
// WDK's names, member order and calling conventions; the x64 layouts are asserted at the end.
// With the Microsoft WDK the real storport.h is used and this directory is not on the include
// path.
#pragma once

#include <ntddk.h>

#ifdef __cplusplus
extern "C" {
#endif

#define STORPORT_API

// ---------------------------------------------------------------------------------------------
// SCSI request block (x64: 0x58 bytes)

typedef struct _SCSI_REQUEST_BLOCK {
    USHORT Length;
    UCHAR Function;
    UCHAR SrbStatus;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR QueueTag;
    UCHAR QueueAction;
    UCHAR CdbLength;
    UCHAR SenseInfoBufferLength;
    ULONG SrbFlags;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    PVOID DataBuffer;
    PVOID SenseInfoBuffer;
    struct _SCSI_REQUEST_BLOCK* NextSrb;
    PVOID OriginalRequest;
    PVOID SrbExtension;
    union {
        ULONG InternalStatus;
        ULONG QueueSortKey;
        ULONG LinkTimeoutValue;
    };
    ULONG Reserved;
    UCHAR Cdb[16];
} SCSI_REQUEST_BLOCK, *PSCSI_REQUEST_BLOCK;

#define SCSI_REQUEST_BLOCK_SIZE sizeof(SCSI_REQUEST_BLOCK)

// SRB functions
#define SRB_FUNCTION_EXECUTE_SCSI         0x00
#define SRB_FUNCTION_CLAIM_DEVICE         0x01
#define SRB_FUNCTION_IO_CONTROL           0x02
#define SRB_FUNCTION_RECEIVE_EVENT        0x03
#define SRB_FUNCTION_RELEASE_QUEUE        0x04
#define SRB_FUNCTION_ATTACH_DEVICE        0x05
#define SRB_FUNCTION_RELEASE_DEVICE       0x06
#define SRB_FUNCTION_SHUTDOWN             0x07
#define SRB_FUNCTION_FLUSH                0x08
#define SRB_FUNCTION_ABORT_COMMAND        0x10
#define SRB_FUNCTION_RELEASE_RECOVERY     0x11
#define SRB_FUNCTION_RESET_BUS            0x12
#define SRB_FUNCTION_RESET_DEVICE         0x13
#define SRB_FUNCTION_TERMINATE_IO         0x14
#define SRB_FUNCTION_FLUSH_QUEUE          0x15
#define SRB_FUNCTION_REMOVE_DEVICE        0x16
#define SRB_FUNCTION_WMI                  0x17
#define SRB_FUNCTION_LOCK_QUEUE           0x18
#define SRB_FUNCTION_UNLOCK_QUEUE         0x19
#define SRB_FUNCTION_RESET_LOGICAL_UNIT   0x20
#define SRB_FUNCTION_SET_LINK_TIMEOUT     0x21
#define SRB_FUNCTION_LINK_TIMEOUT_OCCURRED 0x22
#define SRB_FUNCTION_LINK_TIMEOUT_COMPLETE 0x23
#define SRB_FUNCTION_POWER                0x24
#define SRB_FUNCTION_PNP                  0x25
#define SRB_FUNCTION_DUMP_POINTERS        0x26
#define SRB_FUNCTION_FREE_DUMP_POINTERS   0x27
#define SRB_FUNCTION_STORAGE_REQUEST_BLOCK 0x28

// SRB status
#define SRB_STATUS_PENDING                0x00
#define SRB_STATUS_SUCCESS                0x01
#define SRB_STATUS_ABORTED                0x02
#define SRB_STATUS_ABORT_FAILED           0x03
#define SRB_STATUS_ERROR                  0x04
#define SRB_STATUS_BUSY                   0x05
#define SRB_STATUS_INVALID_REQUEST        0x06
#define SRB_STATUS_INVALID_PATH_ID        0x07
#define SRB_STATUS_NO_DEVICE              0x08
#define SRB_STATUS_TIMEOUT                0x09
#define SRB_STATUS_SELECTION_TIMEOUT      0x0A
#define SRB_STATUS_COMMAND_TIMEOUT        0x0B
#define SRB_STATUS_MESSAGE_REJECTED       0x0D
#define SRB_STATUS_BUS_RESET              0x0E
#define SRB_STATUS_PARITY_ERROR           0x0F
#define SRB_STATUS_REQUEST_SENSE_FAILED   0x10
#define SRB_STATUS_NO_HBA                 0x11
#define SRB_STATUS_DATA_OVERRUN           0x12
#define SRB_STATUS_UNEXPECTED_BUS_FREE    0x13
#define SRB_STATUS_PHASE_SEQUENCE_FAILURE 0x14
#define SRB_STATUS_BAD_SRB_BLOCK_LENGTH   0x15
#define SRB_STATUS_REQUEST_FLUSHED        0x16
#define SRB_STATUS_INVALID_LUN            0x20
#define SRB_STATUS_INVALID_TARGET_ID      0x21
#define SRB_STATUS_BAD_FUNCTION           0x22
#define SRB_STATUS_ERROR_RECOVERY         0x23
#define SRB_STATUS_NOT_POWERED            0x24
#define SRB_STATUS_LINK_DOWN              0x25
#define SRB_STATUS_INTERNAL_ERROR         0x30
#define SRB_STATUS_QUEUE_FROZEN           0x40
#define SRB_STATUS_AUTOSENSE_VALID        0x80
#define SRB_STATUS(Status) ((Status) & ~(SRB_STATUS_AUTOSENSE_VALID | SRB_STATUS_QUEUE_FROZEN))

// SRB flags
#define SRB_FLAGS_QUEUE_ACTION_ENABLE     0x00000002
#define SRB_FLAGS_DISABLE_DISCONNECT      0x00000004
#define SRB_FLAGS_DISABLE_SYNCH_TRANSFER  0x00000008
#define SRB_FLAGS_BYPASS_FROZEN_QUEUE     0x00000010
#define SRB_FLAGS_DISABLE_AUTOSENSE       0x00000020
#define SRB_FLAGS_DATA_IN                 0x00000040
#define SRB_FLAGS_DATA_OUT                0x00000080
#define SRB_FLAGS_NO_DATA_TRANSFER        0x00000000
#define SRB_FLAGS_UNSPECIFIED_DIRECTION   (SRB_FLAGS_DATA_IN | SRB_FLAGS_DATA_OUT)
#define SRB_FLAGS_NO_QUEUE_FREEZE         0x00000100
#define SRB_FLAGS_ADAPTER_CACHE_ENABLE    0x00000200
#define SRB_FLAGS_FREE_SENSE_BUFFER       0x00000400
#define SRB_FLAGS_IS_ACTIVE               0x00010000
#define SRB_FLAGS_ALLOCATED_FROM_ZONE     0x00020000
#define SRB_FLAGS_SGLIST_FROM_POOL        0x00040000
#define SRB_FLAGS_BYPASS_LOCKED_QUEUE     0x00080000
#define SRB_FLAGS_NO_KEEP_AWAKE           0x00100000
#define SRB_FLAGS_PORT_DRIVER_ALLOCSENSE  0x00200000
#define SRB_FLAGS_PORT_DRIVER_SENSEHASPORT 0x00400000
#define SRB_FLAGS_DONT_START_NEXT_PACKET  0x00800000

// Queue actions
#define SRB_SIMPLE_TAG_REQUEST            0x20
#define SRB_HEAD_OF_QUEUE_TAG_REQUEST     0x21
#define SRB_ORDERED_QUEUE_TAG_REQUEST     0x22

// SCSI status
#define SCSISTAT_GOOD                     0x00
#define SCSISTAT_CHECK_CONDITION          0x02
#define SCSISTAT_CONDITION_MET            0x04
#define SCSISTAT_BUSY                     0x08
#define SCSISTAT_INTERMEDIATE             0x10
#define SCSISTAT_INTERMEDIATE_COND_MET    0x14
#define SCSISTAT_RESERVATION_CONFLICT     0x18
#define SCSISTAT_COMMAND_TERMINATED       0x22
#define SCSISTAT_QUEUE_FULL               0x28

// ---------------------------------------------------------------------------------------------
// Port configuration (Storport form, x64: 0xE0 bytes)


typedef enum _STOR_SYNCHRONIZATION_MODEL { StorSynchronizeHalfDuplex, StorSynchronizeFullDuplex } STOR_SYNCHRONIZATION_MODEL;
typedef enum _INTERRUPT_SYNCHRONIZATION_MODE {
    InterruptSupportNone,
    InterruptSynchronizeAll,
    InterruptSynchronizePerMessage
} INTERRUPT_SYNCHRONIZATION_MODE;

typedef PHYSICAL_ADDRESS SCSI_PHYSICAL_ADDRESS, *PSCSI_PHYSICAL_ADDRESS;
typedef PHYSICAL_ADDRESS STOR_PHYSICAL_ADDRESS, *PSTOR_PHYSICAL_ADDRESS;

typedef struct _ACCESS_RANGE {
    SCSI_PHYSICAL_ADDRESS RangeStart;
    ULONG RangeLength;
    BOOLEAN RangeInMemory;
} ACCESS_RANGE, *PACCESS_RANGE;

typedef struct _MEMORY_REGION {
    PUCHAR VirtualBase;
    PHYSICAL_ADDRESS PhysicalBase;
    ULONG Length;
} MEMORY_REGION, *PMEMORY_REGION;

typedef BOOLEAN (HW_MESSAGE_SIGNALED_INTERRUPT_ROUTINE)(PVOID HwDeviceExtension, ULONG MessageId);
typedef HW_MESSAGE_SIGNALED_INTERRUPT_ROUTINE* PHW_MESSAGE_SIGNALED_INTERRUPT_ROUTINE;

typedef struct _PORT_CONFIGURATION_INFORMATION {
    ULONG Length;
    ULONG SystemIoBusNumber;
    INTERFACE_TYPE AdapterInterfaceType;
    ULONG BusInterruptLevel;
    ULONG BusInterruptVector;
    KINTERRUPT_MODE InterruptMode;
    ULONG MaximumTransferLength;
    ULONG NumberOfPhysicalBreaks;
    ULONG DmaChannel;
    ULONG DmaPort;
    DMA_WIDTH DmaWidth;
    DMA_SPEED DmaSpeed;
    ULONG AlignmentMask;
    ULONG NumberOfAccessRanges;
    ACCESS_RANGE (*AccessRanges)[];
    PVOID MiniportDumpData;
    UCHAR NumberOfBuses;
    CCHAR InitiatorBusId[8];
    BOOLEAN ScatterGather;
    BOOLEAN Master;
    BOOLEAN CachesData;
    BOOLEAN AdapterScansDown;
    BOOLEAN AtdiskPrimaryClaimed;
    BOOLEAN AtdiskSecondaryClaimed;
    BOOLEAN Dma32BitAddresses;
    BOOLEAN DemandMode;
    UCHAR MapBuffers;
    BOOLEAN NeedPhysicalAddresses;
    BOOLEAN TaggedQueuing;
    BOOLEAN AutoRequestSense;
    BOOLEAN MultipleRequestPerLu;
    BOOLEAN ReceiveEvent;
    BOOLEAN RealModeInitialized;
    BOOLEAN BufferAccessScsiPortControlled;
    UCHAR MaximumNumberOfTargets;
    UCHAR SrbType;
    UCHAR AddressType;
    ULONG SlotNumber;
    ULONG BusInterruptLevel2;
    ULONG BusInterruptVector2;
    KINTERRUPT_MODE InterruptMode2;
    ULONG DmaChannel2;
    ULONG DmaPort2;
    DMA_WIDTH DmaWidth2;
    DMA_SPEED DmaSpeed2;
    ULONG DeviceExtensionSize;
    ULONG SpecificLuExtensionSize;
    ULONG SrbExtensionSize;
    UCHAR Dma64BitAddresses;
    BOOLEAN ResetTargetSupported;
    UCHAR MaximumNumberOfLogicalUnits;
    BOOLEAN WmiDataProvider;
    STOR_SYNCHRONIZATION_MODEL SynchronizationModel;
    PHW_MESSAGE_SIGNALED_INTERRUPT_ROUTINE HwMSInterruptRoutine;
    INTERRUPT_SYNCHRONIZATION_MODE InterruptSynchronizationMode;
    MEMORY_REGION DumpRegion;
    ULONG RequestedDumpBufferSize;
    BOOLEAN VirtualDevice;
    UCHAR DumpMode;
    ULONG ExtendedFlags1;
    ULONG MaxNumberOfIO;
    ULONG MaxIOsPerLun;
    ULONG InitialLunQueueDepth;
    ULONG BusResetHoldTime;
    ULONG FeatureSupport;
} PORT_CONFIGURATION_INFORMATION, *PPORT_CONFIGURATION_INFORMATION;

#define SCSI_DMA64_MINIPORT_SUPPORTED      0x01
#define SCSI_DMA64_MINIPORT_FULL64BIT_SUPPORTED 0x02

#define STOR_MAP_NO_BUFFERS                0
#define STOR_MAP_ALL_BUFFERS               1
#define STOR_MAP_NON_READ_WRITE_BUFFERS    2
#define STOR_MAP_ALL_BUFFERS_INCLUDING_READ_WRITE 3

// HwFindAdapter results
#define SP_RETURN_NOT_FOUND   0
#define SP_RETURN_FOUND       1
#define SP_RETURN_ERROR       2
#define SP_RETURN_BAD_CONFIG  3

// ---------------------------------------------------------------------------------------------
// Adapter control

typedef enum _SCSI_ADAPTER_CONTROL_TYPE {
    ScsiQuerySupportedControlTypes = 0,
    ScsiStopAdapter,
    ScsiRestartAdapter,
    ScsiSetBootConfig,
    ScsiSetRunningConfig,
    ScsiPowerSettingNotification,
    ScsiAdapterPower,
    ScsiAdapterPoFxPowerRequired,
    ScsiAdapterPoFxPowerActive,
    ScsiAdapterPoFxPowerSetFState,
    ScsiAdapterPoFxMaxOperationalPower,
    ScsiAdapterPoFxSetPerfState,
    ScsiAdapterSurpriseRemoval,
    ScsiAdapterSerialNumber,
    ScsiAdapterCryptoOperation,
    ScsiAdapterQueryFruId,
    ScsiAdapterSetEventLogging,
    ScsiAdapterControlMax,
    MakeAdapterControlTypeSizeOfUlong = 0xffffffff
} SCSI_ADAPTER_CONTROL_TYPE, *PSCSI_ADAPTER_CONTROL_TYPE;

typedef enum _SCSI_ADAPTER_CONTROL_STATUS {
    ScsiAdapterControlSuccess = 0,
    ScsiAdapterControlUnsuccessful
} SCSI_ADAPTER_CONTROL_STATUS, *PSCSI_ADAPTER_CONTROL_STATUS;

typedef struct _SCSI_SUPPORTED_CONTROL_TYPE_LIST {
    ULONG MaxControlType;
    BOOLEAN SupportedTypeList[1];
} SCSI_SUPPORTED_CONTROL_TYPE_LIST, *PSCSI_SUPPORTED_CONTROL_TYPE_LIST;

// ---------------------------------------------------------------------------------------------
// Miniport callbacks

typedef BOOLEAN (HW_INITIALIZE)(PVOID DeviceExtension);
typedef HW_INITIALIZE* PHW_INITIALIZE;
typedef BOOLEAN (HW_BUILDIO)(PVOID DeviceExtension, PSCSI_REQUEST_BLOCK Srb);
typedef HW_BUILDIO* PHW_BUILDIO;
typedef BOOLEAN (HW_STARTIO)(PVOID DeviceExtension, PSCSI_REQUEST_BLOCK Srb);
typedef HW_STARTIO* PHW_STARTIO;
typedef BOOLEAN (HW_INTERRUPT)(PVOID DeviceExtension);
typedef HW_INTERRUPT* PHW_INTERRUPT;
typedef VOID (HW_TIMER)(PVOID DeviceExtension);
typedef HW_TIMER* PHW_TIMER;
typedef VOID (HW_DMA_STARTED)(PVOID DeviceExtension);
typedef HW_DMA_STARTED* PHW_DMA_STARTED;
typedef ULONG (VIRTUAL_HW_FIND_ADAPTER)(PVOID DeviceExtension, PVOID HwContext, PVOID BusInformation,
                                        PVOID LowerDevice, PCHAR ArgumentString,
                                        PPORT_CONFIGURATION_INFORMATION ConfigInfo, PBOOLEAN Again);
typedef VIRTUAL_HW_FIND_ADAPTER* PVIRTUAL_HW_FIND_ADAPTER;
typedef BOOLEAN (HW_RESET_BUS)(PVOID DeviceExtension, ULONG PathId);
typedef HW_RESET_BUS* PHW_RESET_BUS;
typedef BOOLEAN (HW_ADAPTER_STATE)(PVOID DeviceExtension, PVOID Context, BOOLEAN SaveState);
typedef HW_ADAPTER_STATE* PHW_ADAPTER_STATE;
typedef SCSI_ADAPTER_CONTROL_STATUS (HW_ADAPTER_CONTROL)(PVOID DeviceExtension,
                                                         SCSI_ADAPTER_CONTROL_TYPE ControlType,
                                                         PVOID Parameters);
typedef HW_ADAPTER_CONTROL* PHW_ADAPTER_CONTROL;
typedef VOID (HW_FREE_ADAPTER_RESOURCES)(PVOID DeviceExtension);
typedef HW_FREE_ADAPTER_RESOURCES* PHW_FREE_ADAPTER_RESOURCES;
typedef VOID (HW_PROCESS_SERVICE_REQUEST)(PVOID DeviceExtension, PVOID Irp);
typedef HW_PROCESS_SERVICE_REQUEST* PHW_PROCESS_SERVICE_REQUEST;
typedef VOID (HW_COMPLETE_SERVICE_IRP)(PVOID DeviceExtension);
typedef HW_COMPLETE_SERVICE_IRP* PHW_COMPLETE_SERVICE_IRP;
typedef VOID (HW_INITIALIZE_TRACING)(PVOID Arg1, PVOID Arg2);
typedef HW_INITIALIZE_TRACING* PHW_INITIALIZE_TRACING;
typedef VOID (HW_CLEANUP_TRACING)(PVOID Arg1);
typedef HW_CLEANUP_TRACING* PHW_CLEANUP_TRACING;

// Registration data of a virtual miniport (x64: 0xB0 bytes). StorPortInitialize takes the
// physical miniports' HW_INITIALIZATION_DATA; a virtual miniport casts its structure to it.
typedef struct _VIRTUAL_HW_INITIALIZATION_DATA {
    ULONG HwInitializationDataSize;
    INTERFACE_TYPE AdapterInterfaceType;
    PHW_INITIALIZE HwInitialize;
    PHW_STARTIO HwStartIo;
    PHW_INTERRUPT HwInterrupt;
    PVIRTUAL_HW_FIND_ADAPTER HwFindAdapter;
    PHW_RESET_BUS HwResetBus;
    PHW_DMA_STARTED HwDmaStarted;
    PHW_ADAPTER_STATE HwAdapterState;
    ULONG DeviceExtensionSize;
    ULONG SpecificLuExtensionSize;
    ULONG SrbExtensionSize;
    ULONG NumberOfAccessRanges;
    PVOID Reserved;
    UCHAR MapBuffers;
    BOOLEAN NeedPhysicalAddresses;
    BOOLEAN TaggedQueuing;
    BOOLEAN AutoRequestSense;
    BOOLEAN MultipleRequestPerLu;
    BOOLEAN ReceiveEvent;
    USHORT VendorIdLength;
    PVOID VendorId;
    union {
        USHORT ReservedUshort;
        USHORT PortVersionFlags;
    };
    USHORT DeviceIdLength;
    PVOID DeviceId;
    PHW_ADAPTER_CONTROL HwAdapterControl;
    PHW_BUILDIO HwBuildIo;
    PHW_FREE_ADAPTER_RESOURCES HwFreeAdapterResources;
    PHW_PROCESS_SERVICE_REQUEST HwProcessServiceRequest;
    PHW_COMPLETE_SERVICE_IRP HwCompleteServiceIrp;
    PHW_INITIALIZE_TRACING HwInitializeTracing;
    PHW_CLEANUP_TRACING HwCleanupTracing;
} VIRTUAL_HW_INITIALIZATION_DATA, *PVIRTUAL_HW_INITIALIZATION_DATA;

typedef struct _HW_INITIALIZATION_DATA HW_INITIALIZATION_DATA, *PHW_INITIALIZATION_DATA;

// ---------------------------------------------------------------------------------------------
// Notifications

typedef enum _SCSI_NOTIFICATION_TYPE {
    RequestComplete,
    NextRequest,
    NextLuRequest,
    ResetDetected,
    _obsolete1,
    _obsolete2,
    RequestTimerCall,
    BusChangeDetected,
    WMIEvent,
    WMIReregister,
    LinkUp,
    LinkDown,
    QueryTickCount,
    BufferOverrunDetected,
    TraceNotification,
    GetExtendedFunctionTable,
    EnablePassiveInitialization = 0x1000,
    InitializeDpc,
    IssueDpc,
    AcquireSpinLock,
    ReleaseSpinLock
} SCSI_NOTIFICATION_TYPE, *PSCSI_NOTIFICATION_TYPE;

// ---------------------------------------------------------------------------------------------
// Storage bus types

typedef enum _STORAGE_BUS_TYPE {
    BusTypeUnknown = 0x00,
    BusTypeScsi,
    BusTypeAtapi,
    BusTypeAta,
    BusType1394,
    BusTypeSsa,
    BusTypeFibre,
    BusTypeUsb,
    BusTypeRAID,
    BusTypeiScsi,
    BusTypeSas,
    BusTypeSata,
    BusTypeSd,
    BusTypeMmc,
    BusTypeVirtual,
    BusTypeFileBackedVirtual,
    BusTypeSpaces,
    BusTypeNvme,
    BusTypeSCM,
    BusTypeUfs,
    BusTypeMax,
    BusTypeMaxReserved = 0x7F
} STORAGE_BUS_TYPE, *PSTORAGE_BUS_TYPE;

// ---------------------------------------------------------------------------------------------
// Extended functions

#define STOR_STATUS_SUCCESS                  (0x00000000L)
#define STOR_STATUS_UNSUCCESSFUL             (0xC1000001L)
#define STOR_STATUS_NOT_IMPLEMENTED          (0xC1000002L)
#define STOR_STATUS_INSUFFICIENT_RESOURCES   (0xC1000003L)
#define STOR_STATUS_BUFFER_TOO_SMALL         (0xC1000004L)
#define STOR_STATUS_ACCESS_DENIED            (0xC1000005L)
#define STOR_STATUS_INVALID_PARAMETER        (0xC1000006L)
#define STOR_STATUS_INVALID_DEVICE_REQUEST   (0xC1000007L)
#define STOR_STATUS_INVALID_IRQL             (0xC1000008L)
#define STOR_STATUS_INVALID_DEVICE_STATE     (0xC1000009L)
#define STOR_STATUS_INVALID_BUFFER_SIZE      (0xC100000AL)
#define STOR_STATUS_UNSUPPORTED_VERSION      (0xC100000BL)
#define STOR_STATUS_BUSY                     (0xC100000CL)

typedef enum _STORPORT_FUNCTION_CODE {
    ExtFunctionAllocatePool = 0,
    ExtFunctionFreePool,
    ExtFunctionAllocateMdl,
    ExtFunctionFreeMdl,
    ExtFunctionBuildMdlForNonPagedPool,
    ExtFunctionGetSystemAddress,
    ExtFunctionGetOriginalMdl,
    ExtFunctionCompleteServiceIrp,
    ExtFunctionGetDeviceObjects,
    ExtFunctionBuildScatterGatherList,
    ExtFunctionPutScatterGatherList,
    ExtFunctionAcquireMSISpinLock,
    ExtFunctionReleaseMSISpinLock,
    ExtFunctionGetMessageInterruptInformation,
    ExtFunctionInitializePerformanceOptimizations,
    ExtFunctionGetStartIoPerformanceParameters,
    ExtFunctionLogSystemEvent,
    ExtFunctionSetAdapterBusType = 64,
} STORPORT_FUNCTION_CODE, *PSTORPORT_FUNCTION_CODE;

// ---------------------------------------------------------------------------------------------
// Port routines

STORPORT_API ULONG NTAPI StorPortInitialize(PVOID Argument1, PVOID Argument2,
                                            struct _HW_INITIALIZATION_DATA* HwInitializationData,
                                            PVOID HwContext);
STORPORT_API VOID __cdecl StorPortNotification(SCSI_NOTIFICATION_TYPE NotificationType,
                                               PVOID HwDeviceExtension, ...);
STORPORT_API ULONG __cdecl StorPortExtendedFunction(STORPORT_FUNCTION_CODE FunctionCode,
                                                    PVOID HwDeviceExtension, ...);
STORPORT_API ULONG NTAPI StorPortGetSystemAddress(PVOID HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb,
                                                  PVOID* SystemAddress);
STORPORT_API PVOID NTAPI StorPortGetLogicalUnit(PVOID HwDeviceExtension, UCHAR PathId, UCHAR TargetId,
                                                UCHAR Lun);
STORPORT_API VOID NTAPI StorPortMoveMemory(PVOID WriteBuffer, PVOID ReadBuffer, ULONG Length);
STORPORT_API VOID __cdecl StorPortDebugPrint(ULONG DebugPrintLevel, PCCHAR DebugMessage, ...);
STORPORT_API VOID NTAPI StorPortStallExecution(ULONG Delay);

FORCEINLINE ULONG StorPortSetAdapterBusType(PVOID HwDeviceExtension, ULONG BusType) {
    return StorPortExtendedFunction(ExtFunctionSetAdapterBusType, HwDeviceExtension, BusType);
}

#ifdef __cplusplus
}
#endif

static_assert(sizeof(SCSI_REQUEST_BLOCK) == 0x58, "SCSI_REQUEST_BLOCK");
static_assert(FIELD_OFFSET(SCSI_REQUEST_BLOCK, DataBuffer) == 0x18, "SCSI_REQUEST_BLOCK.DataBuffer");
static_assert(FIELD_OFFSET(SCSI_REQUEST_BLOCK, Cdb) == 0x48, "SCSI_REQUEST_BLOCK.Cdb");
static_assert(sizeof(VIRTUAL_HW_INITIALIZATION_DATA) == 0xB0, "VIRTUAL_HW_INITIALIZATION_DATA");
static_assert(FIELD_OFFSET(VIRTUAL_HW_INITIALIZATION_DATA, HwAdapterControl) == 0x78,
              "VIRTUAL_HW_INITIALIZATION_DATA.HwAdapterControl");
static_assert(sizeof(PORT_CONFIGURATION_INFORMATION) == 0xE0, "PORT_CONFIGURATION_INFORMATION");
static_assert(FIELD_OFFSET(PORT_CONFIGURATION_INFORMATION, SynchronizationModel) == 0x94,
              "PORT_CONFIGURATION_INFORMATION.SynchronizationModel");
static_assert(FIELD_OFFSET(PORT_CONFIGURATION_INFORMATION, VirtualDevice) == 0xC4,
              "PORT_CONFIGURATION_INFORMATION.VirtualDevice");
static_assert(FIELD_OFFSET(PORT_CONFIGURATION_INFORMATION, FeatureSupport) == 0xDC,
              "PORT_CONFIGURATION_INFORMATION.FeatureSupport");
static_assert(BusChangeDetected == 7 && RequestTimerCall == 6 && NextRequest == 1, "SCSI_NOTIFICATION_TYPE");
static_assert(ExtFunctionSetAdapterBusType == 64 && BusTypeVirtual == 14, "bus type");
