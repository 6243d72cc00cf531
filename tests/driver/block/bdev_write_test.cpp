// The data block device's write, discard and flush path on the card model.
#include "tests/driver/block/data_device_fixture.h"

namespace {

class BdevWriteTest : public DataDeviceTest {};

TEST_F(BdevWriteTest, AChainWithoutSectorsEndsAtOnceAndItsBiosComeBack) {
    bio* first = take(BIO_WRITE, 10, 0);
    take(BIO_DISCARD, 20, 0, nullptr, first);
    EXPECT_EQ(submit_wait(first), 0);
    EXPECT_EQ(pool_->in_use, 0u);
}

}  // namespace
