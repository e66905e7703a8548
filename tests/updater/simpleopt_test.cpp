// The option parser against tables of its own: the error codes that the program's table cannot
// produce (an ambiguous prefix), and reordering when the spare buffer for a long command line
// cannot be had.
#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "updater/SimpleOpt.h"

namespace {

bool g_refuseArrays = false;

}  // namespace

// Array allocations without exceptions fail while g_refuseArrays is set.
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (g_refuseArrays) return nullptr;
  try {
    return ::operator new[](size);  // freed by the ordinary delete[]
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

namespace {

const CSimpleOpt::SOption kOptions[] = {
    {1, "-verbose", SO_NONE},  {2, "-version", SO_NONE}, {3, "-v", SO_REQ_SEP},
    {4, "--long", SO_REQ_SEP}, {5, "-x", SO_NONE},       SO_END_OF_OPTIONS,
};

struct Read {
  int id;
  int error;
  std::string arg;
  bool operator==(const Read&) const = default;
};

struct Parsed {
  std::vector<Read> options;
  std::vector<std::string> argv;  // after the parse
  int spare = 0;                  // entries of the parser's spare buffer
};

Parsed _parse(std::vector<std::string> words) {
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  CSimpleOpt parser(static_cast<int>(argv.size()), argv.data(), kOptions, 0);
  Parsed parsed;
  parsed.spare = parser.SpareSize();
  while (parser.Next())
    parsed.options.push_back({parser.OptionId(), parser.LastError(), parser.OptionArg() ? parser.OptionArg() : ""});
  for (char* word : argv) parsed.argv.push_back(word);
  return parsed;
}

TEST(SimpleOpt, MatchesAndErrorCodes) {
  struct Case {
    std::vector<std::string> words;
    std::vector<Read> reads;
  };
  const std::vector<Case> cases = {
      {{"p", "-v", "1"}, {{3, 0, "1"}}},                  // exact wins over the longer rows
      {{"p", "-ver"}, {{-1, SO_OPT_MULTIPLE, ""}}},       // prefix of two rows
      {{"p", "-verb"}, {{1, 0, ""}}},                     // prefix of one row
      {{"p", "-verbosely"}, {{-1, SO_OPT_INVALID, ""}}},  // longer than the row
      {{"p", "-long", "a"}, {{-1, SO_OPT_INVALID, ""}}},  // hyphens must agree
      {{"p", "--l=a"}, {{4, 0, "a"}}},
      {{"p", "-", "--"}, {{-1, SO_OPT_INVALID, ""}, {-1, SO_OPT_INVALID, ""}}},
      {{"p", "-x=1"}, {{5, SO_ARG_INVALID, ""}}},
      {{"p", "-v"}, {{3, SO_ARG_MISSING, ""}}},
      {{"p", "-v", "-x"}, {{3, SO_ARG_INVALID_DATA, ""}, {5, 0, ""}}},
      {{"p", "-v="}, {{3, 0, ""}}},
      {{"p", "-xv"}, {{-1, SO_OPT_INVALID, ""}}},  // no clumping
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.words));
    const Parsed parsed = _parse(c.words);
    ASSERT_EQ(parsed.options.size(), c.reads.size());
    for (size_t i = 0; i < c.reads.size(); ++i) {
      EXPECT_EQ(parsed.options[i].id, c.reads[i].id) << i;
      EXPECT_EQ(parsed.options[i].error, c.reads[i].error) << i;
      EXPECT_EQ(parsed.options[i].arg, c.reads[i].arg) << i;
    }
  }
}

// Words before options are moved behind them through the spare buffer; a command line longer
// than the fixed buffer, whose own buffer cannot be allocated, is moved in slices.
TEST(SimpleOpt, ReordersLongCommandLinesWithOrWithoutTheirOwnBuffer) {
  for (const bool refuse : {false, true}) {
    SCOPED_TRACE(refuse);
    std::vector<std::string> words{"p"}, expected{"p", "-x", "-v", "value", "-x"};
    std::vector<std::string> tail;
    for (int i = 0; i < 130; ++i) {
      words.push_back("w" + std::to_string(i));
      tail.push_back("w" + std::to_string(i));
      if (i == 3) words.push_back("-x");
      if (i == 120) words.insert(words.end(), {"-v", "value"});
    }
    words.push_back("-x");
    expected.insert(expected.end(), tail.begin(), tail.end());
    g_refuseArrays = refuse;
    const Parsed parsed = _parse(words);
    g_refuseArrays = false;
    EXPECT_EQ(parsed.options, (std::vector<Read>{{5, 0, ""}, {3, 0, "value"}, {5, 0, ""}}));
    EXPECT_EQ(parsed.argv, expected);
    EXPECT_EQ(parsed.spare, refuse ? CSimpleOpt::FIXED_SPARE : static_cast<int>(words.size()));
  }
}

TEST(SimpleOpt, NothingToParse) {
  CSimpleOpt none(0, nullptr, kOptions, 0);
  EXPECT_FALSE(none.Next());
  char* only[] = {const_cast<char*>("p")};
  CSimpleOpt name(1, only, kOptions, 0);
  EXPECT_FALSE(name.Next());
}

}  // namespace
