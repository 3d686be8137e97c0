// Winsock Kernel declarations for the mingw-w64 build of the driver. mingw-w64 ships no wsk.h;
// this file declares what the driver uses with the WDK's names, member order and calling
// conventions (x64 layouts are asserted below). With the Microsoft WDK the real wsk.h is used and
// this directory is not on the include path.
#pragma once

#include <ntddk.h>

#ifdef __cplusplus
extern "C" {
#endif

#define WSKAPI NTAPI

// ---------------------------------------------------------------------------------------------
// Addresses (ws2def.h / inaddr.h)

typedef USHORT ADDRESS_FAMILY;

#ifndef AF_INET6
#define AF_INET6 23
#endif
#ifndef AF_UNSPEC
#define AF_UNSPEC 0
#endif
#ifndef AF_INET
#define AF_INET 2
#endif
#ifndef SOCK_STREAM
#define SOCK_STREAM 1
#endif
#ifndef SOCK_DGRAM
#define SOCK_DGRAM 2
#endif
#ifndef IPPROTO_TCP
#define IPPROTO_TCP 6
#endif
#ifndef IPPROTO_UDP
#define IPPROTO_UDP 17
#endif

typedef struct sockaddr {
    ADDRESS_FAMILY sa_family;
    CHAR sa_data[14];
} SOCKADDR, *PSOCKADDR;

typedef struct in_addr {
    union {
        struct { UCHAR s_b1, s_b2, s_b3, s_b4; } S_un_b;
        struct { USHORT s_w1, s_w2; } S_un_w;
        ULONG S_addr;
    } S_un;
} IN_ADDR, *PIN_ADDR;

typedef struct sockaddr_in {
    ADDRESS_FAMILY sin_family;
    USHORT sin_port;
    IN_ADDR sin_addr;
    CHAR sin_zero[8];
} SOCKADDR_IN, *PSOCKADDR_IN;

typedef struct _WSACMSGHDR {
    SIZE_T cmsg_len;
    INT cmsg_level;
    INT cmsg_type;
} CMSGHDR, *PCMSGHDR;

// ---------------------------------------------------------------------------------------------
// WSK proper

#define MAKE_WSK_VERSION(Mj, Mn) ((USHORT)((Mj) << 8) | (USHORT)((Mn) & 0xff))
#define WSK_MAJOR_VERSION(V) ((UCHAR)((V) >> 8))
#define WSK_MINOR_VERSION(V) ((UCHAR)(V))

#define WSK_NO_WAIT 0
#define WSK_INFINITE_WAIT 0xFFFFFFFF

#define WSK_FLAG_BASIC_SOCKET      0x00000000
#define WSK_FLAG_LISTEN_SOCKET     0x00000001
#define WSK_FLAG_CONNECTION_SOCKET 0x00000002
#define WSK_FLAG_DATAGRAM_SOCKET   0x00000004
#define WSK_FLAG_STREAM_SOCKET     0x00000008

// Send, receive and disconnect flags.
#define WSK_FLAG_ABORTIVE     0x00000001
#define WSK_FLAG_NODELAY      0x00000002
#define WSK_FLAG_WAITALL      0x00000002
#define WSK_FLAG_DRAIN        0x00000004

typedef VOID WSK_CLIENT, *PWSK_CLIENT;

typedef struct _WSK_SOCKET {
    const VOID* Dispatch;
} WSK_SOCKET, *PWSK_SOCKET;

typedef struct _WSK_BUF {
    PMDL Mdl;
    ULONG Offset;
    SIZE_T Length;
} WSK_BUF, *PWSK_BUF;

typedef struct _WSK_DATA_INDICATION {
    struct _WSK_DATA_INDICATION* Next;
    WSK_BUF Buffer;
} WSK_DATA_INDICATION, *PWSK_DATA_INDICATION;

typedef NTSTATUS (WSKAPI* PFN_WSK_CLIENT_EVENT)(PVOID ClientContext, ULONG EventType,
                                                PVOID Information, SIZE_T InformationLength);

typedef struct _WSK_CLIENT_DISPATCH {
    USHORT Version;
    USHORT Reserved;
    PFN_WSK_CLIENT_EVENT WskClientEvent;
} WSK_CLIENT_DISPATCH, *PWSK_CLIENT_DISPATCH;

typedef struct _WSK_CLIENT_NPI {
    PVOID ClientContext;
    const WSK_CLIENT_DISPATCH* Dispatch;
} WSK_CLIENT_NPI, *PWSK_CLIENT_NPI;

typedef struct _WSK_REGISTRATION {
    ULONGLONG ReservedRegistrationState;
    PVOID ReservedRegistrationContext;
    KSPIN_LOCK ReservedRegistrationLock;
} WSK_REGISTRATION, *PWSK_REGISTRATION;

typedef enum { WskSetOption, WskGetOption, WskIoctl } WSK_CONTROL_SOCKET_TYPE;

typedef NTSTATUS (WSKAPI* PFN_WSK_SOCKET)(PWSK_CLIENT Client, ADDRESS_FAMILY AddressFamily,
                                          USHORT SocketType, ULONG Protocol, ULONG Flags,
                                          PVOID SocketContext, const VOID* Dispatch,
                                          PEPROCESS OwningProcess, PETHREAD OwningThread,
                                          PVOID SecurityDescriptor, PIRP Irp);
typedef NTSTATUS (WSKAPI* PFN_WSK_SOCKET_CONNECT)(PWSK_CLIENT Client, USHORT SocketType,
                                                  ULONG Protocol, PSOCKADDR LocalAddress,
                                                  PSOCKADDR RemoteAddress, ULONG Flags,
                                                  PVOID SocketContext, const VOID* Dispatch,
                                                  PEPROCESS OwningProcess, PETHREAD OwningThread,
                                                  PVOID SecurityDescriptor, PIRP Irp);
typedef NTSTATUS (WSKAPI* PFN_WSK_CONTROL_CLIENT)(PWSK_CLIENT Client, ULONG ControlCode,
                                                  SIZE_T InputSize, PVOID InputBuffer,
                                                  SIZE_T OutputSize, PVOID OutputBuffer,
                                                  SIZE_T* OutputSizeReturned, PIRP Irp);
typedef NTSTATUS (WSKAPI* PFN_WSK_GET_ADDRESS_INFO)(PWSK_CLIENT Client, PUNICODE_STRING NodeName,
                                                    PUNICODE_STRING ServiceName, ULONG NameSpace,
                                                    PVOID Provider, PVOID Hints, PVOID* Result,
                                                    PEPROCESS OwningProcess,
                                                    PETHREAD OwningThread, PIRP Irp);
typedef VOID (WSKAPI* PFN_WSK_FREE_ADDRESS_INFO)(PWSK_CLIENT Client, PVOID AddrInfo);
typedef NTSTATUS (WSKAPI* PFN_WSK_GET_NAME_INFO)(PWSK_CLIENT Client, PSOCKADDR SockAddr,
                                                 ULONG SockAddrLength, PUNICODE_STRING NodeName,
                                                 PUNICODE_STRING ServiceName, ULONG Flags,
                                                 PEPROCESS OwningProcess, PETHREAD OwningThread,
                                                 PIRP Irp);

typedef struct _WSK_PROVIDER_DISPATCH {
    USHORT Version;
    USHORT Reserved;
    PFN_WSK_SOCKET WskSocket;
    PFN_WSK_SOCKET_CONNECT WskSocketConnect;
    PFN_WSK_CONTROL_CLIENT WskControlClient;
    PFN_WSK_GET_ADDRESS_INFO WskGetAddressInfo;
    PFN_WSK_FREE_ADDRESS_INFO WskFreeAddressInfo;
    PFN_WSK_GET_NAME_INFO WskGetNameInfo;
} WSK_PROVIDER_DISPATCH, *PWSK_PROVIDER_DISPATCH;

typedef struct _WSK_PROVIDER_NPI {
    PWSK_CLIENT Client;
    const WSK_PROVIDER_DISPATCH* Dispatch;
} WSK_PROVIDER_NPI, *PWSK_PROVIDER_NPI;

typedef NTSTATUS (WSKAPI* PFN_WSK_CONTROL_SOCKET)(PWSK_SOCKET Socket,
                                                  WSK_CONTROL_SOCKET_TYPE RequestType,
                                                  ULONG ControlCode, ULONG Level,
                                                  SIZE_T InputSize, PVOID InputBuffer,
                                                  SIZE_T OutputSize, PVOID OutputBuffer,
                                                  SIZE_T* OutputSizeReturned, PIRP Irp);
typedef NTSTATUS (WSKAPI* PFN_WSK_CLOSE_SOCKET)(PWSK_SOCKET Socket, PIRP Irp);
typedef NTSTATUS (WSKAPI* PFN_WSK_BIND)(PWSK_SOCKET Socket, PSOCKADDR LocalAddress, ULONG Flags,
                                        PIRP Irp);
typedef NTSTATUS (WSKAPI* PFN_WSK_CONNECT)(PWSK_SOCKET Socket, PSOCKADDR RemoteAddress,
                                           ULONG Flags, PIRP Irp);
typedef NTSTATUS (WSKAPI* PFN_WSK_GET_LOCAL_ADDRESS)(PWSK_SOCKET Socket, PSOCKADDR LocalAddress,
                                                     PIRP Irp);
typedef NTSTATUS (WSKAPI* PFN_WSK_GET_REMOTE_ADDRESS)(PWSK_SOCKET Socket,
                                                      PSOCKADDR RemoteAddress, PIRP Irp);
typedef NTSTATUS (WSKAPI* PFN_WSK_SEND)(PWSK_SOCKET Socket, PWSK_BUF Buffer, ULONG Flags,
                                        PIRP Irp);
typedef NTSTATUS (WSKAPI* PFN_WSK_RECEIVE)(PWSK_SOCKET Socket, PWSK_BUF Buffer, ULONG Flags,
                                           PIRP Irp);
typedef NTSTATUS (WSKAPI* PFN_WSK_DISCONNECT)(PWSK_SOCKET Socket, PWSK_BUF Buffer, ULONG Flags,
                                              PIRP Irp);
typedef NTSTATUS (WSKAPI* PFN_WSK_RELEASE_DATA_INDICATION_LIST)(PWSK_SOCKET Socket,
                                                                PWSK_DATA_INDICATION DataIndication);
typedef NTSTATUS (WSKAPI* PFN_WSK_CONNECT_EX)(PWSK_SOCKET Socket, PSOCKADDR RemoteAddress,
                                              PWSK_BUF Buffer, ULONG Flags, PIRP Irp);
typedef NTSTATUS (WSKAPI* PFN_WSK_SEND_EX)(PWSK_SOCKET Socket, PWSK_BUF Buffer, ULONG Flags,
                                           ULONG ControlInfoLength, PCMSGHDR ControlInfo,
                                           PIRP Irp);
typedef NTSTATUS (WSKAPI* PFN_WSK_RECEIVE_EX)(PWSK_SOCKET Socket, PWSK_BUF Buffer, ULONG Flags,
                                              PULONG ControlInfoLength, PCMSGHDR ControlInfo,
                                              PULONG ControlFlags, PIRP Irp);
typedef NTSTATUS (WSKAPI* PFN_WSK_SEND_TO)(PWSK_SOCKET Socket, PWSK_BUF Buffer, ULONG Flags,
                                           PSOCKADDR RemoteAddress, ULONG ControlInfoLength,
                                           PCMSGHDR ControlInfo, PIRP Irp);
typedef NTSTATUS (WSKAPI* PFN_WSK_RECEIVE_FROM)(PWSK_SOCKET Socket, PWSK_BUF Buffer, ULONG Flags,
                                                PSOCKADDR RemoteAddress, PULONG ControlLength,
                                                PCMSGHDR ControlInfo, PULONG ControlFlags,
                                                PIRP Irp);
typedef NTSTATUS (WSKAPI* PFN_WSK_SEND_MESSAGES)(PWSK_SOCKET Socket, PVOID BufferList,
                                                 ULONG Flags, PSOCKADDR RemoteAddress,
                                                 ULONG ControlInfoLength, PCMSGHDR ControlInfo,
                                                 PIRP Irp);

typedef struct _WSK_PROVIDER_BASIC_DISPATCH {
    PFN_WSK_CONTROL_SOCKET WskControlSocket;
    PFN_WSK_CLOSE_SOCKET WskCloseSocket;
} WSK_PROVIDER_BASIC_DISPATCH, *PWSK_PROVIDER_BASIC_DISPATCH;

typedef struct _WSK_PROVIDER_CONNECTION_DISPATCH {
    WSK_PROVIDER_BASIC_DISPATCH Basic;
    PFN_WSK_BIND WskBind;
    PFN_WSK_CONNECT WskConnect;
    PFN_WSK_GET_LOCAL_ADDRESS WskGetLocalAddress;
    PFN_WSK_GET_REMOTE_ADDRESS WskGetRemoteAddress;
    PFN_WSK_SEND WskSend;
    PFN_WSK_RECEIVE WskReceive;
    PFN_WSK_DISCONNECT WskDisconnect;
    PFN_WSK_RELEASE_DATA_INDICATION_LIST WskRelease;
    PFN_WSK_CONNECT_EX WskConnectEx;
    PFN_WSK_SEND_EX WskSendEx;
    PFN_WSK_RECEIVE_EX WskReceiveEx;
} WSK_PROVIDER_CONNECTION_DISPATCH, *PWSK_PROVIDER_CONNECTION_DISPATCH;

typedef struct _WSK_PROVIDER_DATAGRAM_DISPATCH {
    WSK_PROVIDER_BASIC_DISPATCH Basic;
    PFN_WSK_BIND WskBind;
    PFN_WSK_SEND_TO WskSendTo;
    PFN_WSK_RECEIVE_FROM WskReceiveFrom;
    PFN_WSK_RELEASE_DATA_INDICATION_LIST WskRelease;
    PFN_WSK_GET_LOCAL_ADDRESS WskGetLocalAddress;
    PFN_WSK_SEND_MESSAGES WskSendMessages;
} WSK_PROVIDER_DATAGRAM_DISPATCH, *PWSK_PROVIDER_DATAGRAM_DISPATCH;

NTSTATUS WSKAPI WskRegister(PWSK_CLIENT_NPI WskClientNpi, PWSK_REGISTRATION WskRegistration);
NTSTATUS WSKAPI WskCaptureProviderNPI(PWSK_REGISTRATION WskRegistration, ULONG WaitTimeout,
                                      PWSK_PROVIDER_NPI WskProviderNpi);
VOID WSKAPI WskReleaseProviderNPI(PWSK_REGISTRATION WskRegistration);
VOID WSKAPI WskDeregister(PWSK_REGISTRATION WskRegistration);

#ifdef __cplusplus
}
#endif

C_ASSERT(sizeof(SOCKADDR_IN) == 16);
C_ASSERT(sizeof(WSK_BUF) == 24);
C_ASSERT(sizeof(WSK_REGISTRATION) == 24);
C_ASSERT(sizeof(WSK_CLIENT_DISPATCH) == 16);
C_ASSERT(sizeof(WSK_PROVIDER_DISPATCH) == 56);
C_ASSERT(FIELD_OFFSET(WSK_PROVIDER_CONNECTION_DISPATCH, WskSend) == 48);
C_ASSERT(FIELD_OFFSET(WSK_PROVIDER_CONNECTION_DISPATCH, WskReceive) == 56);
C_ASSERT(sizeof(WSK_PROVIDER_CONNECTION_DISPATCH) == 104);
C_ASSERT(FIELD_OFFSET(WSK_PROVIDER_DATAGRAM_DISPATCH, WskSendTo) == 24);

