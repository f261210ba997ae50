/* The bench's virtual USB printer bus: a root-enumerated WDM bus driver for
 * Wine that plugs and unplugs pretend USB printers on request. Test-only, never
 * shipped.
 *
 * The bus's own device (the FDO on the root PDO) is the control device: the
 * bench tool opens it by its interface and sends IOCTL_USBBUS_PLUG/UNPLUG.
 * Each plugged printer is a child PDO with USB-style ids, RawDeviceOK (so Wine
 * starts it without a function driver) and the USB printer interface, which it
 * enables on start and disables on removal. A read answers the child's block,
 * stays pending until cancelled (a printer that never answers), or the open
 * fails, as the test asked when plugging it. */
#include <ntddk.h>
#include <wdm.h>

#include "usbbus_ioctl.h"

static const GUID kControlInterface = USBBUS_CONTROL_GUID_INIT;
static const GUID kUsbPrintInterface = {0x28d78fad, 0x5a12, 0x11d1, {0xae, 0x5b, 0x00, 0x00, 0xf8, 0x03, 0xa8, 0xc2}};

#define MAX_CHILD_ID 255
#define kPoolTag 0x62737576u /* "vusb" */

struct Child {
  BOOLEAN isBus; /* FALSE: first member of every device extension */
  LIST_ENTRY entry;
  DEVICE_OBJECT* device;
  unsigned int id;
  struct UsbBusPlug plug;
  UNICODE_STRING interfaceLink;
  BOOLEAN interfaceRegistered;
  BOOLEAN unplugged;     /* taken off the bus by the test */
  BOOLEAN removeHandled; /* IRP_MN_REMOVE_DEVICE seen */
  unsigned int openHandles;
  LIST_ENTRY pendingReads;
  LARGE_INTEGER pendingSince; /* when the last read began to wait */
};

struct Bus {
  BOOLEAN isBus; /* TRUE */
};

static DRIVER_OBJECT* gDriver;
static DEVICE_OBJECT* gBusFdo;
static DEVICE_OBJECT* gBusPdo;
static UNICODE_STRING gControlLink;
/* One lock for the child list, every child's state and its pending reads. */
static KSPIN_LOCK gLock;
static LIST_ENTRY gChildren;
static unsigned int gNextId = 1;
/* Kept past a child's removal, so the test can read them after unplugging. */
static struct UsbBusStats gStats[MAX_CHILD_ID + 1];

static void CopyBytes(void* to, const void* from, SIZE_T count) {
  unsigned char* out = (unsigned char*)to;
  const unsigned char* in = (const unsigned char*)from;
  while (count-- > 0) *out++ = *in++;
}

static WCHAR* AppendText(WCHAR* to, const char* text) {
  while (*text) *to++ = (WCHAR)*text++;
  *to = 0;
  return to;
}

static WCHAR* AppendHex(WCHAR* to, unsigned int value, int digits) {
  static const char hex[] = "0123456789ABCDEF";
  int i;
  for (i = digits - 1; i >= 0; --i) to[i] = (WCHAR)hex[value & 0xf], value >>= 4;
  to[digits] = 0;
  return to + digits;
}

static LARGE_INTEGER Now(LARGE_INTEGER* frequency) { return KeQueryPerformanceCounter(frequency); }

/* Records how long the child's last pending read waited; under the lock. */
static void NotePendingEnd(struct Child* child) {
  LARGE_INTEGER frequency;
  LARGE_INTEGER now = Now(&frequency);
  if (child->id <= MAX_CHILD_ID && frequency.QuadPart > 0) {
    gStats[child->id].pendingMs =
        (unsigned int)((now.QuadPart - child->pendingSince.QuadPart) * 1000 / frequency.QuadPart);
  }
}

static BOOLEAN IsBus(DEVICE_OBJECT* device) { return *(BOOLEAN*)device->DeviceExtension; }

static NTSTATUS Complete(IRP* irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

/* --- ids ------------------------------------------------------------------ */

/* "USB\VID_vvvv&PID_pppp" with "&REV_0100" and "&MI_nn" as asked; returns the end. */
static WCHAR* AppendUsbId(WCHAR* to, const struct Child* child, BOOLEAN revision, BOOLEAN interfaceNumber) {
  to = AppendText(to, "USB\\VID_");
  to = AppendHex(to, child->plug.vendor, 4);
  to = AppendText(to, "&PID_");
  to = AppendHex(to, child->plug.product, 4);
  if (revision) to = AppendText(to, "&REV_0100");
  if (interfaceNumber) {
    to = AppendText(to, "&MI_");
    to = AppendHex(to, child->plug.interfaceNumber, 2);
  }
  return to;
}

static NTSTATUS QueryId(struct Child* child, IRP* irp, BUS_QUERY_ID_TYPE type) {
  /* Wine frees the answer with ExFreePool; multi-strings end in two NULs. */
  WCHAR* id = (WCHAR*)ExAllocatePoolWithTag(PagedPool, 256 * sizeof(WCHAR), kPoolTag);
  WCHAR* at;
  if (id == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  at = id;
  switch (type) {
    case BusQueryDeviceID:
      AppendUsbId(at, child, FALSE, TRUE);
      break;
    case BusQueryInstanceID:
      at = AppendText(at, "BENCH");
      AppendHex(at, child->id, 4);
      break;
    case BusQueryHardwareIDs:
      at = AppendUsbId(at, child, TRUE, TRUE) + 1;
      at = AppendUsbId(at, child, FALSE, TRUE) + 1;
      *at = 0;
      break;
    case BusQueryCompatibleIDs:
      at = AppendText(at, "USB\\Class_07&SubClass_01&Prot_02") + 1;
      at = AppendText(at, "USB\\Class_07") + 1;
      *at = 0;
      break;
    default:
      ExFreePoolWithTag(id, kPoolTag);
      return irp->IoStatus.Status;
  }
  irp->IoStatus.Information = (ULONG_PTR)id;
  return STATUS_SUCCESS;
}

/* --- pending reads ---------------------------------------------------------- */

static void NTAPI CancelRead(DEVICE_OBJECT* device, IRP* irp) {
  struct Child* child = (struct Child*)device->DeviceExtension;
  KIRQL irql;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KeAcquireSpinLock(&gLock, &irql);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  if (child->id <= MAX_CHILD_ID) gStats[child->id].cancelledReads++;
  NotePendingEnd(child);
  KeReleaseSpinLock(&gLock, irql);
  Complete(irp, STATUS_CANCELLED, 0);
}

/* Completes every read still pending on the child, as a vanished printer
 * would. Called without the lock. */
static void AbandonReads(struct Child* child) {
  LIST_ENTRY owned;
  KIRQL irql;
  InitializeListHead(&owned);
  KeAcquireSpinLock(&gLock, &irql);
  LIST_ENTRY* entry = child->pendingReads.Flink;
  while (entry != &child->pendingReads) {
    IRP* irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    entry = entry->Flink;
    /* A read whose cancel routine already runs is that routine's to finish. */
    if (IoSetCancelRoutine(irp, NULL) != NULL) {
      RemoveEntryList(&irp->Tail.Overlay.ListEntry);
      InsertTailList(&owned, &irp->Tail.Overlay.ListEntry);
      if (child->id <= MAX_CHILD_ID) gStats[child->id].abandonedReads++;
      NotePendingEnd(child);
    }
  }
  KeReleaseSpinLock(&gLock, irql);
  while (!IsListEmpty(&owned)) {
    IRP* irp = CONTAINING_RECORD(RemoveHeadList(&owned), IRP, Tail.Overlay.ListEntry);
    Complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
  }
}

/* --- the children ------------------------------------------------------------ */

/* Ends the IRP, then deletes the child once both its removal and its last
 * handle's CLOSE are seen (deleteNow, decided under the lock). */
static NTSTATUS CompleteAndMaybeDelete(DEVICE_OBJECT* device, IRP* irp, BOOLEAN deleteNow) {
  struct Child* child = (struct Child*)device->DeviceExtension;
  Complete(irp, STATUS_SUCCESS, 0);
  if (deleteNow) {
    if (child->interfaceRegistered) RtlFreeUnicodeString(&child->interfaceLink);
    IoDeleteDevice(device);
  }
  return STATUS_SUCCESS;
}

static NTSTATUS ChildPnp(DEVICE_OBJECT* device, IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  struct Child* child = (struct Child*)device->DeviceExtension;
  NTSTATUS status = irp->IoStatus.Status;
  KIRQL irql;

  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID:
      status = QueryId(child, irp, stack->Parameters.QueryId.IdType);
      break;

    case IRP_MN_QUERY_CAPABILITIES: {
      DEVICE_CAPABILITIES* caps = stack->Parameters.DeviceCapabilities.Capabilities;
      /* No INF matches these ids: without RawDeviceOK Wine never starts it. */
      caps->RawDeviceOK = 1;
      caps->SurpriseRemovalOK = 1;
      caps->Removable = 1;
      caps->UniqueID = 1;
      caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
      status = STATUS_SUCCESS;
      break;
    }

    case IRP_MN_START_DEVICE:
      if (!child->interfaceRegistered) {
        status = IoRegisterDeviceInterface(device, &kUsbPrintInterface, NULL, &child->interfaceLink);
        if (!NT_SUCCESS(status)) break;
        child->interfaceRegistered = TRUE;
      }
      status = IoSetDeviceInterfaceState(&child->interfaceLink, TRUE);
      if (NT_SUCCESS(status) && child->plug.behaviour == UsbBusFailOpen) {
        /* Wine queues IRP_MJ_CREATE without waiting for it, so failing it
         * never fails CreateFile: point the listed path at nothing instead. */
        UNICODE_STRING nowhere;
        RtlInitUnicodeString(&nowhere, L"\\Device\\BenchUsbNowhere");
        IoDeleteSymbolicLink(&child->interfaceLink);
        IoCreateSymbolicLink(&child->interfaceLink, &nowhere);
      }
      if (child->id <= MAX_CHILD_ID) gStats[child->id].started++;
      break;

    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
      status = STATUS_SUCCESS;
      break;

    case IRP_MN_REMOVE_DEVICE: {
      BOOLEAN deleteNow;
      if (child->interfaceRegistered) IoSetDeviceInterfaceState(&child->interfaceLink, FALSE);
      AbandonReads(child);
      KeAcquireSpinLock(&gLock, &irql);
      child->removeHandled = TRUE;
      if (child->id <= MAX_CHILD_ID) gStats[child->id].removed++;
      /* Wine removes a child at once, even while a program still has it open
       * (Windows waits for the last handle): the last CLOSE deletes it then. */
      deleteNow = child->unplugged && child->openHandles == 0;
      KeReleaseSpinLock(&gLock, irql);
      return CompleteAndMaybeDelete(device, irp, deleteNow);
    }

    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
        DEVICE_RELATIONS* relations = (DEVICE_RELATIONS*)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kPoolTag);
        if (relations == NULL) {
          status = STATUS_INSUFFICIENT_RESOURCES;
          break;
        }
        relations->Count = 1;
        relations->Objects[0] = device;
        ObReferenceObject(device);
        irp->IoStatus.Information = (ULONG_PTR)relations;
        status = STATUS_SUCCESS;
      }
      break;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static NTSTATUS ChildCreate(DEVICE_OBJECT* device, IRP* irp) {
  struct Child* child = (struct Child*)device->DeviceExtension;
  NTSTATUS status = STATUS_SUCCESS;
  KIRQL irql;
  KeAcquireSpinLock(&gLock, &irql);
  if (child->unplugged || child->removeHandled) {
    status = STATUS_NO_SUCH_DEVICE;
  } else {
    child->openHandles++;
  }
  if (child->id <= MAX_CHILD_ID) {
    if (NT_SUCCESS(status)) gStats[child->id].opens++;
    else gStats[child->id].failedOpens++;
  }
  KeReleaseSpinLock(&gLock, irql);
  return Complete(irp, status, 0);
}

/* Wine sends no IRP_MJ_CLEANUP, so CLOSE is where a handle's end is seen. */
static NTSTATUS ChildClose(DEVICE_OBJECT* device, IRP* irp) {
  struct Child* child = (struct Child*)device->DeviceExtension;
  BOOLEAN deleteNow = FALSE;
  KIRQL irql;
  KeAcquireSpinLock(&gLock, &irql);
  if (child->openHandles > 0) child->openHandles--;
  if (child->id <= MAX_CHILD_ID) gStats[child->id].closes++;
  deleteNow = child->removeHandled && child->unplugged && child->openHandles == 0;
  KeReleaseSpinLock(&gLock, irql);
  return CompleteAndMaybeDelete(device, irp, deleteNow);
}

static NTSTATUS ChildRead(DEVICE_OBJECT* device, IRP* irp) {
  struct Child* child = (struct Child*)device->DeviceExtension;
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  ULONG wanted = stack->Parameters.Read.Length;
  ULONG count;
  KIRQL irql;

  KeAcquireSpinLock(&gLock, &irql);
  if (child->id <= MAX_CHILD_ID) gStats[child->id].reads++;
  if (child->unplugged || child->removeHandled) {
    KeReleaseSpinLock(&gLock, irql);
    return Complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
  }
  if (child->plug.behaviour == UsbBusSilent) {
    /* Without a cancel routine CancelIo could never complete this read. */
    LARGE_INTEGER frequency;
    child->pendingSince = Now(&frequency);
    InsertTailList(&child->pendingReads, &irp->Tail.Overlay.ListEntry);
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelRead);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
      RemoveEntryList(&irp->Tail.Overlay.ListEntry);
      KeReleaseSpinLock(&gLock, irql);
      Complete(irp, STATUS_CANCELLED, 0);
      return STATUS_PENDING;
    }
    KeReleaseSpinLock(&gLock, irql);
    return STATUS_PENDING;
  }
  count = child->plug.length < wanted ? child->plug.length : wanted;
  CopyBytes(irp->AssociatedIrp.SystemBuffer, child->plug.block, count);
  KeReleaseSpinLock(&gLock, irql);
  return Complete(irp, STATUS_SUCCESS, count);
}

/* --- the bus ------------------------------------------------------------------- */

static NTSTATUS PlugChild(IRP* irp, IO_STACK_LOCATION* stack) {
  const struct UsbBusPlug* plug = (const struct UsbBusPlug*)irp->AssociatedIrp.SystemBuffer;
  WCHAR nameBuffer[64];
  UNICODE_STRING name;
  DEVICE_OBJECT* device;
  struct Child* child;
  unsigned int id;
  NTSTATUS status;
  KIRQL irql;

  if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(struct UsbBusPlug) ||
      stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(unsigned int) || plug->length > USBBUS_BLOCK_BYTES) {
    return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  }
  KeAcquireSpinLock(&gLock, &irql);
  id = gNextId <= MAX_CHILD_ID ? gNextId++ : 0;
  KeReleaseSpinLock(&gLock, irql);
  if (id == 0) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);

  AppendHex(AppendText(nameBuffer, "\\Device\\BenchUsbPrinter"), id, 4);
  RtlInitUnicodeString(&name, nameBuffer);
  status = IoCreateDevice(gDriver, sizeof(struct Child), &name, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE,
                          &device);
  if (!NT_SUCCESS(status)) return Complete(irp, status, 0);
  child = (struct Child*)device->DeviceExtension;
  RtlZeroMemory(child, sizeof *child);
  child->isBus = FALSE;
  child->device = device;
  child->id = id;
  CopyBytes(&child->plug, plug, sizeof child->plug);
  InitializeListHead(&child->pendingReads);
  device->Flags |= DO_BUFFERED_IO;
  device->Flags &= ~DO_DEVICE_INITIALIZING;

  KeAcquireSpinLock(&gLock, &irql);
  InsertTailList(&gChildren, &child->entry);
  KeReleaseSpinLock(&gLock, irql);
  IoInvalidateDeviceRelations(gBusPdo, BusRelations);

  *(unsigned int*)irp->AssociatedIrp.SystemBuffer = id;
  return Complete(irp, STATUS_SUCCESS, sizeof(unsigned int));
}

static NTSTATUS UnplugChild(IRP* irp, IO_STACK_LOCATION* stack) {
  unsigned int id;
  struct Child* found = NULL;
  LIST_ENTRY* entry;
  KIRQL irql;
  if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(unsigned int)) {
    return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  }
  id = *(const unsigned int*)irp->AssociatedIrp.SystemBuffer;
  KeAcquireSpinLock(&gLock, &irql);
  for (entry = gChildren.Flink; entry != &gChildren; entry = entry->Flink) {
    struct Child* child = CONTAINING_RECORD(entry, struct Child, entry);
    if (child->id == id) {
      found = child;
      RemoveEntryList(&child->entry);
      child->unplugged = TRUE;
      break;
    }
  }
  KeReleaseSpinLock(&gLock, irql);
  if (found == NULL) return Complete(irp, STATUS_NO_SUCH_DEVICE, 0);
  IoInvalidateDeviceRelations(gBusPdo, BusRelations);
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS ChildStats(IRP* irp, IO_STACK_LOCATION* stack) {
  unsigned int id;
  KIRQL irql;
  if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(unsigned int) ||
      stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(struct UsbBusStats)) {
    return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  }
  id = *(const unsigned int*)irp->AssociatedIrp.SystemBuffer;
  if (id == 0 || id >= gNextId || id > MAX_CHILD_ID) return Complete(irp, STATUS_NO_SUCH_DEVICE, 0);
  KeAcquireSpinLock(&gLock, &irql);
  CopyBytes(irp->AssociatedIrp.SystemBuffer, &gStats[id], sizeof(struct UsbBusStats));
  KeReleaseSpinLock(&gLock, irql);
  return Complete(irp, STATUS_SUCCESS, sizeof(struct UsbBusStats));
}

static NTSTATUS BusRelationsAnswer(IRP* irp) {
  DEVICE_RELATIONS* relations;
  LIST_ENTRY* entry;
  ULONG count = 0;
  KIRQL irql;
  KeAcquireSpinLock(&gLock, &irql);
  for (entry = gChildren.Flink; entry != &gChildren; entry = entry->Flink) ++count;
  relations = (DEVICE_RELATIONS*)ExAllocatePoolWithTag(
      NonPagedPool, sizeof(DEVICE_RELATIONS) + (count ? count - 1 : 0) * sizeof(DEVICE_OBJECT*), kPoolTag);
  if (relations == NULL) {
    KeReleaseSpinLock(&gLock, irql);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  relations->Count = 0;
  for (entry = gChildren.Flink; entry != &gChildren; entry = entry->Flink) {
    struct Child* child = CONTAINING_RECORD(entry, struct Child, entry);
    relations->Objects[relations->Count++] = child->device;
    ObReferenceObject(child->device);
  }
  KeReleaseSpinLock(&gLock, irql);
  irp->IoStatus.Information = (ULONG_PTR)relations;
  return STATUS_SUCCESS;
}

static NTSTATUS BusPnp(IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      irp->IoStatus.Status = IoSetDeviceInterfaceState(&gControlLink, TRUE);
      break;
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
      IoSetDeviceInterfaceState(&gControlLink, FALSE);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      status = IoCallDriver(gBusPdo, irp);
      IoDetachDevice(gBusPdo);
      IoDeleteDevice(gBusFdo);
      RtlFreeUnicodeString(&gControlLink);
      gBusFdo = NULL;
      return status;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
        status = BusRelationsAnswer(irp);
        if (!NT_SUCCESS(status)) return Complete(irp, status, 0);
        irp->IoStatus.Status = STATUS_SUCCESS;
      }
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(gBusPdo, irp);
}

static NTSTATUS BusIoctl(IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_USBBUS_PLUG:
      return PlugChild(irp, stack);
    case IOCTL_USBBUS_UNPLUG:
      return UnplugChild(irp, stack);
    case IOCTL_USBBUS_STATS:
      return ChildStats(irp, stack);
  }
  return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

/* --- dispatch ------------------------------------------------------------------- */

static NTSTATUS NTAPI DispatchPnp(DEVICE_OBJECT* device, IRP* irp) {
  return IsBus(device) ? BusPnp(irp) : ChildPnp(device, irp);
}

static NTSTATUS NTAPI DispatchPower(DEVICE_OBJECT* device, IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  PoStartNextPowerIrp(irp);
  if (IsBus(device)) {
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(gBusPdo, irp);
  }
  if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) status = STATUS_SUCCESS;
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static NTSTATUS NTAPI DispatchCreate(DEVICE_OBJECT* device, IRP* irp) {
  return IsBus(device) ? Complete(irp, STATUS_SUCCESS, 0) : ChildCreate(device, irp);
}

static NTSTATUS NTAPI DispatchClose(DEVICE_OBJECT* device, IRP* irp) {
  return IsBus(device) ? Complete(irp, STATUS_SUCCESS, 0) : ChildClose(device, irp);
}

static NTSTATUS NTAPI DispatchRead(DEVICE_OBJECT* device, IRP* irp) {
  return IsBus(device) ? Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0) : ChildRead(device, irp);
}

static NTSTATUS NTAPI DispatchIoctl(DEVICE_OBJECT* device, IRP* irp) {
  return IsBus(device) ? BusIoctl(irp) : Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS NTAPI AddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
  NTSTATUS status;
  if (gBusFdo != NULL) return STATUS_DEVICE_ALREADY_ATTACHED;
  status = IoCreateDevice(driver, sizeof(struct Bus), NULL, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &gBusFdo);
  if (!NT_SUCCESS(status)) return status;
  ((struct Bus*)gBusFdo->DeviceExtension)->isBus = TRUE;
  status = IoRegisterDeviceInterface(pdo, &kControlInterface, NULL, &gControlLink);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(gBusFdo);
    gBusFdo = NULL;
    return status;
  }
  IoAttachDeviceToDeviceStack(gBusFdo, pdo);
  gBusPdo = pdo;
  gBusFdo->Flags |= DO_BUFFERED_IO;
  gBusFdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

static void NTAPI Unload(DRIVER_OBJECT* driver) { (void)driver; }

NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registryPath) {
  (void)registryPath;
  gDriver = driver;
  KeInitializeSpinLock(&gLock);
  InitializeListHead(&gChildren);
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchIoctl;
  return STATUS_SUCCESS;
}
