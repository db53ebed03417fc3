#include "platform/transfer_rules.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/errors.h"

namespace cw {
namespace {

TEST(TransferRulesTest, RequestTimeoutOutlastsTheWait) {
  const struct {
    int16_t wait;
    int32_t timeout;
  } cases[] = {{-5, 60}, {0, 60}, {20, 60}, {50, 60}, {51, 61}, {90, 100}, {32767, 32777}};
  for (const auto& c : cases) EXPECT_EQ(RequestTimeoutSeconds(c.wait), c.timeout) << c.wait;
}

TEST(TransferRulesTest, UrlWithoutSchemeGetsTheProtocolsScheme) {
  const struct {
    const char* written;
    int32_t protocol;
    const char* url;
  } cases[] = {
      {"h/x", 5, "https://h/x"},   {"h/x", 4, "http://h/x"},      {"h", 0, "http://h"},
      {"http://h", 5, "http://h"}, {"HTTPS://h", 4, "HTTPS://h"},
  };
  for (const auto& c : cases) EXPECT_EQ(UrlWithScheme(c.written, c.protocol), c.url) << c.written;
  EXPECT_THROW(UrlWithScheme("", 4), RelayError);
  EXPECT_THROW(UrlWithScheme(std::string("h/a\0b", 5), 4), RelayError);
}

}  // namespace
}  // namespace cw
