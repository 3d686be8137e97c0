/* Test equipment, never shipped: a kernel driver for Wine's device host (winedevice.exe) that
 * makes "\\.\ZelkoVd", "\\.\PhysicalDrive0" and "\\.\C:" of a Wine prefix reach the real driver
 * running in the host kernel ("zelkovd-host machine") and a disk image on the Linux side.
 *
 * Each DeviceIoControl on one of its three devices is relayed, as one text line, to the bridge
 * (machine-bridge.py) on 127.0.0.1 and answered with the bridge's status, byte count and output
 * bytes. Under Wine a driver is an ordinary process image, so it may use Winsock; the handful
 * of Winsock declarations is spelled out because winsock2.h and the DDK headers do not mix.
 *
 * Request line:  "<device> <code hex> <output length> <input hex>\n"   device: zelkovd|disk|volume
 * Answer line:   "<NTSTATUS hex> <information> <output hex>\n"
 */
#include <ntddk.h>

typedef ULONG_PTR SOCKET;
struct WsaData { char opaque[512]; };
struct SockAddrIn {
  USHORT family;
  USHORT port;
  ULONG addr;
  char zero[8];
};
__declspec(dllimport) int __stdcall WSAStartup(USHORT version, struct WsaData* data);
__declspec(dllimport) SOCKET __stdcall socket(int af, int type, int protocol);
__declspec(dllimport) int __stdcall connect(SOCKET s, const struct SockAddrIn* name, int len);
__declspec(dllimport) int __stdcall send(SOCKET s, const char* buf, int len, int flags);
__declspec(dllimport) int __stdcall recv(SOCKET s, char* buf, int len, int flags);
__declspec(dllimport) int __stdcall closesocket(SOCKET s);
#define ZF_INVALID_SOCKET ((SOCKET)~(ULONG_PTR)0)
#define ZF_TAG 0x6477465AUL /* 'ZFwd' */

enum { DEV_ZELKOVD, DEV_DISK, DEV_VOLUME, DEV_COUNT };
static const WCHAR* const kDeviceNames[DEV_COUNT] = {L"\\Device\\ZelkoVd", L"\\Device\\ZelkoFwdDisk0",
                                                     L"\\Device\\ZelkoFwdVolumeC"};
static const WCHAR* const kLinkNames[DEV_COUNT] = {L"\\DosDevices\\ZelkoVd", L"\\DosDevices\\PhysicalDrive0",
                                                   L"\\DosDevices\\C:"};
static const char* const kTags[DEV_COUNT] = {"zelkovd", "disk", "volume"};

static PDEVICE_OBJECT g_devices[DEV_COUNT];
static SOCKET g_sock = ZF_INVALID_SOCKET;
static USHORT g_port;
static KMUTEX g_lock;
static char* g_line;       /* one request or answer line */
static SIZE_T g_lineSize;
static char* g_in;         /* receive buffer */
static SIZE_T g_inHave, g_inUsed;

static const char kHex[] = "0123456789abcdef";

static int HexVal(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

static BOOLEAN SendAll(const char* p, SIZE_T n) {
  while (n > 0) {
    int chunk = n > 0x40000000 ? 0x40000000 : (int)n;
    int sent = send(g_sock, p, chunk, 0);
    if (sent <= 0) return FALSE;
    p += sent;
    n -= (SIZE_T)sent;
  }
  return TRUE;
}

/* Reads one line into g_line (without the line feed); FALSE on a broken connection. */
static BOOLEAN RecvLine(SIZE_T* length) {
  SIZE_T n = 0;
  for (;;) {
    while (g_inUsed < g_inHave) {
      char c = g_in[g_inUsed++];
      if (c == '\n') {
        *length = n;
        return TRUE;
      }
      if (n + 1 >= g_lineSize) return FALSE;
      g_line[n++] = c;
    }
    int got = recv(g_sock, g_in, 65536, 0);
    if (got <= 0) return FALSE;
    g_inHave = (SIZE_T)got;
    g_inUsed = 0;
  }
}

static BOOLEAN EnsureConnected(void) {
  if (g_sock != ZF_INVALID_SOCKET) return TRUE;
  SOCKET s = socket(2 /* AF_INET */, 1 /* SOCK_STREAM */, 6 /* TCP */);
  if (s == ZF_INVALID_SOCKET) return FALSE;
  struct SockAddrIn a;
  RtlZeroMemory(&a, sizeof a);
  a.family = 2;
  a.port = (USHORT)((g_port >> 8) | (g_port << 8));
  a.addr = 0x0100007F; /* 127.0.0.1 in network order */
  if (connect(s, &a, sizeof a) != 0) {
    closesocket(s);
    return FALSE;
  }
  g_sock = s;
  g_inHave = g_inUsed = 0;
  return TRUE;
}

static void Disconnect(void) {
  if (g_sock != ZF_INVALID_SOCKET) closesocket(g_sock);
  g_sock = ZF_INVALID_SOCKET;
}

static SIZE_T AppendText(SIZE_T at, const char* text) {
  while (*text) g_line[at++] = *text++;
  return at;
}

static SIZE_T AppendNumber(SIZE_T at, ULONG64 v, int base) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = kHex[v % (ULONG64)base];
    v /= (ULONG64)base;
  } while (v);
  while (n) g_line[at++] = digits[--n];
  return at;
}

static NTSTATUS Relay(int device, ULONG code, const UCHAR* in, ULONG inLen, UCHAR* out, ULONG outLen,
                      ULONG_PTR* information) {
  SIZE_T need = 64 + (SIZE_T)inLen * 2;
  if (need > g_lineSize) return STATUS_INSUFFICIENT_RESOURCES;
  SIZE_T at = AppendText(0, kTags[device]);
  g_line[at++] = ' ';
  at = AppendNumber(at, code, 16);
  g_line[at++] = ' ';
  at = AppendNumber(at, outLen, 10);
  g_line[at++] = ' ';
  for (ULONG i = 0; i < inLen; ++i) {
    g_line[at++] = kHex[in[i] >> 4];
    g_line[at++] = kHex[in[i] & 15];
  }
  g_line[at++] = '\n';

  SIZE_T len;
  if (!EnsureConnected() || !SendAll(g_line, at) || !RecvLine(&len)) {
    Disconnect();
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  /* "<status hex> <information> <output hex>" */
  SIZE_T p = 0;
  ULONG64 status = 0, info = 0;
  while (p < len && g_line[p] != ' ') status = status * 16 + (ULONG64)HexVal(g_line[p++]);
  ++p;
  while (p < len && g_line[p] != ' ') info = info * 10 + (ULONG64)(g_line[p++] - '0');
  ++p;
  ULONG copied = 0;
  while (p + 1 < len && copied < outLen) {
    out[copied++] = (UCHAR)(HexVal(g_line[p]) * 16 + HexVal(g_line[p + 1]));
    p += 2;
  }
  /* The byte count goes back as the driver gave it: WRITE_DISK reports the bytes written with
   * no output buffer, and only the bytes that fit were copied. */
  *information = (ULONG_PTR)info;
  return (NTSTATUS)(ULONG)status;
}

static int DeviceIndex(PDEVICE_OBJECT dev) {
  for (int i = 0; i < DEV_COUNT; ++i)
    if (g_devices[i] == dev) return i;
  return -1;
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static NTSTATUS DispatchCreateClose(PDEVICE_OBJECT dev, PIRP irp) {
  (void)dev;
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS DispatchControl(PDEVICE_OBJECT dev, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  int device = DeviceIndex(dev);
  if (device < 0) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  ULONG code = s->Parameters.DeviceIoControl.IoControlCode;
  ULONG inLen = s->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outLen = s->Parameters.DeviceIoControl.OutputBufferLength;
  UCHAR* buffer = (UCHAR*)irp->AssociatedIrp.SystemBuffer;
  /* METHOD_BUFFERED: the input is copied before the answer overwrites the shared buffer. */
  UCHAR* in = NULL;
  if (inLen) {
    in = (UCHAR*)ExAllocatePoolWithTag(NonPagedPool, inLen, ZF_TAG);
    if (!in) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    RtlCopyMemory(in, buffer, inLen);
  }
  ULONG_PTR information = 0;
  KeWaitForSingleObject(&g_lock, Executive, KernelMode, FALSE, NULL);
  NTSTATUS status = Relay(device, code, in, inLen, buffer, buffer ? outLen : 0, &information);
  KeReleaseMutex(&g_lock, FALSE);
  if (in) ExFreePoolWithTag(in, ZF_TAG);
  return Complete(irp, status, information);
}

static ULONG ReadPort(PUNICODE_STRING registryPath) {
  OBJECT_ATTRIBUTES oa;
  HANDLE key;
  InitializeObjectAttributes(&oa, registryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &oa))) return 0;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"BridgePort");
  UCHAR buf[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 8];
  ULONG got = 0, port = 0;
  if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buf, sizeof buf, &got))) {
    PKEY_VALUE_PARTIAL_INFORMATION v = (PKEY_VALUE_PARTIAL_INFORMATION)buf;
    if (v->Type == REG_DWORD && v->DataLength == 4) RtlCopyMemory(&port, v->Data, 4);
  }
  ZwClose(key);
  return port;
}

static void Unload(PDRIVER_OBJECT driver) {
  (void)driver;
  for (int i = 0; i < DEV_COUNT; ++i) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, kLinkNames[i]);
    IoDeleteSymbolicLink(&link);
    if (g_devices[i]) IoDeleteDevice(g_devices[i]);
  }
  Disconnect();
  if (g_line) ExFreePoolWithTag(g_line, ZF_TAG);
  if (g_in) ExFreePoolWithTag(g_in, ZF_TAG);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  g_port = (USHORT)ReadPort(registryPath);
  if (!g_port) return STATUS_INVALID_PARAMETER;
  struct WsaData wsa;
  if (WSAStartup(0x0202, &wsa) != 0) return STATUS_UNSUCCESSFUL;
  KeInitializeMutex(&g_lock, 0);
  /* A READ_LOCAL answer of 1 MiB is 2 MiB of hex. */
  g_lineSize = 2 * 0x100200 + 256;
  g_line = (char*)ExAllocatePoolWithTag(NonPagedPool, g_lineSize, ZF_TAG);
  g_in = (char*)ExAllocatePoolWithTag(NonPagedPool, 65536, ZF_TAG);
  if (!g_line || !g_in) {
    Unload(driver);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  driver->DriverUnload = Unload;
  for (int i = 0; i < DEV_COUNT; ++i) {
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, kDeviceNames[i]);
    RtlInitUnicodeString(&link, kLinkNames[i]);
    NTSTATUS st = IoCreateDevice(driver, 0, &name, i == DEV_ZELKOVD ? FILE_DEVICE_UNKNOWN : FILE_DEVICE_DISK, 0,
                                 FALSE, &g_devices[i]);
    if (!NT_SUCCESS(st)) {
      Unload(driver);
      return st;
    }
    /* Wine's mount manager already names PhysicalDrive0 and C: (with no disk behind them):
     * this prefix's disk is the bridge's image instead. */
    IoDeleteSymbolicLink(&link);
    st = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(st)) {
      Unload(driver);
      return st;
    }
  }
  return STATUS_SUCCESS;
}
