// Many PCs booting at once while operators work and the admin command line writes the same
// database: every boot is counted once, nothing fails, and the server exits cleanly (under
// ThreadSanitizer a reported race makes the exit status non-zero).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "harness.h"

using namespace mgmtd_test;

TEST(MgmtdConcurrency, BootStormWhileOperatorsAndAdminCommandsWrite) {
    Server server;
    server.Start();
    int st;
    server.Admin("image add --name win10 --size 64M", &st);
    ASSERT_EQ(st, 0);
    server.Admin("client add --mac AA-BB-CC-00-11-22 --name pc01 --ip 127.0.0.1 --image 1", &st);
    ASSERT_EQ(st, 0);
    std::string token = server.Login("admin", Server::kAdminPassword);
    ASSERT_FALSE(token.empty());

    constexpr int kPcs = 12, kBoots = 15;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kPcs; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kBoots; ++i) {
                auto j = RawRequest("127.0.0.1", server.driverPort(), "GET", "/api/disk/clients/by-mac/aabbcc001122").Json();
                if (!j.is_object() || j["code"] != 0 || j["imageIqn"] != "iqn.2024-01.net.zelko:image.1") ++failures;
            }
        });
    threads.emplace_back([&] {
        for (int i = 0; i < 10; ++i) {
            auto j = server.Post("/api/disk/clients/1/super", i % 2 ? R"({"isSuperClient":false})" : R"({"isSuperClient":true})", token).Json();
            if (j["code"] != 0) ++failures;
            if (server.Get("/api/disk/images?page=1&pageSize=100", token).Json()["code"] != 0) ++failures;
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 3; ++i)
            if (server.Login("admin", Server::kAdminPassword).empty()) ++failures;
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 5; ++i) {
            int rc;
            char mac[32];
            std::snprintf(mac, sizeof mac, "00-00-00-00-01-%02d", i);
            server.Admin(std::string("client add --mac ") + mac + " --name extra" + std::to_string(i), &rc);
            if (rc != 0) ++failures;
        }
    });
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(server.Get("/api/disk/clients/1", token).Json()["bootId"], kPcs * kBoots);
    EXPECT_EQ(server.Get("/api/disk/clients", token).Json()["total"], 6);
    EXPECT_EQ(server.Stop(), 0) << server.Stderr().substr(0, 4000);
}
