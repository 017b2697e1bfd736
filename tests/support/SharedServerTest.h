// A fixture whose tests share one verbose server process, each test with a
// session of its own.
#pragma once

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/HislipClient.h"
#include "tests/support/ServerProcess.h"

namespace tarvos::test {

// Derived names the fixture, so that each fixture gets a server of its own.
template <typename Derived>
class SharedServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        server_ = std::make_unique<ServerProcess>();
        if (!server_->StartAndWaitReady({"-v"})) server_.reset();
    }
    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override
    {
        ASSERT_NE(server_, nullptr) << "server did not start";
        ASSERT_TRUE(s_.Open(server_->Port())) << s_.lastError;
    }
    void TearDown() override { s_.Close(); }

    // How often the server has logged text so far.
    static size_t Count(const std::string& text) { return server_->CountInStderr(text); }

    static inline std::unique_ptr<ServerProcess> server_;
    HislipSession s_;
};

}  // namespace tarvos::test
