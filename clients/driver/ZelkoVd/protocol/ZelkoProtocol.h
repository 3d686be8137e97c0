// The driver's block-protocol client: the TCP socket layer over WSK, the protocol session with
// the disk server, its maintenance exchanges, and transport selection with reconnection.
//
// A ProtocolSession is embedded in the per-LUN record; it is created zero-filled and then set up
// with ProtocolSession_Init. Every exchange runs at PASSIVE_LEVEL under the session's I/O lock.
#pragma once

#include "../platform.h"
#include <wsk.h>

#include "WskCall.h"

#include "../../../shared/ZelkoWire.h"

// Status values the protocol uses that not every header set defines.
#ifndef STATUS_WRONG_PASSWORD
#define STATUS_WRONG_PASSWORD ((NTSTATUS)0xC000006AL)
#endif
#ifndef STATUS_UNEXPECTED_IO_ERROR
#define STATUS_UNEXPECTED_IO_ERROR ((NTSTATUS)0xC00000E9L)
#endif
#ifndef STATUS_REMOTE_NOT_LISTENING
#define STATUS_REMOTE_NOT_LISTENING ((NTSTATUS)0xC00000BCL)
#endif
#ifndef STATUS_REMOTE_DISCONNECT
#define STATUS_REMOTE_DISCONNECT ((NTSTATUS)0xC000013CL)
#endif

// ---------------------------------------------------------------------------------------------
// Pool tags of the protocol layer

// (Written as numbers: shown as "ZvLz" in pool dumps.) The packet tags are in WskCall.h.
#define ZV_TAG_LZ_BUFFER   0x7A4C765Au  // compressed Read data before decoding

// ---------------------------------------------------------------------------------------------
// Limits and deadlines (milliseconds unless said otherwise)

#define WSK_LIMIT_SETUP_MS        10000   // socket creation, bind, connect, local address
#define WSK_LIMIT_SEND_MS         30000
#define WSK_LIMIT_RECEIVE_MS      15000
#define WSK_LIMIT_CLOSE_MS        10000
#define WSK_LIMIT_CLOSE_REMOVING_MS 1000
#define WSK_LIMIT_AFTER_CANCEL_MS WSK_CALL_AFTER_CANCEL_MS
#define WSK_CAPTURE_WAIT_MS       30000
#define WSK_CAPTURE_ATTEMPTS      30

#define PROTO_DEADLINE_READ_MS        10000
#define PROTO_DEADLINE_WRITE_MS       10000
#define PROTO_DEADLINE_BATCH_MS       30000
#define PROTO_DEADLINE_HANDSHAKE_MS   5000
#define PROTO_DEADLINE_EXIT_SU_MS     600000
#define PROTO_DEADLINE_MIGRATION_MS   5000
#define PROTO_DEADLINE_PING_MS        3000
#define PROTO_DEADLINE_PATHDEREG_MS   5000
#define PROTO_DEADLINE_NEGOTIATE_MS   5000

#define PROTO_RECONNECT_INTERVAL_100NS 300000000LL  // one reconnect burst per 30 s
#define PROTO_RECONNECT_ATTEMPTS 3

#define WSK_IRP_POOL_DEPTH WSK_CALL_POOL_DEPTH

#define PROTO_SERVER_IP_UNITS 64
#define PROTO_IQN_UNITS 256
#define PROTO_CLIENT_ID_UNITS 64
#define PROTO_TOKEN_UNITS 64

// Transport identifiers (same values as the TransportMask bits).
#define PROTO_TRANSPORT_TCP  1u
#define PROTO_TRANSPORT_UDP  2u
#define PROTO_TRANSPORT_RDMA 4u

// ---------------------------------------------------------------------------------------------
// Records

// Session statistics, in the order in which the control device reports them.
typedef struct _PROTOCOL_SESSION_STATS {
    volatile LONG64 connects;
    volatile LONG64 reconnects;
    volatile LONG64 waitTimeouts;
    volatile LONG64 abandonedPackets;
    volatile LONG64 bytesSent;
    volatile LONG64 bytesReceived;
    volatile LONG poolHits;
    volatile LONG poolMisses;
    volatile LONG64 pongs;
    volatile LONG64 pingFailures;
} PROTOCOL_SESSION_STATS, *PPROTOCOL_SESSION_STATS;

// The per-session pool of one-location request packets (WskCall.h), counting into the session's
// statistics.
typedef WSK_CALL_POOL WSK_IRP_POOL, *PWSK_IRP_POOL;

struct _PROTOCOL_SESSION;

// Drops the LUN's local block cache when the server reports a new image version. The block cache
// installs it; until then it may be NULL (nothing to clear).
typedef VOID (*PPROTOCOL_CACHE_CLEAR_ROUTINE)(struct _PROTOCOL_SESSION* Session, PVOID Context);

typedef struct _PROTOCOL_SESSION {
    // Configuration
    WCHAR serverIp[PROTO_SERVER_IP_UNITS];
    USHORT serverPort;
    WCHAR targetIqn[PROTO_IQN_UNITS];
    WCHAR clientId[PROTO_CLIENT_ID_UNITS];
    WCHAR superUserToken[PROTO_TOKEN_UNITS];

    // State flags (0 or 1). Entry checks read them without a lock while a reconnect in another
    // thread may change them, so every access goes through WpFlag/WpSetFlag.
    volatile LONG superUser;
    volatile LONG readOnly;
    volatile LONG connected;
    volatile LONG handshakeDone;
    volatile LONG removing;

    // From the Handshake answer
    USHORT sessionId;
    ULONGLONG targetSize;
    ULONG blockSize;
    ULONG imageVersion;

    volatile LONG seqCounter;
    FAST_MUTEX ioLock;
    PWSK_SOCKET socket;
    WSK_IRP_POOL irpPool;

    // Transport state
    ULONG serverMask;
    USHORT udpPort;
    USHORT rdmaPort;
    ULONG currentTransport;
    BOOLEAN tcpFailed;
    BOOLEAN udpFailed;
    BOOLEAN rdmaFailed;
    FAST_MUTEX reconnectLock;
    // Guards the three failure flags, currentTransport and the negotiated serverMask, udpPort and
    // rdmaPort; nothing else is taken under it, so a
    // failing exchange can mark its transport while a reconnect in another thread holds
    // reconnectLock.
    FAST_MUTEX transportLock;
    volatile LONGLONG lastReconnectTime;

    ULONG pathId;

    PROTOCOL_SESSION_STATS stats;

    PPROTOCOL_CACHE_CLEAR_ROUTINE cacheClearRoutine;
    PVOID cacheClearContext;
} PROTOCOL_SESSION, *PPROTOCOL_SESSION;

FORCEINLINE BOOLEAN WpFlag(volatile LONG* flag) { return InterlockedCompareExchange(flag, 0, 0) != 0; }
FORCEINLINE VOID WpSetFlag(volatile LONG* flag, BOOLEAN value) { InterlockedExchange(flag, value ? 1 : 0); }

// Driver-wide WSK state.
extern volatile LONG g_wskRegistered;
extern volatile LONG g_wskInited;
extern volatile LONG g_wskLocalAddrFamily;
extern volatile ULONG g_wskLocalAddr;  // IPv4 address in network byte order

// ---------------------------------------------------------------------------------------------
// Session life cycle

// Sets up a zero-filled session: seq counter 1, TCP as current transport, locks and packet pool.
// preferredTransport is the LUN's configured preference (2 = RDMA, which is not available).
NTSTATUS ProtocolSession_Init(PPROTOCOL_SESSION Session, ULONG preferredTransport);
// LUN teardown: marks the session removing, releases the server path, closes the socket with the
// short close wait and frees the packet pool.
VOID ProtocolSession_Teardown(PPROTOCOL_SESSION Session);

// ---------------------------------------------------------------------------------------------
// Kernel TCP socket client

NTSTATUS WskClient_Initialize(VOID);
// Releases the provider and the registration; for driver unload.
VOID WskClient_Cleanup(VOID);
NTSTATUS WskClient_Connect(PPROTOCOL_SESSION Session);
VOID WskClient_Disconnect(PPROTOCOL_SESSION Session);

NTSTATUS WskClient_Send(PPROTOCOL_SESSION Session, PVOID Buffer, ULONG Length, PULONG BytesSent);
NTSTATUS WskClient_Receive(PPROTOCOL_SESSION Session, PVOID Buffer, ULONG Length, PULONG BytesReceived);
NTSTATUS WskClient_SendChain(PPROTOCOL_SESSION Session, PVOID Buffers[3], ULONG Lengths[3], ULONG Count,
                             ULONG Total);
NTSTATUS WskClient_SendAll(PPROTOCOL_SESSION Session, PVOID Buffer, ULONG Length);
NTSTATUS WskClient_ReceiveAll(PPROTOCOL_SESSION Session, PVOID Buffer, ULONG Length);
NTSTATUS WskClient_ReceiveAllDeadline(PPROTOCOL_SESSION Session, PVOID Buffer, ULONG Length,
                                      ULONG DeadlineMs);

// ---------------------------------------------------------------------------------------------
// Wire helpers

typedef zelko::wire::MessageHeader ZV_MESSAGE_HEADER;

NTSTATUS WpMapServerError(ULONG code);
// Decodes the compressed sequence format into exactly outLength bytes. Returns the number of
// bytes produced, 0 on any violation.
SIZE_T WpDecompress(const UCHAR* in, ULONG inLength, UCHAR* out, ULONG outLength);
NTSTATUS WpCheckRespHeader(const ZV_MESSAGE_HEADER* Header, ULONG expectedLength, PCSTR name);
VOID WpBuildHeader(PPROTOCOL_SESSION Session, ZV_MESSAGE_HEADER* Header, UCHAR opcode, UCHAR flags,
                   ULONGLONG offset, ULONG length);
NTSTATUS WpLockAndCheck(PPROTOCOL_SESSION Session);
VOID WpUnlock(PPROTOCOL_SESSION Session);

// ---------------------------------------------------------------------------------------------
// Protocol session

NTSTATUS ProtocolClient_Handshake(PPROTOCOL_SESSION Session);
NTSTATUS ProtocolClient_Read(PPROTOCOL_SESSION Session, ULONGLONG offset, ULONG length, PVOID buffer,
                             PULONGLONG bytesRead);
NTSTATUS ProtocolClient_Write(PPROTOCOL_SESSION Session, ULONGLONG offset, ULONG length, const VOID* data,
                              PULONGLONG bytesWritten);
NTSTATUS ProtocolClient_BatchRead(PPROTOCOL_SESSION Session, const zelko::wire::BatchSegment* segments,
                                  ULONG count, PVOID buffer);
// bufferLength: the room in buffer. The server must not send more than that; the driver refuses a
// segment that would not fit.
NTSTATUS ProtocolClient_BatchReadEx(PPROTOCOL_SESSION Session, const zelko::wire::BatchSegment* segments,
                                    ULONG count, PVOID buffer, ULONGLONG bufferLength);
NTSTATUS ProtocolClient_BatchWrite(PPROTOCOL_SESSION Session, const zelko::wire::BatchSegment* segments,
                                   ULONG count, const VOID* data, ULONG dataLength);

// ---------------------------------------------------------------------------------------------
// Maintenance

NTSTATUS ProtocolClient_ExitSuperUser(PPROTOCOL_SESSION Session, BOOLEAN commit, PULONGLONG blocks,
                                      PULONGLONG bytes);
NTSTATUS ProtocolClient_MigrationStatus(PPROTOCOL_SESSION Session, PCSTR key, PVOID out48);
NTSTATUS ProtocolClient_Ping(PPROTOCOL_SESSION Session);
NTSTATUS ProtocolClient_PathDeregister(PPROTOCOL_SESSION Session, ULONG pathId, ULONG reason);

// ---------------------------------------------------------------------------------------------
// Transport selection and failover

NTSTATUS ProtocolClient_TransportNegotiate(PPROTOCOL_SESSION Session, ULONG clientMask);
NTSTATUS WpTryRecover(PPROTOCOL_SESSION Session, NTSTATUS status);
VOID SelectTransport(PPROTOCOL_SESSION Session);
NTSTATUS ProtocolClient_Reconnect(PPROTOCOL_SESSION Session);
BOOLEAN WpIsConnectionFailure(NTSTATUS status);
