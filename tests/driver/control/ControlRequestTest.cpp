// Control requests against the loaded driver without a disk server: what each request accepts
// and refuses, and what it changes in LUN 0 and the LUN table.
#include "ControlTestSupport.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <fstream>
#include <unistd.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

struct Rule {
    const char* name;
    ULONG code;
    bool needsLun0;
    ULONG minIn;
    ULONG minOut;
};

// The request table as the client program knows it.
const Rule kRules[] = {
    {"CONNECT", 0x81002000, true, 0, 0},
    {"DISCONNECT", 0x81002004, false, 0, 0},
    {"HANDSHAKE", 0x81002008, true, 0, 0},
    {"SET_CONFIG", 0x8100200C, true, 908, 0},
    {"GET_STATUS", 0x81002010, true, 0, 272},
    {"FLUSH", 0x81002014, true, 0, 0},
    {"GET_DISK_INFO", 0x81002018, true, 0, 16},
    {"EXIT_SUPER_USER", 0x8100201C, true, 1, 16},
    {"IS_READY", 0x81002020, true, 0, 0},
    {"RECONNECT", 0x81002024, true, 514, 0},
    {"MIGRATION_STATUS", 0x81002028, true, 32, 48},
    {"CACHE_PURGE", 0x8100202C, true, 16, 0},
    {"PING", 0x81002030, true, 0, 8},
    {"READ_LOCAL", 0x81002034, false, 272, 8},
    {"WRITE_DISK", 0x81002038, true, 16, 0},
    {"CREATE_LUN", 0x81002040, false, 1328, 152},
    {"REMOVE_LUN", 0x81002044, false, 4, 0},
    {"GET_DIAGNOSTICS", 0x81002048, false, 0, 536},
};

// Removes LUN 0 through the control device (its id is 1: the first LUN the adapter created).
void RemoveLun0(HkFile* file) {
    zc::RemoveLunRecord rm{1};
    ASSERT_EQ(HkDeviceIoControl(file, IOCTL_ZELKO_REMOVE_LUN, Bytes(rm), 0).status, STATUS_SUCCESS);
    ASSERT_EQ(GetLun(g_AdapterExt, 0, 0, 0), nullptr);
}

TEST_F(ControlTest, BufferMinimumsAndLun0RulesOfEveryRequest) {
    ASSERT_NE(Lun0(), nullptr);
    for (const Rule& r : kRules) {
        SCOPED_TRACE(r.name);
        if (r.minIn > 0) {
            HkIoResult res = Ioctl(r.code, std::vector<uint8_t>(r.minIn - 1), r.minOut);
            EXPECT_EQ(res.status, STATUS_BUFFER_TOO_SMALL);
            EXPECT_EQ(res.information, 0u);
        }
        if (r.minOut > 0) {
            HkIoResult res = Ioctl(r.code, std::vector<uint8_t>(r.minIn), r.minOut - 1);
            EXPECT_EQ(res.status, STATUS_BUFFER_TOO_SMALL);
            EXPECT_EQ(res.information, 0u);
        }
    }

    RemoveLun0(file);
    for (const Rule& r : kRules) {
        SCOPED_TRACE(r.name);
        std::vector<uint8_t> in(r.minIn);
        if (r.code == IOCTL_ZELKO_REMOVE_LUN) in = Bytes(zc::RemoveLunRecord{77});
        HkIoResult res = Ioctl(r.code, in, r.minOut);
        if (r.needsLun0) {
            EXPECT_EQ(res.status, STATUS_DEVICE_NOT_READY);
            EXPECT_EQ(res.information, 0u);
        } else {
            EXPECT_NE(res.status, STATUS_DEVICE_NOT_READY);
        }
    }
    // Without LUN 0 a disconnect has nothing to close and still succeeds; the adapter's own
    // reports work.
    EXPECT_EQ(Ioctl(IOCTL_ZELKO_DISCONNECT).status, STATUS_SUCCESS);
    HkIoResult diag = Ioctl(IOCTL_ZELKO_GET_DIAGNOSTICS, {}, 536);
    ASSERT_EQ(diag.status, STATUS_SUCCESS);
    ASSERT_EQ(diag.information, 536u);
    auto d = As<zc::DiagnosticsRecord>(diag);
    EXPECT_EQ(d.presentLuns & 1u, 0u);
    EXPECT_GE(d.buildIoCalls, 1u) << "the bus scan at adapter start went through HwStorBuildIo";
    EXPECT_GT(d.opcodeCounts[0xA0], 0u) << "REPORT LUNS counted";
    EXPECT_EQ(d.adapterFlags & zc::kDiagUnloading, 0u);
}

TEST_F(ControlTest, UnknownCodesAreNotImplemented) {
    // Function 0x80F is the gap in the table; the others are another device type and a
    // function past the end.
    for (ULONG code : {0x8100203Cu, 0x0022203Cu, 0x8100204Cu}) {
        hk::test::ClearDbgLines();
        HkIoResult res = Ioctl(code, std::vector<uint8_t>(64), 64);
        EXPECT_EQ(res.status, STATUS_NOT_IMPLEMENTED) << std::hex << code;
        EXPECT_EQ(res.information, 0u);
    }
    hk::test::ClearDbgLines();
    Ioctl(0x8100203C);
    EXPECT_TRUE(LogHas("ZelkoVd: [IOCTL] 未识别的 IOCTL code=0x8100203C (deviceType=0x8100, function=0x80F, method=0)\n"));
}

TEST_F(ControlTest, SetConfigCopiesOnlyWhatTheRecordSets) {
    LuExt* lu = Lun0();
    ASSERT_NE(lu, nullptr);
    const std::string ipBefore = Narrow(lu->session.serverIp, 64);
    ASSERT_TRUE(lu->cache.initialized);
    ULONGLONG capacityBefore = lu->cache.capacity;

    zc::SetConfigRecord rec{};
    rec.serverPort = 0;
    SetField(rec.targetIqn, "iqn.2024-01.net.zelko:image.42");
    SetField(rec.clientId, "pc-42");
    rec.cacheSizeMb = 100;
    rec.readOnly = 1;
    rec.superUser = 1;
    SetField(rec.superUserToken, std::string(64, 'T'));   // fills the field, no terminator
    ASSERT_EQ(Ioctl(IOCTL_ZELKO_SET_CONFIG, Bytes(rec)).status, STATUS_SUCCESS);

    EXPECT_EQ(Narrow(lu->session.serverIp, 64), ipBefore) << "empty address keeps LUN 0's";
    EXPECT_NE(lu->session.serverPort, 0);
    EXPECT_EQ(Narrow(lu->session.targetIqn, 256), "iqn.2024-01.net.zelko:image.42");
    EXPECT_EQ(Narrow(lu->session.clientId, 64), "pc-42");
    EXPECT_EQ(lu->cache.capacity, capacityBefore) << "100 MB is outside 256..4096";
    EXPECT_TRUE(LuReadOnly(lu));
    EXPECT_TRUE(LuSuperUser(lu));
    EXPECT_EQ(lu->session.superUserToken[63], 0) << "the 64th character is the terminator";
    EXPECT_EQ(Narrow(lu->session.superUserToken, 64), std::string(63, 'T'));
    EXPECT_FALSE(LuConnected(lu));
    EXPECT_FALSE(LuHandshakeDone(lu));

    SetField(rec.serverIp, "127.0.0.9");
    rec.serverPort = 7777;
    rec.cacheSizeMb = 4096;
    rec.readOnly = 0;
    rec.superUser = 0;
    SetField(rec.superUserToken, "");
    ASSERT_EQ(Ioctl(IOCTL_ZELKO_SET_CONFIG, Bytes(rec)).status, STATUS_SUCCESS);
    EXPECT_EQ(Narrow(lu->session.serverIp, 64), "127.0.0.9");
    EXPECT_EQ(lu->session.serverPort, 7777);
    EXPECT_EQ(lu->cache.capacity, 4096ull << 20);
    EXPECT_FALSE(LuReadOnly(lu));
    EXPECT_FALSE(LuSuperUser(lu));
    EXPECT_EQ(lu->session.superUserToken[0], 0);

    // An address that fills the whole field is cut to 63 characters.
    SetField(rec.serverIp, std::string(64, '1'));
    ASSERT_EQ(Ioctl(IOCTL_ZELKO_SET_CONFIG, Bytes(rec)).status, STATUS_SUCCESS);
    EXPECT_EQ(Narrow(lu->session.serverIp, 64), std::string(63, '1'));
}

TEST_F(ControlTest, WriteDiskLengthAndOffsetRules) {
    auto request = [&](int64_t offset, uint32_t length, size_t dataBytes) {
        std::vector<uint8_t> in(sizeof(zc::WriteDiskRecord) + dataBytes, 0x5A);
        zc::WriteDiskRecord h{offset, length, 0};
        std::memcpy(in.data(), &h, sizeof(h));
        hk::test::ClearDbgLines();
        return Ioctl(IOCTL_ZELKO_WRITE_DISK, in, 0);
    };
    // Every size check passes: the write reaches the session, which is not connected.
    HkIoResult full = request(0, 0x100000, 0x100000);
    EXPECT_EQ(full.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(LogHas("ZelkoVd: [WRITE_DISK] 调用 ProtocolClient_Write: offset=0, length=1048576\n"));
    EXPECT_TRUE(LogHas("ZelkoVd: [WRITE_DISK] ZelkoHandleIoctlWriteDisk 返回 0xC000009D\n"));

    EXPECT_EQ(request(0, 0x100001, 0x100001).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(LogHas("ZelkoVd: [WRITE_DISK] 长度无效: length=1048577, max=1048576\n"));
    EXPECT_EQ(request(0, 0, 0).status, STATUS_INVALID_PARAMETER);

    EXPECT_EQ(request(0, 4096, 4100 - 16).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(LogHas("ZelkoVd: [WRITE_DISK] 缓冲区不完整: inLen=4100, need=4112\n"));
    EXPECT_FALSE(LogHas("调用 ProtocolClient_Write"));

    EXPECT_EQ(request(-4096, 4096, 4096).status, STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(LogHas("调用 ProtocolClient_Write"));

    // An output buffer, when given, must hold the byte count that is copied back.
    std::vector<uint8_t> in(16 + 4096);
    zc::WriteDiskRecord h{0, 4096, 0};
    std::memcpy(in.data(), &h, sizeof(h));
    hk::test::ClearDbgLines();
    EXPECT_EQ(Ioctl(IOCTL_ZELKO_WRITE_DISK, in, 8).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_FALSE(LogHas("调用 ProtocolClient_Write"));

    hk::test::ClearDbgLines();
    EXPECT_EQ(Ioctl(IOCTL_ZELKO_WRITE_DISK, std::vector<uint8_t>(15), 0).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(LogHas("ZelkoVd: [WRITE_DISK] 输入缓冲区过小: inLen=15, need=16\n"));
    EXPECT_TRUE(LogHas("ZelkoVd: [WRITE_DISK] lun0Ext="));
}

class ReadLocalTest : public ControlTest {
protected:
    HkIoResult ReadLocal(const std::string& path, uint64_t offset, uint32_t length, ULONG outLen) {
        zc::ReadLocalRecord rec{};
        SetField(rec.objectPath, path);
        rec.offset = offset;
        rec.length = length;
        return Ioctl(IOCTL_ZELKO_READ_LOCAL, Bytes(rec), outLen);
    }
    void WriteFile(const std::string& name, const std::vector<uint8_t>& data) {
        std::ofstream(cDrive + "/" + name, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), (std::streamsize)data.size());
    }
};

TEST_F(ReadLocalTest, ReadsFilesAndRefusesWhatItCannotAnswer) {
    std::vector<uint8_t> content(10000);
    for (size_t i = 0; i < content.size(); i++) content[i] = (uint8_t)(i * 7 + 3);
    WriteFile("disk.bin", content);

    HkIoResult r = ReadLocal("\\??\\C:\\disk.bin", 4096, 4096, 8 + 4096);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.information, 8u + 4096u);
    auto reply = As<zc::ReadLocalReply>(r);
    EXPECT_EQ(reply.bytesRead, 4096u);
    EXPECT_EQ(reply.zero, 0u);
    EXPECT_EQ(0, std::memcmp(r.data.data() + 8, content.data() + 4096, 4096));

    // A short read: the part the file does not cover comes back zeroed, not as the input record.
    r = ReadLocal("\\??\\C:\\disk.bin", 8192, 4096, 8 + 4096);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(As<zc::ReadLocalReply>(r).bytesRead, 10000u - 8192u);
    EXPECT_EQ(0, std::memcmp(r.data.data() + 8, content.data() + 8192, 10000 - 8192));
    EXPECT_EQ(std::vector<uint8_t>(r.data.begin() + 8 + (10000 - 8192), r.data.end()),
              std::vector<uint8_t>(4096 - (10000 - 8192), 0));

    // Beyond the end: the request succeeds and says it read nothing.
    r = ReadLocal("\\??\\C:\\disk.bin", 1 << 20, 512, 8 + 512);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 8u + 512u);
    EXPECT_EQ(As<zc::ReadLocalReply>(r).bytesRead, 0u);

    // A missing file fails with the open's status.
    r = ReadLocal("\\??\\C:\\missing.bin", 0, 512, 8 + 512);
    EXPECT_EQ(r.status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(r.information, 0u);

    // The answer would not fit the output: refused before anything is read.
    r = ReadLocal("\\??\\C:\\disk.bin", 0, 4096, 8 + 4095);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.information, 0u);
    // More than 1 MiB at once is not a request the upload ever makes.
    r = ReadLocal("\\??\\C:\\disk.bin", 0, 0x100001, 8 + 0x100001);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    // An offset that the file system would take for "current position" is not a position.
    r = ReadLocal("\\??\\C:\\disk.bin", 0xFFFFFFFFFFFFFFFEull, 512, 8 + 512);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
}

TEST_F(ReadLocalTest, AnUnterminatedPathIsCutWithinItsField) {
    // 128 characters without a terminator: the driver reads the first 127 as the path.
    std::string prefix = "\\??\\C:\\";
    std::string name(127 - prefix.size(), 'n');
    WriteFile(name, std::vector<uint8_t>(512, 0x77));
    HkIoResult r = ReadLocal(prefix + name + "X", 0, 512, 8 + 512);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(As<zc::ReadLocalReply>(r).bytesRead, 512u);
    EXPECT_EQ(r.data[8], 0x77);
}

TEST_F(ControlTest, CreateLunFillsFifteenSlotsThenRefuses) {
    uint64_t busChanges = HkPortStats().busChanges;
    std::vector<uint32_t> ids;
    for (int i = 1; i <= 15; i++) {
        zc::CreateLunRecord rec{};
        rec.diskSize = 64ull << 20;
        rec.sectorSize = 4096;
        HkIoResult r = Ioctl(IOCTL_ZELKO_CREATE_LUN, Bytes(rec), 152);
        ASSERT_EQ(r.status, STATUS_SUCCESS) << i;
        ASSERT_EQ(r.information, 152u);
        auto out = As<zc::CreateLunResult>(r);
        EXPECT_EQ(Narrow((const WCHAR*)out.devicePath, 64), "\\\\.\\ZelkoVd_LUN" + std::to_string(i));
        EXPECT_EQ(out.diskSize, 64ull << 20);
        EXPECT_EQ(out.sectorSize, 4096u);
        EXPECT_EQ(out.lunId, (uint32_t)i + 1) << "LUN 0 took id 1";
        ids.push_back(out.lunId);
    }
    EXPECT_EQ(HkPortStats().busChanges, busChanges + 15);
    zc::CreateLunRecord rec{};
    HkIoResult r = Ioctl(IOCTL_ZELKO_CREATE_LUN, Bytes(rec), 152);
    EXPECT_EQ(r.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(r.information, 0u);

    // Removing one frees its slot for the next creation; unknown and removed ids are not found.
    zc::RemoveLunRecord rm{ids[4]};
    EXPECT_EQ(Ioctl(IOCTL_ZELKO_REMOVE_LUN, Bytes(rm)).status, STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_ZELKO_REMOVE_LUN, Bytes(rm)).status, STATUS_NOT_FOUND);
    zc::RemoveLunRecord unknown{9999};
    EXPECT_EQ(Ioctl(IOCTL_ZELKO_REMOVE_LUN, Bytes(unknown)).status, STATUS_NOT_FOUND);
    r = Ioctl(IOCTL_ZELKO_CREATE_LUN, Bytes(rec), 152);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    auto out = As<zc::CreateLunResult>(r);
    EXPECT_EQ(Narrow((const WCHAR*)out.devicePath, 64), "\\\\.\\ZelkoVd_LUN5");
    EXPECT_EQ(out.lunId, 17u);
    EXPECT_EQ(out.sectorSize, 512u) << "0 stands for 512";
}

TEST_F(ControlTest, CreateLunPassesCreationFailuresOnAndDowngradesRdma) {
    // A failed creation answers nothing and leaves its slot free.
    zc::CreateLunRecord file{};
    SetField(file.imagePath, "\\??\\C:\\disk.vhd");
    HkIoResult r = Ioctl(IOCTL_ZELKO_CREATE_LUN, Bytes(file), 152);
    EXPECT_FALSE(NT_SUCCESS(r.status));
    EXPECT_EQ(r.information, 0u);
    EXPECT_FALSE(Adapter()->lunTable[1].present);

    zc::CreateLunRecord rdma{};
    rdma.preferredTransport = zc::kTransportPreferRdma;
    hk::test::ClearDbgLines();
    r = Ioctl(IOCTL_ZELKO_CREATE_LUN, Bytes(rdma), 152);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(Narrow((const WCHAR*)As<zc::CreateLunResult>(r).devicePath, 64), "\\\\.\\ZelkoVd_LUN1");
    EXPECT_TRUE(LogHas("ZelkoVd: preferredTransport=RDMA 不可用（内核态无 RDMA 数据通道），降级 UDP/TCP\n"));
    LuExt* lu = GetLun(Adapter(), 0, 0, 1);
    ASSERT_NE(lu, nullptr);
    EXPECT_TRUE(lu->session.rdmaFailed);
    // The new LUN takes its connection from the driver parameters, as LUN 0 does.
    EXPECT_EQ(Narrow(lu->session.serverIp, 64), Narrow(Lun0()->session.serverIp, 64));
}

TEST_F(ControlTest, ConcurrentCreateLunRequestsGetSlotsOfTheirOwn) {
    // Four callers race for the fifteen free slots: every slot is handed out once, and the one
    // request too many is refused rather than answered with a LUN it does not have.
    std::mutex m;
    std::vector<std::string> paths;
    std::vector<NTSTATUS> failures;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&] {
            HkFile* f = nullptr;
            ASSERT_EQ(HkOpenDevice("\\\\.\\ZelkoVd", HkCaller::Admin, &f), STATUS_SUCCESS);
            for (int i = 0; i < 4; i++) {
                zc::CreateLunRecord rec{};
                HkIoResult r = HkDeviceIoControl(f, IOCTL_ZELKO_CREATE_LUN, Bytes(rec), 152);
                std::lock_guard<std::mutex> lk(m);
                if (r.status == STATUS_SUCCESS)
                    paths.push_back(Narrow((const WCHAR*)As<zc::CreateLunResult>(r).devicePath, 64));
                else
                    failures.push_back(r.status);
            }
            HkCloseFile(f);
        });
    }
    for (auto& t : threads) t.join();
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(std::unique(paths.begin(), paths.end()), paths.end()) << "a slot was handed out twice";
    EXPECT_EQ(paths.size(), 15u);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0], STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(ControlTest, CachePurgeAnswersOnlyIntoSixteenBytes) {
    zc::CachePurgeRecord rec{0, 0};
    HkIoResult r = Ioctl(IOCTL_ZELKO_CACHE_PURGE, Bytes(rec), 8);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
    r = Ioctl(IOCTL_ZELKO_CACHE_PURGE, Bytes(rec), 16);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.information, 16u);
    auto out = As<zc::CachePurgeResult>(r);
    EXPECT_EQ(out.droppedBlocks, 0u);
    EXPECT_EQ(out.writtenBackBlocks, 0u);
}

TEST_F(ControlTest, RequestsOnAnUnconnectedLun0FailWithTheSessionsStatus) {
    // Ping reports its failure in the record; the request itself succeeds.
    HkIoResult r = Ioctl(IOCTL_ZELKO_PING, {}, 8);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.information, 8u);
    auto ping = As<zc::PingRecord>(r);
    EXPECT_EQ(ping.succeeded, 0);
    EXPECT_EQ(ping.status, (int32_t)STATUS_DEVICE_NOT_CONNECTED);

    EXPECT_EQ(Ioctl(IOCTL_ZELKO_HANDSHAKE).status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(LogHas("ZelkoVd: [HANDSHAKE] 返回 0xC000009D, ro=0, su=0\n"));
    zc::ExitSuperUserRequest exitReq{1};
    r = Ioctl(IOCTL_ZELKO_EXIT_SUPER_USER, Bytes(exitReq), 16);
    EXPECT_EQ(r.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(Ioctl(IOCTL_ZELKO_MIGRATION_STATUS, std::vector<uint8_t>(32, 'k'), 48).status,
              STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Ioctl(IOCTL_ZELKO_IS_READY).status, STATUS_SUCCESS);

    // Nothing listens on the port the registry left empty: connect reports the refusal.
    zc::SetConfigRecord cfg{};
    SetField(cfg.serverIp, "127.0.0.1");
    cfg.serverPort = 1;
    ASSERT_EQ(Ioctl(IOCTL_ZELKO_SET_CONFIG, Bytes(cfg)).status, STATUS_SUCCESS);
    hk::test::ClearDbgLines();
    EXPECT_EQ(Ioctl(IOCTL_ZELKO_CONNECT).status, STATUS_CONNECTION_REFUSED);
    EXPECT_TRUE(LogHas("ZelkoVd: [用户上传] IOCTL_ZELKO_CONNECT 收到，调用 WskClient_Connect\n"));
    EXPECT_TRUE(LogHas("ZelkoVd: [用户上传] WskClient_Connect 返回 0xC0000236\n"));

    // ReadFile and WriteFile go to the same session.
    EXPECT_EQ(HkReadFile(file, 0, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(HkReadFile(file, 0, 512).status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(HkWriteFile(file, 0, std::vector<uint8_t>(512)).status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(HkReadFile(file, -512, 512).status, STATUS_INVALID_PARAMETER);

    auto disk = As<zc::DiskInfoRecord>(Ioctl(IOCTL_ZELKO_GET_DISK_INFO, {}, 16));
    EXPECT_EQ(disk.diskSize, 0u);
    auto st = Ioctl(IOCTL_ZELKO_GET_STATUS, {}, 272);
    ASSERT_EQ(st.information, 272u);
    EXPECT_EQ(As<zc::StatusRecord>(st).connected, 0);
    EXPECT_EQ(As<zc::StatusRecord>(st).pingFailures, 1u);
}

TEST_F(ControlTest, RemovingLun0WaitsForTheRequestsThatUseIt) {
    // A server that accepts the connection and never answers: the handshake waits out its
    // deadline while LUN 0 is removed from another thread. The record must outlive the handshake.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, (sockaddr*)&addr, sizeof(addr)), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(getsockname(listener, (sockaddr*)&addr, &len), 0);

    zc::SetConfigRecord cfg{};
    SetField(cfg.serverIp, "127.0.0.1");
    cfg.serverPort = ntohs(addr.sin_port);
    ASSERT_EQ(Ioctl(IOCTL_ZELKO_SET_CONFIG, Bytes(cfg)).status, STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(IOCTL_ZELKO_CONNECT).status, STATUS_SUCCESS);
    hk::test::SetClockRate(10);  // the 5 s answer deadline passes in half a second

    NTSTATUS handshake = STATUS_SUCCESS;
    hk::test::ClearDbgLines();
    std::thread caller([&] {
        HkFile* f = nullptr;
        ASSERT_EQ(HkOpenDevice("\\\\.\\ZelkoVd", HkCaller::Admin, &f), STATUS_SUCCESS);
        handshake = HkDeviceIoControl(f, IOCTL_ZELKO_HANDSHAKE, {}, 0).status;
        HkCloseFile(f);
    });
    for (int i = 0; i < 500 && !LogHas("ZelkoVd: [HANDSHAKE] lun0Ext="); i++) usleep(2000);
    zc::RemoveLunRecord rm{1};
    EXPECT_EQ(Ioctl(IOCTL_ZELKO_REMOVE_LUN, Bytes(rm)).status, STATUS_SUCCESS);
    // The handshake's last line is printed while it still holds LUN 0.
    EXPECT_TRUE(LogHas("ZelkoVd: [HANDSHAKE] 返回 0xC00000B5, ro=0, su=0\n"))
        << "the removal returned while the handshake still used LUN 0";
    caller.join();
    EXPECT_EQ(handshake, STATUS_IO_TIMEOUT);
    EXPECT_EQ(Lun0(), nullptr);
    close(listener);
}

TEST_F(ControlTest, OnlyAdministratorsOpenTheDevice) {
    HkFile* user = nullptr;
    EXPECT_EQ(HkOpenDevice("\\\\.\\ZelkoVd", HkCaller::User, &user), STATUS_ACCESS_DENIED);
    EXPECT_EQ(user, nullptr);
    HkFile* system = nullptr;
    ASSERT_EQ(HkOpenDevice("\\\\.\\ZelkoVd", HkCaller::System, &system), STATUS_SUCCESS);
    EXPECT_EQ(HkDeviceIoControl(system, IOCTL_ZELKO_IS_READY, {}, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(HkCloseFile(system), STATUS_SUCCESS);
}

// SET_CONFIG takes LUN 0 away from the auto-activation thread before it writes it.
std::atomic<int> g_threadLoops{0};
VOID TestActivationThread(PVOID) {
    while (InterlockedCompareExchange(&ActivationThreadRunning, 0, 0) != 0) {
        g_threadLoops++;
        LARGE_INTEGER d;
        d.QuadPart = -10 * 1000 * 20;  // 20 ms
        KeDelayExecutionThread(KernelMode, FALSE, &d);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

class ActivationStopTest : public ControlTest {
protected:
    void Configure() override {
        hk::test::RegSetDword(ZV_PARAMETERS_KEY, "AutoActivate", 1);
        g_threadLoops = 0;
        InterlockedExchangePointer((PVOID volatile*)&g_ActivationThreadRoutine, (PVOID)TestActivationThread);
    }
    void TearDown() override {
        ControlTest::TearDown();
        InterlockedExchangePointer((PVOID volatile*)&g_ActivationThreadRoutine, nullptr);
    }
};

TEST_F(ActivationStopTest, SetConfigStopsTheActivationThread) {
    for (int i = 0; i < 200 && g_threadLoops == 0; i++) usleep(5000);
    ASSERT_GT(g_threadLoops.load(), 0) << "the adapter start ran the thread";
    ASSERT_NE(InterlockedCompareExchangePointer(&ActivationThreadObject, nullptr, nullptr), nullptr);

    zc::SetConfigRecord cfg{};
    SetField(cfg.serverIp, "127.0.0.5");
    ASSERT_EQ(Ioctl(IOCTL_ZELKO_SET_CONFIG, Bytes(cfg)).status, STATUS_SUCCESS);
    EXPECT_EQ(InterlockedCompareExchange(&ActivationThreadRunning, 0, 0), 0);
    EXPECT_EQ(InterlockedCompareExchangePointer(&ActivationThreadObject, nullptr, nullptr), nullptr);
    int loops = g_threadLoops;
    usleep(100000);
    EXPECT_EQ(g_threadLoops.load(), loops) << "the thread has ended";
    EXPECT_EQ(Narrow(Lun0()->session.serverIp, 64), "127.0.0.5");
}

}  // namespace
