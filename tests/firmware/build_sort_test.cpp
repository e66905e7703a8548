#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware/UpdateServerRequest.h"

namespace {

using Builds = UpdateServerRequest::BuildList;

std::vector<std::string> _order(const Builds& builds) {
  std::vector<std::string> keys;
  for (const auto& [build, version] : UpdateServerRequest::SortBuildsByVersion(builds)) keys.push_back(build);
  return keys;
}

TEST(BuildSort, SplitsOnlyThreePartVersions) {
  using Parts = std::vector<std::string>;
  const std::pair<std::string, Parts> cases[] = {
      {"2.10.4", {"2", "10", "4"}},
      {"1..3", {"1", "", "3"}},
      {"..", {"", "", ""}},
      {"2.10", {}},
      {"1.2.3.4", {}},
      {"", {}},
  };
  for (const auto& [version, parts] : cases)
    EXPECT_EQ(UpdateServerRequest::SplitQuillfernVersion(version), parts) << version;
}

TEST(BuildSort, PutsNewestFirstAndVersionsThatDoNotParseLastInKeyOrder) {
  struct Case {
    Builds builds;
    std::vector<std::string> order;
  };
  const Case cases[] = {
      {{{"1", "2.10.4"}, {"2", "2.9.0"}, {"3", "3.0.0"}}, {"3", "1", "2"}},
      // Parts keep their low 8 bits: 2.256.0 equals 2.0.0, so the two keep their key order.
      {{{"a", "2.256.0"}, {"b", "2.0.0"}, {"c", "2.1.0"}}, {"c", "a", "b"}},
      // std::stoi rules: leading blanks and a sign allowed, trailing characters ignored.
      {{{"1", " 1.2.3rc"}, {"2", "1.2.4"}, {"3", "+1.2.2"}}, {"2", "1", "3"}},
      {{{"1", "2.10"},
        {"2", "1.0.0"},
        {"3", "x.y.z"},
        {"4", "3.0.0"},
        {"5", ""},
        {"6", "1.2.3.4"},
        {"7", "1..3"},
        {"8", "99999999999.0.0"}},
       {"4", "2", "1", "3", "5", "6", "7", "8"}},
      {{{"1", "bad"}, {"2", "worse"}}, {"1", "2"}},
      {{}, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(_order(c.builds), c.order);
}

// A comparator that is not a strict weak ordering lets std::sort run outside the vector; with
// many entries whose versions do not parse mixed among good ones, the result must still be every
// entry once, good versions newest first.
TEST(BuildSort, ManyUnparsableVersionsAmongGoodOnesStayInPlace) {
  Builds builds;
  for (int i = 0; i < 500; ++i) {
    const std::string key = std::to_string(1000 + i);
    builds[key] = i % 3 == 0 ? "broken" : "1." + std::to_string(i % 50) + ".0";
  }
  const auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
  ASSERT_EQ(sorted.size(), builds.size());
  const size_t good = 500 - 167;
  for (size_t i = 0; i + 1 < good; ++i) {
    const int minor = std::stoi(sorted[i].second.substr(2));
    const int nextMinor = std::stoi(sorted[i + 1].second.substr(2));
    EXPECT_GE(minor, nextMinor);
    if (minor == nextMinor) {
      EXPECT_LT(sorted[i].first, sorted[i + 1].first);
    }
  }
  for (size_t i = good; i < sorted.size(); ++i) {
    EXPECT_EQ(sorted[i].second, "broken");
    if (i + 1 < sorted.size()) {
      EXPECT_LT(sorted[i].first, sorted[i + 1].first);
    }
  }
}

}  // namespace
