#include "platform/transfer_rules.h"

#include <gtest/gtest.h>

namespace cw {
namespace {

TEST(TransferRulesTest, RequestTimeoutOutlastsTheWait) {
  const struct {
    int16_t wait;
    int32_t timeout;
  } cases[] = {{-5, 60}, {0, 60}, {20, 60}, {50, 60}, {51, 61}, {90, 100}, {32767, 32777}};
  for (const auto& c : cases) EXPECT_EQ(RequestTimeoutSeconds(c.wait), c.timeout) << c.wait;
}

}  // namespace
}  // namespace cw
