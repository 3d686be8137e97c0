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
#define ZV_TAG_BATCH_CHUNK 0x7242765Au  // "ZvBr" a BatchRead answer taken in chunks
// (Shown as "ZvUp", "ZvUb", "ZvUk" in pool dumps.)
#define ZV_TAG_UDP_PENDING 0x7055765Au  // pending records of the UDP channel
#define ZV_TAG_UDP_BUFFER  0x6255765Au  // the UDP channel's receive buffer
#define ZV_TAG_UDP_PACKET  0x6B55765Au  // request packets of the UDP channel

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

// The UDP channel
#define WSKUDP_WINDOW          128
#define WSKUDP_BUCKETS         32
#define WSKUDP_RETRANSMIT_MS   200
#define WSKUDP_MAX_SENDS       16
#define WSKUDP_RECEIVE_BUFFER  65536
#define WSKUDP_SETUP_SECONDS   10
#define WSKUDP_SEND_SECONDS    30
#define WSKUDP_CLOSE_SECONDS   2
#define WSKUDP_THREAD_EXIT_MS  3000
// The largest Read answer one IPv4 datagram carries: 65535 less the IP (20), UDP (8) and protocol
// (24) headers. The disk server refuses longer UDP reads, so they go to TCP straight away.
#define WSKUDP_MAX_READ        65483
#define WSKUDP_FAILED          ((SIZE_T)-1)

#define UDP_RETRY_FIRST_MS     60000
#define UDP_RETRY_PERIOD_MS    60000
#define UDP_RETRY_MAX_ATTEMPTS 10

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
// Registers the LUN's PushBlock handler with the UDP channel once the channel is up (the block
// cache installs it; NULL = nothing to register).
typedef VOID (*PPROTOCOL_PUSHBLOCK_REGISTER_ROUTINE)(struct _PROTOCOL_SESSION* Session, PVOID Context);

// Which way the data path sent a block operation.
typedef struct _PROTOCOL_DATAPATH_STATS {
    volatile LONG64 udpReads;       // reads answered over UDP
    volatile LONG64 udpFallbacks;   // UDP attempts that failed and went to TCP
    volatile LONG64 tcpReads;       // reads over TCP (fallbacks included)
    volatile LONG64 tcpWrites;
} PROTOCOL_DATAPATH_STATS, *PPROTOCOL_DATAPATH_STATS;

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
    // A bus reset runs at DISPATCH_LEVEL and cannot take transportLock: it leaves this request,
    // and the next transport choice (under the lock) clears the three marks.
    volatile LONG failureResetRequested;
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

    // UDP bring-up retry (ProtocolDataPath.cpp). The timer's deferred routine only queues the
    // work item; retryWorkBusy keeps it queued at most once and lets teardown wait for it.
    KTIMER udpRetryTimer;
    KDPC udpRetryDpc;
    WORK_QUEUE_ITEM udpRetryWork;
    volatile LONG udpRetryInitialized;
    volatile LONG retryArmed;
    volatile LONG retryAttempts;
    volatile LONG retryWorkBusy;
    PPROTOCOL_PUSHBLOCK_REGISTER_ROUTINE pushBlockRegisterRoutine;
    PVOID pushBlockRegisterContext;
    PROTOCOL_DATAPATH_STATS dataPath;
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
// The provider WskClient_Initialize captured, for the driver's other stream sockets (the
// activation's HTTP query); NULL until a capture succeeded.
const WSK_PROVIDER_NPI* WskClient_Provider(VOID);
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
// segment that would not fit. A batch may succeed with less than was asked (the server ended it
// early, or answered a segment with another length than asked): *completeSegments (optional)
// receives how many leading segments arrived whole, each with exactly its asked length, where the
// table puts them. Only those may be taken as data.
NTSTATUS ProtocolClient_BatchReadEx(PPROTOCOL_SESSION Session, const zelko::wire::BatchSegment* segments,
                                    ULONG count, PVOID buffer, ULONGLONG bufferLength, PULONG completeSegments);
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
// Gives every transport another chance (a bus reset). Any IRQL up to DISPATCH_LEVEL.
VOID ProtocolSession_ResetTransportFailures(PPROTOCOL_SESSION Session);
NTSTATUS ProtocolClient_Reconnect(PPROTOCOL_SESSION Session);
BOOLEAN WpIsConnectionFailure(NTSTATUS status);

// ---------------------------------------------------------------------------------------------
// UDP channel (driver-wide)

// PushBlock handler: block offset, length, data. Returns 1 when it took the block, 0 if not.
typedef ULONG (*PWSKUDP_PUSHBLOCK_HANDLER)(ULONGLONG offset, ULONG length, const VOID* data);

typedef struct _WSKUDP_STATS {
    LONG64 sends;          // datagrams sent by WskUdp_SendRecv, retransmissions included
    LONG64 retransmits;
    LONG64 timeouts;       // requests that got no answer after the last send
    LONG64 answers;        // answers matched to a waiting request
    LONG64 lateDropped;    // answers that matched no waiting request (late, duplicate)
    LONG64 invalidDropped; // datagrams too short or with a wrong magic or version
    LONG64 pushedBlocks;   // PushBlocks received
    LONG64 pushAccepted;   // PushBlocks the handler took
    LONG64 pushRejected;   // PushBlocks whose length does not match their data
    LONG64 pushAcks;
    LONG64 waitTimeouts;      // calls whose wait ran out and were cancelled
    LONG64 abandonedPackets;  // packets left to the network stack
} WSKUDP_STATS, *PWSKUDP_STATS;

NTSTATUS WskUdp_Initialize(VOID);
NTSTATUS WskUdp_Connect(PCWSTR serverIp, USHORT port);
VOID WskUdp_Disconnect(VOID);
VOID WskUdp_Cleanup(VOID);
BOOLEAN WskUdp_IsActive(VOID);
// One request datagram and its answer: the answer's payload (up to capacity bytes) lands in
// answer. Returns the bytes copied, or WSKUDP_FAILED.
SIZE_T WskUdp_SendRecv(const VOID* request, ULONG requestLength, PVOID answer, ULONG capacity);
// The same, also handing back the answer's header and the payload length the datagram carried
// (which may exceed what was copied), for callers that check the answer.
SIZE_T WskUdp_SendRecvEx(const VOID* request, ULONG requestLength, PVOID answer, ULONG capacity,
                         ZV_MESSAGE_HEADER* answerHeader, PULONG payloadLength);
NTSTATUS WskUdp_SendDatagram(const VOID* datagram, ULONG length);
VOID WskUdp_RegisterPushBlock(PWSKUDP_PUSHBLOCK_HANDLER handler);
VOID WskUdp_GetStats(PWSKUDP_STATS stats);

// ---------------------------------------------------------------------------------------------
// Data path choice (ProtocolDataPath.cpp)

// Reads one range of the disk: over UDP when the channel is up and the answer fits one datagram,
// else (or when UDP fails) over TCP; two attempts. *path (optional) receives PROTO_TRANSPORT_UDP
// or PROTO_TRANSPORT_TCP, the path that served the read.
NTSTATUS ReadFromRemote(PPROTOCOL_SESSION Session, ULONGLONG offset, ULONG length, PVOID buffer);
NTSTATUS ReadFromRemoteEx(PPROTOCOL_SESSION Session, ULONGLONG offset, ULONG length, PVOID buffer,
                          PULONG path);
// Writes one range over TCP, whose answer confirms it.
NTSTATUS WriteToRemote(PPROTOCOL_SESSION Session, ULONGLONG offset, ULONG length, const VOID* data);
// After a Handshake: negotiate TCP+UDP and bring the UDP channel up; on a failed channel start
// the retry timer. Returns the negotiation's or the channel's status (the session stays usable
// over TCP either way).
NTSTATUS ProtocolClient_StartUdp(PPROTOCOL_SESSION Session);
// Arms UdpRetryTimer (first expiry after 60 s, then every 60 s) unless it is armed.
VOID UdpRetryStart(PPROTOCOL_SESSION Session);
// Disarms the timer and waits for a running retry; LUN teardown.
VOID UdpRetryStop(PPROTOCOL_SESSION Session);
