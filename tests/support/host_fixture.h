// A host for one test: the wrapper stand-in with its verifier on. The test
// fails if the driver broke a wrapper rule or still holds a resource when
// it should hold none.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "host.h"

namespace taltest {

class HostTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (expect_released_)
            host.check_released();
        EXPECT_TRUE(host.verifier().clean()) << host.verifier().text();
    }
    // For tests that leave the driver holding resources on purpose.
    void allow_held_resources() { expect_released_ = false; }

    talhost::Host host;

private:
    bool expect_released_ = true;
};

// A zeroed adapter record on the heap (it is too large for a stack).
template <typename T>
std::unique_ptr<T> zeroed() {
    return std::unique_ptr<T>(new T{});
}

} // namespace taltest
