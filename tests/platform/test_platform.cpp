#include <gtest/gtest.h>
#include "ktzplatform_control.h"
TEST(Placeholder, Builds) { ktzplat::Reset(); EXPECT_EQ(ktzplat::ListenerCount(), 0u); }
