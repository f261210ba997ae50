/* The bench's virtual USB printer bus: the control requests that the bench
 * tool sends to the bus driver. Shared by the driver (C, DDK headers) and the
 * tool (C++, Win32 headers); both define CTL_CODE before including this. */
#pragma once

/* {5b0d7a3e-9c41-4f1e-a8d2-6c7e1b3f0a55}: the interface of the bus's control
 * device, enabled while the bus runs. */
#define USBBUS_CONTROL_GUID_INIT {0x5b0d7a3e, 0x9c41, 0x4f1e, {0xa8, 0xd2, 0x6c, 0x7e, 0x1b, 0x3f, 0x0a, 0x55}}

/* Input: struct UsbBusPlug. Output: the new child's id (unsigned int). */
#define IOCTL_USBBUS_PLUG CTL_CODE(0x22, 0x801, 0 /* METHOD_BUFFERED */, 0 /* FILE_ANY_ACCESS */)
/* Input: a child id. Fails with STATUS_NO_SUCH_DEVICE for an unknown id. */
#define IOCTL_USBBUS_UNPLUG CTL_CODE(0x22, 0x802, 0, 0)
/* Input: a child id. Output: struct UsbBusStats. */
#define IOCTL_USBBUS_STATS CTL_CODE(0x22, 0x803, 0, 0)

enum UsbBusBehaviour {
  UsbBusAnswer = 0,    /* every read returns the child's block */
  UsbBusSilent = 1,    /* a read stays pending until cancelled or unplugged */
  UsbBusFailOpen = 2,  /* opening the device fails */
};

#define USBBUS_BLOCK_BYTES 256

struct UsbBusPlug {
  unsigned int vendor;
  unsigned int product;
  unsigned int interfaceNumber;
  unsigned int behaviour;
  unsigned int length; /* bytes of block a read returns, at most 256 */
  unsigned char block[USBBUS_BLOCK_BYTES];
};

struct UsbBusStats {
  unsigned int opens;
  unsigned int failedOpens;
  unsigned int reads;
  unsigned int cancelledReads;
  unsigned int abandonedReads; /* pending when the child was unplugged */
  unsigned int closes;
  unsigned int started;
  unsigned int removed;
  unsigned int pendingMs; /* how long the last pending read waited until it ended */
};
