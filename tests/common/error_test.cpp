#include <gtest/gtest.h>

#include "common/aError.h"

TEST(ErrorTable, NamesAndDescriptionsFollowTheCode) {
  EXPECT_STREQ(aError_GetErrorText(aErrNone), "aErrNone");
  EXPECT_STREQ(aError_GetErrorText(aErrTimeout), "aErrTimeout");
  EXPECT_STREQ(aError_GetErrorDescription(aErrTimeout), "Timeout occurred");
  EXPECT_STREQ(aError_GetErrorText(aErrUnknown), "aErrUnknown");
}

TEST(ErrorTable, CodesPastTheEndAreUnknown) {
  for (aErr code : {35u, 1000u, 0xFFFFFFFFu}) {
    EXPECT_STREQ(aError_GetErrorText(code), "aErrUnknown") << code;
    EXPECT_STREQ(aError_GetErrorDescription(code), "Unknown error") << code;
  }
}
