// A fixture whose tests share one server running in a fresh working directory
// (base_/work_, below /tmp), each test with a session of its own.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/FileBlocks.h"
#include "tests/support/HislipClient.h"
#include "tests/support/ServerProcess.h"

namespace tarvos::test {

// The next entry of the session's error queue.
inline std::string NextError(HislipSession& s)
{
    std::string answer;
    EXPECT_TRUE(s.Query("SYST:ERR?\n", answer)) << s.lastError;
    return answer;
}

// Derived names the fixture, so that each fixture gets a server of its own. It
// may hide Prepare (fills the directories before the server starts) and
// ServerArgs.
template <typename Derived>
class FileServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char pattern[] = "/tmp/tarvos-files-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) return;
        base_ = pattern;
        work_ = base_ / "work";
        std::filesystem::create_directory(work_);
        Derived::Prepare();
        server_ = std::make_unique<ServerProcess>();
        if (!server_->StartAndWaitReady(Derived::ServerArgs(), 15000, work_.string())) server_.reset();
    }
    static void TearDownTestSuite()
    {
        server_.reset();
        std::error_code ignored;
        if (!base_.empty()) std::filesystem::remove_all(base_, ignored);
    }
    static void Prepare() {}
    static std::vector<std::string> ServerArgs() { return {}; }

    void SetUp() override
    {
        ASSERT_NE(server_, nullptr) << "server did not start";
        ASSERT_TRUE(s_.Open(server_->Port())) << s_.lastError;
    }

    std::string NextError() { return test::NextError(s_); }
    void Store(const std::string& name, const std::string& data)
    {
        s_.Write("MMEM:DATA '" + name + "'," + BlockOf(data) + "\n");
    }

    static inline std::filesystem::path base_;
    static inline std::filesystem::path work_;
    static inline std::unique_ptr<ServerProcess> server_;
    HislipSession s_;
};

}  // namespace tarvos::test
